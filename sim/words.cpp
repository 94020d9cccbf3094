#include "sim/words.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <iterator>

#include "sim/board.h"
#include "sim/class_leds.h"

namespace {

// As the kernel takes an interface's name, and not a word of this line.
bool kernel_name(const std::string& name) {
  if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
  if (name == "ap" || name == "client") return false;
  return std::ranges::none_of(
      name, [](char c) { return c == '/' || c == ':' || c == ' ' || (c >= '\t' && c <= '\r'); });
}

// The names an `iface ap|client` line gives, each once, none the other role's.
bool valid_names(const BoardState& board, const IfaceLine& line) {
  const std::size_t most = line.kind == IfaceLine::AccessPoints ? wifi_ap_slots : 1;
  if (line.names.empty() || line.names.size() > most) return false;
  for (std::size_t i = 0; i < line.names.size(); ++i) {
    const std::string& name = line.names[i];
    const int slot = wifi_slot(board, name);
    const bool other_role = slot >= 0 && (line.kind == IfaceLine::AccessPoints) ==
                                             (static_cast<std::size_t>(slot) == wifi_client_slot);
    if (!kernel_name(name) || other_role ||
        std::find(line.names.begin(), line.names.begin() + static_cast<long>(i), name) !=
            line.names.begin() + static_cast<long>(i)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool is_one_of(const std::string& word, std::initializer_list<const char*> words) {
  return std::ranges::any_of(words, [&word](const char* w) { return word == w; });
}

int read_stations(const Call& c, const BoardState& board, int& access_point, long& count) {
  access_point = c.w.size() == 3 ? wifi_slot(board, c.w[1]) : -1;
  if (access_point < 0 || static_cast<std::size_t>(access_point) >= wifi_ap_slots ||
      parse_int(c.w[2], 0, 1000, count) != 0) {
    std::string usage = "stations ";
    for (std::size_t i = 0; i < wifi_ap_slots; ++i) {
      if (!board.wifi[i].empty()) usage += (usage.back() == ' ' ? "" : "|") + board.wifi[i];
    }
    return c.usage((usage + " COUNT").c_str());
  }
  return 0;
}

int read_traffic(const Call& c, const BoardState& board, int& iface, bool& on) {
  iface = c.w.size() == 3 ? wifi_slot(board, c.w[1]) : -1;
  if (iface < 0 || parse_switch(c.w[2], on) != 0) return c.usage("traffic IFACE on|off");
  return 0;
}

int read_iface(const Call& c, const BoardState& board, IfaceLine& line) {
  line = {IfaceLine::Switch, -1, false, {}};
  if (c.w.size() >= 3 && (c.w[1] == "ap" || c.w[1] == "client")) {
    line.kind = c.w[1] == "ap" ? IfaceLine::AccessPoints : IfaceLine::Client;
    line.names.assign(c.w.begin() + 2, c.w.end());
    if (valid_names(board, line)) return 0;
  } else if (c.w.size() == 3 && parse_switch(c.w[2], line.on) == 0) {
    line.slot = wifi_slot(board, c.w[1]);
    if (line.slot >= 0) return 0;
  }
  return c.usage("iface IFACE on|off | iface ap NAME... (1 to 4) | iface client NAME");
}

int read_send(const Call& c, const BoardState& board, int& iface, long& bytes) {
  iface = c.w.size() == 3 ? wifi_slot(board, c.w[1]) : -1;
  if (iface < 0 || parse_int(c.w[2], 1, 100000000, bytes) != 0) {
    return c.usage("send IFACE BYTES");
  }
  return 0;
}

int read_tunnel(const Call& c, long& unit, bool& on, long& bytes) {
  bytes = 0;
  const bool valid =
      c.w.size() >= 3 && parse_int(c.w[1], 0, tunnel_count - 1, unit) == 0 &&
      ((c.w.size() == 3 && parse_switch(c.w[2], on) == 0) ||
       (c.w.size() == 4 && c.w[2] == "rx" && parse_int(c.w[3], 1, 100000000, bytes) == 0));
  return valid ? 0 : c.usage("tun 0-3 up|down | tun 0-3 rx BYTES");
}

int read_sas(const Call& c, long& count) {
  if (c.w.size() != 2 || parse_int(c.w[1], 0, 1000, count) != 0) return c.usage("sas COUNT");
  return 0;
}

int read_service(const Call& c, long& user) {
  user = -1;
  const bool as_user = c.w.size() == 5 && c.w[2] != "down" && c.w[3] == "as" &&
                       parse_int(c.w[4], 0, INT32_MAX, user) == 0;
  const bool valid =
      (c.w.size() == 3 || as_user) &&
      ((c.w[1] == "tessik_clientd" && is_one_of(c.w[2], {"connected", "listening", "down"})) ||
       (c.w[1] == "drennic" && is_one_of(c.w[2], {"listening", "down"})));
  if (!valid) {
    return c.usage(
        "service tessik_clientd connected|listening|down | drennic listening|down [as UID]");
  }
  return 0;
}

int read_program(const Call& c) {
  if (c.w.size() != 2 || !is_one_of(c.w[1], {"hostapd", "wpa_supplicant", "charon"})) {
    return c.usage("kill|stop|restart hostapd|wpa_supplicant|charon");
  }
  return 0;
}

int read_tool(const Call& c) {
  const bool stroke_no_count = c.w.size() == 3 && c.w[1] == "stroke" && c.w[2] == "no-count";
  if (!stroke_no_count &&
      (c.w.size() != 3 ||
       !is_one_of(c.w[1], {"hostapd_cli", "wpa_cli", "ifconfig", "grep", "netstat", "io", "stroke",
                           "swanctl"}) ||
       !is_one_of(c.w[2], {"normal", "missing", "fail", "silent", "garbage"}))) {
    return c.usage("tool NAME normal|missing|fail|silent|garbage | tool stroke no-count");
  }
  return 0;
}

int read_device(const Call& c, bool& on) {
  if (c.w.size() != 3 || !is_one_of(c.w[1], {"gpio", "ttyS0", "ttyS1"}) ||
      parse_switch(c.w[2], on) != 0) {
    return c.usage("device gpio|ttyS0|ttyS1 on|off");
  }
  return 0;
}

int read_installed(const Call& c, bool& on) {
  if (c.w.size() != 2 || parse_switch(c.w[1], on) != 0) return c.usage("io|stroke|swanctl on|off");
  return 0;
}

int serial_usage(const Call& c) {
  return c.usage("serial PORT RX TX | PORT in|out BYTES | PORT fail|ok | PORT flowing on|off");
}

int read_serial(const Call& c, SerialLine& line) {
  line = {SerialLine::Bytes, false, 0, 0};
  if (c.w.size() == 3 && is_one_of(c.w[2], {"fail", "ok"})) {
    line.kind = SerialLine::Fail;
    line.on = c.w[2] == "fail";
    return 0;
  }
  if (c.w.size() == 4 && c.w[2] == "flowing" && parse_switch(c.w[3], line.on) == 0) {
    line.kind = SerialLine::Flowing;
    return 0;
  }
  if (c.w.size() == 4 && is_one_of(c.w[2], {"in", "out"}) &&
      parse_int(c.w[3], 1, 1000000, c.w[2] == "in" ? line.in : line.out) == 0) {
    return 0;
  }
  if (c.w.size() == 4 && parse_int(c.w[2], INT32_MIN, INT32_MAX, line.in) == 0 &&
      parse_int(c.w[3], INT32_MIN, INT32_MAX, line.out) == 0) {
    line.kind = SerialLine::Counters;
    return 0;
  }
  return serial_usage(c);
}

int read_led_class(const Call& c, std::string& name, long& max, bool& gone) {
  max = -1;
  gone = c.w.size() == 3 && c.w[2] == "gone";
  if (c.w.size() < 2 || c.w.size() > 3 || !valid_class_led_name(c.w[1]) ||
      (c.w.size() == 3 && !gone && parse_int(c.w[2], 1, UINT32_MAX, max) != 0)) {
    return c.usage("led-class NAME [MAX|gone]");
  }
  name = c.w[1];
  return 0;
}

int read_led_trigger(const Call& c, std::string& name, std::string& trigger) {
  if (c.w.size() != 3 || !valid_class_led_name(c.w[1]) || !valid_class_led_name(c.w[2])) {
    return c.usage("led-trigger NAME TRIGGER");
  }
  name = c.w[1];
  trigger = c.w[2];
  return 0;
}
