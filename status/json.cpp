#include <cinttypes>
#include <cstring>

#include "settings/settings_internal.h"
#include "status/status.h"
#include "status/status_internal.h"

namespace {

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
    json_bool(j, "moved", led.answer.state == TriState::Yes);
  }
  json_text(j, "failed_call", failure.call);
  json_text(j, "error", failure.call ? std::strerror(failure.error) : nullptr);
}

// Why a Wi-Fi key was refused, or null.
void json_refused(Json& j, const WifiIfaces& ifaces) {
  std::array<char, 160> why{};
  iface_refusal(ifaces, why.data(), why.size());
  json_text(j, "refused", or_null(why.data()));
}

void json_wifi_ap(Json& j, const LedReport& led) {
  json_refused(j, led.wifi);
  json_open(j, "access_points", '[');
  for (std::size_t i = 0; i < led.wifi.count; ++i) {
    const char* iface = led.wifi.names[i].data();
    json_open(j, nullptr, '{');
    json_text(j, "iface", iface);
    json_int(j, "stations", led.stations[i].stations);
    json_int(j, "listing_bytes", led.stations[i].listing_bytes);
    json_bool(j, "listing_cut", led.stations[i].cut);
    const TrafficSeen* seen = traffic_of(led, iface);
    json_text(j, "traffic", seen ? traffic_word(*seen) : "not checked");
    json_close(j, '}');
  }
  json_close(j, ']');
}

void json_wifi_client(Json& j, const LedReport& led) {
  json_refused(j, led.wifi);
  const char* iface = led.wifi.count > 0 ? led.wifi.names[0].data() : nullptr;
  const TrafficSeen* seen = iface ? traffic_of(led, iface) : nullptr;
  json_text(j, "iface", iface);
  json_text(j, "ssid", seen ? led.text.data() : nullptr);
  json_text(j, "traffic", seen ? traffic_word(*seen) : "not checked");
}

// The interfaces a Wi-Fi key gives, and why it was refused.
void json_wifi_key(Json& j, const char* key, const WifiIfaces& ifaces) {
  json_open(j, key, '{');
  json_open(j, "ifaces", '[');
  for (std::size_t i = 0; i < ifaces.count; ++i) {
    json_next(j);
    json_string(j.out, ifaces.names[i].data());
  }
  json_close(j, ']');
  json_refused(j, ifaces);
  json_close(j, '}');
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
  json_bool(j, "listing_cut", led.ipsec_cut);
}

// Whose process netstat's line names; null without a line.
void json_owner(Json& j, const ServiceOwner& owner) {
  if (!owner.seen) {
    json_null(j, "owner");
    return;
  }
  json_open(j, "owner", '{');
  if (owner.pid > 0) {
    json_int(j, "pid", owner.pid);
  } else {
    json_null(j, "pid");
  }
  if (owner.found) {
    json_uint(j, "uid", owner.uid);
  } else {
    json_null(j, "uid");
  }
  json_text(j, "user", owner.found ? or_null(owner.user.data()) : nullptr);
  json_close(j, '}');
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
      json_bool(j, "connected", led.answer.state == TriState::Yes);
      json_text(j, "netstat_line", or_null(led.text.data()));
      json_owner(j, led.owner);
      json_text(j, "cut_owner", or_null(led.cut_name.data()));
      break;
    case Source::VpnPortal:
      json_bool(j, "listening", led.answer.state == TriState::Yes);
      json_text(j, "netstat_line", or_null(led.text.data()));
      json_owner(j, led.owner);
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
  const char* reason = daemon.reason[0] ? daemon.reason.data() : "not looked at";
  json_text(j, "reason", running ? nullptr : reason);
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

// An LED's device: which, and what the kernel shows of a kernel LED. A
// preview has none.
void json_device(Json& j, const LedReport& led, const LedName& name) {
  const DeviceSeen& seen = led.device;
  if (!seen.looked) return;  // a preview, on neither LED
  json_open(j, "device", '{');
  json_text(j, "kind", device_word(seen.kind));
  json_text(j, "name", name.given ? name.text.data() : nullptr);
  // A kernel LED's directory, without the '/' that led_path ends it with.
  char path[led_path_size];
  const bool kernel = seen.kind == LedKind::Class;
  if (kernel && led_path(name.text.data(), "", path, sizeof path) == 0) {
    path[std::strlen(path) - 1] = '\0';
  } else {
    path[0] = '\0';
  }
  json_text(j, "path", seen.kind == LedKind::Gpio ? gpio_device_path : or_null(path));
  char why[status_text_size];
  json_text(j, "refused_because", refusal_text(seen, why, sizeof why));
  const auto number = [&](const char* key, std::int64_t value) {
    if (value >= 0) {
      json_int(j, key, value);
    } else {
      json_null(j, key);
    }
  };
  number("brightness", seen.brightness);
  number("max_brightness", seen.max_brightness);
  json_text(j, "trigger", kernel ? or_null(seen.trigger.data()) : nullptr);
  json_close(j, '}');
}

// One LED's object; `index` past the LEDs (a preview) gives "led" null.
void json_led(Json& j, const LedReport& led, std::size_t index, const LedName& name) {
  json_open(j, nullptr, '{');
  if (index < 2) {
    json_int(j, "led", static_cast<std::int64_t>(index) + 1);
  } else {
    json_null(j, "led");
  }
  json_device(j, led, name);
  json_uint(j, "mode", led.mode);
  std::array<char, 64> title{};
  json_text(j, "shows", shows(led.row, led.mode, title));
  json_bool(j, "looked", led.looked);
  json_text(j, "unknown_because", look_end_word(led.end));
  if (led.end != LookEnd::Complete) {
    // No state was decided, and what the look saw is not to be believed.
    json_null(j, "state");
    json_null(j, "value");
    json_null(j, "evidence");
    json_close(j, '}');
    return;
  }
  json_text(j, "state", state_word(led.step.action));
  json_bool(j, "answered", !led.not_answered);
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

}  // namespace

void render_json(const StatusReport& report, std::FILE* out) {
  Json j{out, true};
  json_open(j, nullptr, '{');
  json_open(j, "settings", '{');
  json_text(j, "path", settings_path);
  json_text(j, "error", report.settings_error ? std::strerror(report.settings_error) : nullptr);
  json_bool(j, "changed_since_start", report.settings_newer);
  json_wifi_key(j, "wifi_ap", report.settings.wifi_ap);
  json_wifi_key(j, "wifi_client", report.settings.wifi_client);
  json_close(j, '}');
  json_open(j, "leds", '[');
  for (std::size_t i = 0; i < report.leds.size(); ++i) {
    json_led(j, report.leds[i], i, i == 0 ? report.settings.led1 : report.settings.led2);
  }
  json_close(j, ']');
  json_daemon(j, report);
  json_text(j, "problem", or_null(report.problem.data()));
  json_close(j, '}');
  put(out, "\n");
}

void render_preview_json(const StatusReport& report, std::FILE* out) {
  Json j{out, true};
  json_open(j, nullptr, '{');
  json_key(j, "preview");
  j.first = true;
  json_led(j, report.leds[0], report.leds.size(), LedName{});
  json_close(j, '}');
  put(out, "\n");
}

void render_modes_json(std::FILE* out, const LedSettings& settings) {
  Json j{out, true};
  json_open(j, nullptr, '{');
  json_open(j, "modes", '[');
  for (std::uint32_t mode = 0; mode <= last_mode; ++mode) {
    std::array<char, 64> title{};
    ModeText text{};
    const ModeWords words = mode_words(mode, settings, text);
    json_open(j, nullptr, '{');
    json_uint(j, "mode", mode);
    json_text(j, "shows", shows(mode_row(mode), mode, title));
    json_text(j, "on", words.on);
    json_text(j, "blinks", words.blinks);
    json_close(j, '}');
  }
  json_close(j, ']');
  json_close(j, '}');
  put(out, "\n");
}

void json_string(std::FILE* out, const char* text) {
  put(out, "\"");
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p;) {
    const unsigned char c = *p;
    const std::size_t length = utf8_length(p);
    if (length == 0) {
      // Not UTF-8: each such byte stands for one unknown character.
      put(out, "\\ufffd");
      ++p;
      continue;
    }
    const std::uint32_t code_point = utf8_code_point(p, length);
    if (c == '"' || c == '\\') {
      put(out, "\\%c", c);
    } else if (control_character(code_point) || c == '<' || c == '>' || c == '&') {
      // Nor can the text end a script element or start markup in a page.
      put(out, "\\u%04" PRIx32, code_point);
    } else {
      put(out, "%.*s", static_cast<int>(length), reinterpret_cast<const char*>(p));
    }
    p += length;
  }
  put(out, "\"");
}
