#include "sim/words.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <iterator>

#include "sim/board.h"
#include "sim/class_leds.h"

namespace {

int wifi_index(const std::string& name) {
  for (int i = 0; i < static_cast<int>(std::size(wifi_interfaces)); ++i) {
    if (name == wifi_interfaces[i]) return i;
  }
  return -1;
}

}  // namespace

bool is_one_of(const std::string& word, std::initializer_list<const char*> words) {
  return std::ranges::any_of(words, [&word](const char* w) { return word == w; });
}

int read_stations(const Call& c, int& access_point, long& count) {
  access_point = c.w.size() == 3 ? wifi_index(c.w[1]) : -1;
  if (access_point < 0 || access_point >= access_points || parse_int(c.w[2], 0, 1000, count) != 0) {
    return c.usage("stations wlan0|wlan02 COUNT");
  }
  return 0;
}

int read_traffic(const Call& c, int& iface, bool& on) {
  iface = c.w.size() == 3 ? wifi_index(c.w[1]) : -1;
  if (iface < 0 || parse_switch(c.w[2], on) != 0) return c.usage("traffic IFACE on|off");
  return 0;
}

int read_send(const Call& c, int& iface, long& bytes) {
  iface = c.w.size() == 3 ? wifi_index(c.w[1]) : -1;
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

int read_service(const Call& c) {
  const bool valid =
      c.w.size() == 3 &&
      ((c.w[1] == "tessik_clientd" && is_one_of(c.w[2], {"connected", "listening", "down"})) ||
       (c.w[1] == "drennic" && is_one_of(c.w[2], {"listening", "down"})));
  if (!valid) {
    return c.usage("service tessik_clientd connected|listening|down | drennic listening|down");
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
  if (c.w.size() != 3 ||
      !is_one_of(c.w[1], {"hostapd_cli", "wpa_cli", "ifconfig", "grep", "netstat", "io", "stroke",
                          "swanctl"}) ||
      !is_one_of(c.w[2], {"normal", "missing", "fail", "silent", "garbage"})) {
    return c.usage("tool NAME normal|missing|fail|silent|garbage");
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
