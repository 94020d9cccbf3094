#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "settings/settings_internal.h"
#include "status/status.h"
#include "status/status_internal.h"

namespace {

// ---- words shared by both forms ----

const char* pin_name(const ModeRow& row) { return pin_entry(row.pin).name; }

const char* serial_words(const ModeRow& row) {
  return row.selection == serial_both      ? "received or sent"
         : row.selection == serial_receive ? "received"
                                           : "sent";
}

// What the mode shows, in a few words.
const char* shows(const ModeRow& row, std::uint32_t mode, std::array<char, 64>& text) {
  switch (row.source) {
    case Source::Nothing:
      return mode == 0 ? "not used" : "not a mode";
    case Source::Always:
      return "always on";
    case Source::PinLow:
      format_text(text.data(), text.size(), "binary input %s low", pin_name(row));
      return text.data();
    case Source::PinValue:
      format_text(text.data(), text.size(), "binary output %s", pin_name(row));
      return text.data();
    case Source::Serial:
      format_text(text.data(), text.size(), "data %s on %s", serial_words(row), row.port);
      return text.data();
    case Source::WifiAp:
      return "Wi-Fi hotspot";
    case Source::WifiClient:
      return "Wi-Fi client";
    case Source::OpenVpn:
      return "OpenVPN tunnel";
    case Source::Ipsec:
      return "IPsec tunnel";
    case Source::RemoteManagement:
      return "remote management";
    case Source::VpnPortal:
      return "VPN portal";
  }
  return "?";
}

const char* state_word(LedAction action) {
  switch (action) {
    case LedAction::Off:
      return "off";
    case LedAction::On:
      return "on";
    case LedAction::Blink:
      return "blink";
    case LedAction::Keep:
      return "keep";
  }
  return "?";
}

const char* support_word(PinSupport support) {
  switch (support) {
    case PinSupport::Supported:
      return "supported";
    case PinSupport::Unsupported:
      return "unsupported";
    case PinSupport::Unknown:
      break;
  }
  return "unknown";
}

const char* traffic_word(const TrafficSeen& seen) {
  if (seen.iface.empty()) return "not checked";
  return seen.answer == 1 ? "moved" : seen.answer == 0 ? "still" : "unreadable";
}

const TrafficSeen* traffic_of(const LedReport& led, const char* iface) {
  for (const TrafficSeen& seen : led.probes.traffic) {
    if (seen.iface == iface) return &seen;
  }
  return nullptr;
}

const char* tunnel_word(const TunnelSeen& tunnel) {
  if (!tunnel.looked) return "not looked at";
  if (tunnel.status != 0) return "no such interface";
  return tunnel.read == 0 ? "received" : "unreadable";
}

const char* ipsec_tool_word(IpsecTool tool) {
  return tool == IpsecTool::Stroke ? "stroke" : tool == IpsecTool::Swanctl ? "swanctl" : "none";
}

const char* daemon_word(DaemonState state) {
  switch (state) {
    case DaemonState::Running:
      return "running";
    case DaemonState::NotRunning:
      return "not running";
    case DaemonState::OtherProgram:
      return "other program";
    case DaemonState::Unknown:
      break;
  }
  return "unknown";
}

constexpr std::array<const char*, 2> access_points = {"wlan0", "wlan02"};

// ---- plain text ----

// Parts of one evidence line, "; " between them.
struct Line {
  std::FILE* out;
  bool started;
};

void part(Line& line, const char* format, ...) __attribute__((format(printf, 2, 3)));

void part(Line& line, const char* format, ...) {
  put(line.out, "%s", line.started ? "; " : "       ");
  line.started = true;
  va_list arguments;
  va_start(arguments, format);
  (void)std::vfprintf(line.out, format, arguments);
  va_end(arguments);
}

void quoted(Line& line, const char* before, const char* text) {
  part(line, "%s\"", before);
  plain_string(line.out, text);
  put(line.out, "\"");
}

void plain_pin(Line& line, const LedReport& led) {
  const char* pin = pin_name(led.row);
  if (led.pin_support == PinSupport::Unsupported) {
    part(line, "%s: not on this board (%s get %s answers no 0 or 1), reads as 0", pin,
         io_command_path, pin);
  } else if (led.pin_support == PinSupport::Unknown) {
    part(line, "%s: the check through %s failed, reads as 0", pin, io_command_path);
  } else if (led.pin.answer < 0) {
    part(line, "%s: %s cannot be read (%s), reads as 0", pin, gpio_device_path,
         std::strerror(led.pin.error));
  } else {
    part(line, "%s reads %d", pin, led.pin.answer);
  }
}

void plain_serial(Line& line, const LedReport& led) {
  if (led.serial_failure.call) {
    part(line, "%s: %s failed: %s; the LED keeps its state", led.row.port, led.serial_failure.call,
         std::strerror(led.serial_failure.error));
    return;
  }
  part(line, "%s: rx %" PRId64 ", tx %" PRId64, led.row.port, led.serial_counts.rx,
       led.serial_counts.tx);
  part(line, "%s%s in the last second", led.answer == 1 ? "" : "nothing ", serial_words(led.row));
}

void plain_wifi_ap(Line& line, const LedReport& led) {
  for (std::size_t i = 0; i < access_points.size(); ++i) {
    const StationsSeen& seen = led.stations[i];
    if (seen.listing_bytes <= 1) {
      part(line, "%s: none", access_points[i]);
    } else if (seen.stations > 0) {
      part(line, "%s: %d device%s connected", access_points[i], seen.stations,
           seen.stations == 1 ? "" : "s");
    } else {
      part(line, "%s: listed %" PRId64 " bytes but no device address, counted as connected",
           access_points[i], seen.listing_bytes);
    }
  }
  for (const char* iface : access_points) {
    const TrafficSeen* seen = traffic_of(led, iface);
    if (!seen) continue;
    if (seen->answer == 1) part(line, "%s traffic in the last second", iface);
    if (seen->answer == 0) part(line, "no %s traffic in the last second", iface);
    if (seen->answer < 0) part(line, "%s's counters cannot be read", iface);
  }
}

void plain_wifi_client(Line& line, const LedReport& led) {
  if (led.probes.traffic[2].iface.empty() && led.answer == static_cast<int>(LedAction::Off)) {
    part(line, "wlan1: not connected (wpa_cli shows no ssid)");
    return;
  }
  quoted(line, "wlan1: connected to ", led.text.data());
  const int moved = led.probes.traffic[2].answer;
  part(line, "%s",
       moved == 1   ? "traffic in the last second"
       : moved == 0 ? "no traffic in the last second"
                    : "its counters cannot be read, so the LED is off");
}

void plain_openvpn(Line& line, const LedReport& led) {
  const auto& tunnels = led.probes.tunnels;
  std::array<std::array<char, 64>, 4> texts{};
  for (std::size_t i = 0; i < tunnels.size(); ++i) {
    const TunnelSeen& tunnel = tunnels[i];
    if (tunnel.looked && tunnel.status == 0 && tunnel.read == 0) {
      format_text(texts[i].data(), texts[i].size(), "received %" PRIu64 " bytes", tunnel.rx_bytes);
    } else {
      const bool unreadable = tunnel.looked && tunnel.status == 0;
      format_text(texts[i].data(), texts[i].size(), "%s",
                  unreadable ? "its received bytes cannot be read" : tunnel_word(tunnel));
    }
  }
  // Tunnels in a row with the same story share one part.
  for (std::size_t i = 0, end = 1; i < texts.size(); i = end, end = i + 1) {
    while (end < texts.size() && std::strcmp(texts[end].data(), texts[i].data()) == 0) ++end;
    put(line.out, "%s", line.started ? "; " : "       ");
    line.started = true;
    for (std::size_t t = i; t < end; ++t) put(line.out, "%stun%zu", t > i ? ", " : "", t);
    put(line.out, ": %s", texts[i].data());
  }
}

void plain_ipsec(Line& line, const LedReport& led) {
  const ProbeEvidence& seen = led.probes;
  switch (seen.ipsec_tool) {
    case IpsecTool::None:
      part(line, "neither %s nor %s is installed", default_probe_paths.stroke,
           default_probe_paths.swanctl);
      break;
    case IpsecTool::Stroke:
      if (seen.ipsec_status != 0) {
        part(line, "stroke lists no security associations");
      } else if (seen.ipsec_read != 0) {
        part(line, "stroke's count of security associations cannot be read");
      } else {
        part(line, "stroke: %" PRIu64 " security association%s up", seen.associations,
             seen.associations == 1 ? "" : "s");
      }
      break;
    case IpsecTool::Swanctl:
      part(line, "swanctl: %d established association%s", led.ipsec_listed,
           led.ipsec_listed == 1 ? "" : "s");
      break;
  }
}

void plain_service(Line& line, const LedReport& led, const char* name, const char* seen,
                   const char* not_seen) {
  if (led.answer == 1) {
    part(line, "%s %s: ", name, seen);
    plain_string(line.out, led.text.data());
    return;
  }
  part(line, "%s: %s", name, not_seen);
  if (led.cut_name[0]) {
    part(line, "netstat cut its owner column to \"%s\" (19 characters), so the name cannot match",
         led.cut_name.data());
  }
}

void plain_evidence(Line& line, const LedReport& led) {
  switch (led.row.source) {
    case Source::Nothing:
      part(line, led.mode == 0 ? "mode 0: the LED stays off" : "modes above 17 show nothing");
      break;
    case Source::Always:
      part(line, "mode 17: the LED is always on");
      break;
    case Source::PinLow:
    case Source::PinValue:
      plain_pin(line, led);
      break;
    case Source::Serial:
      plain_serial(line, led);
      break;
    case Source::WifiAp:
      plain_wifi_ap(line, led);
      break;
    case Source::WifiClient:
      plain_wifi_client(line, led);
      break;
    case Source::OpenVpn:
      plain_openvpn(line, led);
      break;
    case Source::Ipsec:
      plain_ipsec(line, led);
      break;
    case Source::RemoteManagement:
      plain_service(line, led, "tessik_clientd", "connected", "no established connection");
      break;
    case Source::VpnPortal:
      plain_service(line, led, "drennic", "listening", "not listening");
      break;
  }
}

void plain_led(std::FILE* out, std::size_t index, const LedReport& led) {
  std::array<char, 64> title{};
  put(out, "LED %zu  mode %-2" PRIu32 "  %s: ", index + 1, led.mode,
      shows(led.row, led.mode, title));
  switch (led.step.action) {
    case LedAction::Off:
      put(out, "off");
      break;
    case LedAction::On:
      put(out, "on");
      if (led.step.value != 1) put(out, " (value %" PRIu32 ")", led.step.value);
      break;
    case LedAction::Blink:
      put(out, "on, blinking");
      break;
    case LedAction::Keep:
      put(out, "unknown, the LED keeps its last state");
      break;
  }
  put(out, "\n");
  Line line{out, false};
  plain_evidence(line, led);
  put(out, "\n");
}

void plain_daemon(std::FILE* out, const StatusReport& report) {
  const DaemonReport& daemon = report.daemon;
  put(out, "daemon: %s", daemon_word(daemon.state));
  if (daemon.state != DaemonState::Running) {
    put(out, " (%s)", daemon.reason.data());
    if (daemon.state != DaemonState::Unknown) put(out, "; the LEDs keep what it last set");
    put(out, "\n");
    return;
  }
  put(out, " (pid %d)", static_cast<int>(daemon.pid));
  if (daemon.started_ms >= 0) {
    const std::time_t started = daemon.started_ms / 1000;
    std::tm local{};
    char when[32];
    if (localtime_r(&started, &local) && std::strftime(when, sizeof when, "%F %T", &local)) {
      put(out, " since %s", when);
    }
  }
  if (daemon.replaced) put(out, "; its program file was replaced since");
  if (report.settings_newer) {
    put(out, "; the settings changed after it started: restart it to apply them");
  }
  if (daemon.exports_read && daemon.got_signal) {
    put(out, "; stopping (signal %" PRId32 " received)", daemon.got_signal);
  }
  for (std::size_t i = 0; daemon.exports_read && i < daemon.uart.size(); ++i) {
    const SerialStat& uart = daemon.uart[i];
    if (!uart.valid) continue;
    put(out, "; LED %zu's serial counts seen by it: rx %" PRId64 ", tx %" PRId64, i + 1, uart.rx,
        uart.tx);
  }
  put(out, "\n");
}

// ---- JSON ----

struct Json {
  std::FILE* out;
  bool first;
};

void json_next(Json& j) {
  if (!j.first) put(j.out, ",");
  j.first = false;
}

void json_key(Json& j, const char* key) {
  json_next(j);
  json_string(j.out, key);
  put(j.out, ":");
}

void json_open(Json& j, const char* key, char bracket) {
  if (key) {
    json_key(j, key);
  } else {
    json_next(j);
  }
  put(j.out, "%c", bracket);
  j.first = true;
}

void json_close(Json& j, char bracket) {
  put(j.out, "%c", bracket);
  j.first = false;
}

void json_text(Json& j, const char* key, const char* value) {
  json_key(j, key);
  if (value) {
    json_string(j.out, value);
  } else {
    put(j.out, "null");
  }
}

void json_int(Json& j, const char* key, std::int64_t value) {
  json_key(j, key);
  put(j.out, "%" PRId64, value);
}

void json_uint(Json& j, const char* key, std::uint64_t value) {
  json_key(j, key);
  put(j.out, "%" PRIu64, value);
}

void json_bool(Json& j, const char* key, bool value) {
  json_key(j, key);
  put(j.out, "%s", value ? "true" : "false");
}

void json_null(Json& j, const char* key) {
  json_key(j, key);
  put(j.out, "null");
}

const char* or_null(const char* text) { return text[0] ? text : nullptr; }

void json_pin(Json& j, const LedReport& led) {
  json_text(j, "pin", pin_name(led.row));
  json_text(j, "support", support_word(led.pin_support));
  const bool read = led.pin_support == PinSupport::Supported && led.pin.answer >= 0;
  if (read) {
    json_int(j, "value", led.pin.answer);
  } else {
    json_null(j, "value");
  }
  const bool failed = led.pin_support == PinSupport::Supported && led.pin.answer < 0;
  json_text(j, "error", failed ? std::strerror(led.pin.error) : nullptr);
}

void json_serial(Json& j, const LedReport& led) {
  json_text(j, "port", led.row.port);
  json_text(j, "watches",
            led.row.selection == serial_both      ? "rx+tx"
            : led.row.selection == serial_receive ? "rx"
                                                  : "tx");
  const SerialFailure& failure = led.serial_failure;
  if (failure.call) {
    json_null(j, "rx");
    json_null(j, "tx");
    json_null(j, "moved");
  } else {
    json_int(j, "rx", led.serial_counts.rx);
    json_int(j, "tx", led.serial_counts.tx);
    json_bool(j, "moved", led.answer == 1);
  }
  json_text(j, "failed_call", failure.call);
  json_text(j, "error", failure.call ? std::strerror(failure.error) : nullptr);
}

void json_wifi_ap(Json& j, const LedReport& led) {
  json_open(j, "access_points", '[');
  for (std::size_t i = 0; i < access_points.size(); ++i) {
    json_open(j, nullptr, '{');
    json_text(j, "iface", access_points[i]);
    json_int(j, "stations", led.stations[i].stations);
    json_int(j, "listing_bytes", led.stations[i].listing_bytes);
    const TrafficSeen* seen = traffic_of(led, access_points[i]);
    json_text(j, "traffic", seen ? traffic_word(*seen) : "not checked");
    json_close(j, '}');
  }
  json_close(j, ']');
}

void json_wifi_client(Json& j, const LedReport& led) {
  const TrafficSeen& seen = led.probes.traffic[2];
  json_text(j, "iface", "wlan1");
  const bool associated = !seen.iface.empty();
  json_text(j, "ssid", associated ? led.text.data() : nullptr);
  json_text(j, "traffic", traffic_word(seen));
}

void json_openvpn(Json& j, const LedReport& led) {
  json_open(j, "tunnels", '[');
  for (std::size_t i = 0; i < led.probes.tunnels.size(); ++i) {
    const TunnelSeen& tunnel = led.probes.tunnels[i];
    char iface[8];
    format_text(iface, sizeof iface, "tun%zu", i);
    json_open(j, nullptr, '{');
    json_text(j, "iface", iface);
    json_text(j, "result", tunnel_word(tunnel));
    if (tunnel.looked && tunnel.read == 0) {
      json_uint(j, "rx_bytes", tunnel.rx_bytes);
    } else {
      json_null(j, "rx_bytes");
    }
    json_close(j, '}');
  }
  json_close(j, ']');
}

void json_ipsec(Json& j, const LedReport& led) {
  const ProbeEvidence& seen = led.probes;
  json_text(j, "tool", ipsec_tool_word(seen.ipsec_tool));
  if (seen.ipsec_tool == IpsecTool::Swanctl) {
    json_int(j, "associations_up", led.ipsec_listed);
  } else if (seen.ipsec_tool == IpsecTool::Stroke && seen.ipsec_status != 0) {
    json_int(j, "associations_up", 0);
  } else if (seen.ipsec_tool == IpsecTool::Stroke && seen.ipsec_read == 0) {
    json_uint(j, "associations_up", seen.associations);
  } else {
    json_null(j, "associations_up");
  }
}

void json_evidence(Json& j, const LedReport& led) {
  static constexpr const char* kinds[] = {
      "none",      "always",      "pin",     "pin",   "serial",
      "wifi_ap",   "wifi_client", "openvpn", "ipsec", "remote_management",
      "vpn_portal"};
  json_open(j, "evidence", '{');
  json_text(j, "kind", kinds[static_cast<std::size_t>(led.row.source)]);
  switch (led.row.source) {
    case Source::PinLow:
    case Source::PinValue:
      json_pin(j, led);
      break;
    case Source::Serial:
      json_serial(j, led);
      break;
    case Source::WifiAp:
      json_wifi_ap(j, led);
      break;
    case Source::WifiClient:
      json_wifi_client(j, led);
      break;
    case Source::OpenVpn:
      json_openvpn(j, led);
      break;
    case Source::Ipsec:
      json_ipsec(j, led);
      break;
    case Source::RemoteManagement:
      json_bool(j, "connected", led.answer == 1);
      json_text(j, "netstat_line", or_null(led.text.data()));
      json_text(j, "cut_owner", or_null(led.cut_name.data()));
      break;
    case Source::VpnPortal:
      json_bool(j, "listening", led.answer == 1);
      json_text(j, "netstat_line", or_null(led.text.data()));
      break;
    case Source::Nothing:
    case Source::Always:
      break;
  }
  json_close(j, '}');
}

void json_daemon(Json& j, const StatusReport& report) {
  const DaemonReport& daemon = report.daemon;
  json_open(j, "daemon", '{');
  json_text(j, "state", daemon_word(daemon.state));
  const bool running = daemon.state == DaemonState::Running;
  json_text(j, "reason", running ? nullptr : daemon.reason.data());
  if (daemon.pid > 0) {
    json_int(j, "pid", daemon.pid);
  } else {
    json_null(j, "pid");
  }
  json_text(j, "program", daemon.pid > 0 ? or_null(daemon.program.data()) : nullptr);
  json_bool(j, "replaced", daemon.replaced);
  if (running && daemon.started_ms >= 0) {
    json_int(j, "started", daemon.started_ms / 1000);
  } else {
    json_null(j, "started");
  }
  if (daemon.exports_read) {
    json_int(j, "stop_signal", daemon.got_signal);
    json_open(j, "serial", '[');
    for (std::size_t i = 0; i < daemon.uart.size(); ++i) {
      json_open(j, nullptr, '{');
      json_int(j, "led", static_cast<std::int64_t>(i) + 1);
      json_bool(j, "valid", daemon.uart[i].valid != 0);
      json_int(j, "rx", daemon.uart[i].rx);
      json_int(j, "tx", daemon.uart[i].tx);
      json_close(j, '}');
    }
    json_close(j, ']');
  } else {
    json_null(j, "stop_signal");
    json_null(j, "serial");
  }
  json_close(j, '}');
}

}  // namespace

void render_plain(const StatusReport& report, std::FILE* out) {
  if (report.settings_error) {
    put(out, "settings: %s cannot be read (%s): both modes read as 0\n", settings_path,
        std::strerror(report.settings_error));
  }
  for (std::size_t i = 0; i < report.leds.size(); ++i) plain_led(out, i, report.leds[i]);
  if (report.settings.mode1 == 0 && report.settings.mode2 == 0) {
    put(out, "both modes are 0: the daemon switches both LEDs off and ends at once\n");
  }
  plain_daemon(out, report);
  if (report.problem[0]) put(out, "could not look: %s\n", report.problem.data());
}

void render_json(const StatusReport& report, std::FILE* out) {
  Json j{out, true};
  json_open(j, nullptr, '{');
  json_open(j, "settings", '{');
  json_text(j, "path", settings_path);
  json_text(j, "error", report.settings_error ? std::strerror(report.settings_error) : nullptr);
  json_bool(j, "changed_since_start", report.settings_newer);
  json_close(j, '}');
  json_open(j, "leds", '[');
  for (std::size_t i = 0; i < report.leds.size(); ++i) {
    const LedReport& led = report.leds[i];
    json_open(j, nullptr, '{');
    json_int(j, "led", static_cast<std::int64_t>(i) + 1);
    json_uint(j, "mode", led.mode);
    std::array<char, 64> title{};
    json_text(j, "shows", shows(led.row, led.mode, title));
    json_bool(j, "looked", led.looked);
    json_text(j, "state", state_word(led.step.action));
    // What the LED is set to: a blink ends on, a kept LED is not set.
    switch (led.step.action) {
      case LedAction::Off:
        json_uint(j, "value", 0);
        break;
      case LedAction::On:
        json_uint(j, "value", led.step.value);
        break;
      case LedAction::Blink:
        json_uint(j, "value", 1);
        break;
      case LedAction::Keep:
        json_null(j, "value");
        break;
    }
    json_evidence(j, led);
    json_close(j, '}');
  }
  json_close(j, ']');
  json_daemon(j, report);
  json_text(j, "problem", or_null(report.problem.data()));
  json_close(j, '}');
  put(out, "\n");
}

void plain_string(std::FILE* out, const char* text) {
  for (const char* p = text; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    put(out, "%c", c < 0x20 || c == 0x7f ? '?' : c);
  }
}

void json_string(std::FILE* out, const char* text) {
  put(out, "\"");
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p;) {
    const unsigned char c = *p;
    const std::size_t length = utf8_length(p);
    if (c == '"' || c == '\\') {
      put(out, "\\%c", c);
    } else if (c < 0x20 || c == 0x7f) {
      put(out, "\\u%04x", c);
    } else if (length == 0) {
      // Not UTF-8: each such byte stands for one unknown character.
      put(out, "\\ufffd");
      ++p;
      continue;
    } else {
      put(out, "%.*s", static_cast<int>(length), reinterpret_cast<const char*>(p));
    }
    p += length == 0 ? 1 : length;
  }
  put(out, "\"");
}
