#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "settings/settings_internal.h"
#include "status/status.h"
#include "status/status_internal.h"

namespace {

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
  part(line, "%s%s in the last second", led.answer.state == TriState::Yes ? "" : "nothing ",
       serial_words(led.row));
}

// A Wi-Fi mode whose key was refused: the reason, which is printable ASCII.
bool plain_refused(Line& line, const LedReport& led, const char* key) {
  if (led.wifi.fault == NameFault::None) return false;
  std::array<char, 160> why{};
  iface_refusal(led.wifi, why.data(), why.size());
  part(line, "%s refused: %s; the LED stays off", key, why.data());
  return true;
}

void plain_wifi_ap(Line& line, const LedReport& led) {
  if (plain_refused(line, led, wifi_ap_key)) return;
  for (std::size_t i = 0; i < led.wifi.count; ++i) {
    const char* iface = led.wifi.names[i].data();
    const StationsSeen& seen = led.stations[i];
    if (seen.listing_bytes <= 1) {
      part(line, "%s: none", iface);
    } else if (seen.cut) {
      // Only the start of the listing was read: more may follow.
      part(line, "%s: at least %d device%s connected (listing cut: %" PRId64 " bytes)", iface,
           seen.stations, seen.stations == 1 ? "" : "s", seen.listing_bytes);
    } else if (seen.stations > 0) {
      part(line, "%s: %d device%s connected", iface, seen.stations, seen.stations == 1 ? "" : "s");
    } else {
      part(line, "%s: listed %" PRId64 " bytes but no device address, counted as connected", iface,
           seen.listing_bytes);
    }
  }
  for (std::size_t i = 0; i < led.wifi.count; ++i) {
    const char* iface = led.wifi.names[i].data();
    const TrafficSeen* seen = traffic_of(led, iface);
    if (!seen) continue;
    if (seen->answer == 1) part(line, "%s traffic in the last second", iface);
    if (seen->answer == 0) part(line, "no %s traffic in the last second", iface);
    if (seen->answer < 0) part(line, "%s's counters cannot be read", iface);
  }
}

void plain_wifi_client(Line& line, const LedReport& led) {
  if (plain_refused(line, led, wifi_client_key)) return;
  const char* iface = led.wifi.names[0].data();
  const TrafficSeen* seen = traffic_of(led, iface);
  if (!seen && led.answer.action == LedAction::Off) {
    part(line, "%s: not connected (wpa_cli shows no ssid)", iface);
    return;
  }
  std::array<char, 64> before{};
  format_text(before.data(), before.size(), "%s: connected to ", iface);
  quoted(line, before.data(), led.text.data());
  const int moved = seen ? seen->answer : -1;
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
      part(line, "swanctl: %s%d established association%s%s", led.ipsec_cut ? "at least " : "",
           led.ipsec_listed, led.ipsec_listed == 1 ? "" : "s",
           led.ipsec_cut ? " (listing cut)" : "");
      break;
  }
}

// Whose process netstat's line names: a user's program may bear the name.
void plain_owner(Line& line, const ServiceOwner& owner) {
  const int pid = static_cast<int>(owner.pid);
  if (!owner.seen) return;
  if (owner.pid == 0) {
    part(line, "whose it is cannot be told: netstat shows no pid");
  } else if (!owner.found) {
    part(line, "whose it is cannot be told: pid %d no longer runs a program of that name", pid);
  } else if (owner.user[0]) {
    part(line, "pid %d runs as user \"", pid);
    plain_string(line.out, owner.user.data());
    put(line.out, "\" (uid %u)", static_cast<unsigned>(owner.uid));
  } else {
    part(line, "pid %d runs as uid %u, which has no name in %s", pid,
         static_cast<unsigned>(owner.uid), passwd_path);
  }
}

void plain_service(Line& line, const LedReport& led, const char* name, const char* seen,
                   const char* not_seen) {
  if (led.answer.state == TriState::Yes) {
    part(line, "%s %s: ", name, seen);
    plain_string(line.out, led.text.data());
    plain_owner(line, led.owner);
    return;
  }
  part(line, "%s: %s", name, not_seen);
  if (led.cut_name[0]) {
    quoted(line, "netstat cut its owner column to ", led.cut_name.data());
    put(line.out, " (19 characters), so the name cannot match");
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

// A look that gave no answer: what it saw is not shown, since it would
// contradict a state that was never decided.
void plain_unknown(std::FILE* out, const LedReport& led) {
  if (led.end == LookEnd::Interrupted) {
    put(out, "not looked at (interrupted)\n");
    put(out, "       a stop signal came before its look was complete\n");
    return;
  }
  put(out, "not known (its capture could not be written)\n");
  if (led.end == LookEnd::NoRoom) {
    put(out, "       %s is full: what its commands printed was lost\n", status_tmp_dir);
  } else {
    put(out, "       %s refused a file for what its commands print\n", status_tmp_dir);
  }
}

// Which device the LED is, and what the kernel shows of a kernel LED: a
// trigger other than none drives the LED, whatever the daemon writes.
void plain_device(std::FILE* out, const LedReport& led, const LedName& name) {
  const DeviceSeen& seen = led.device;
  if (!seen.looked) return;
  put(out, "       device: ");
  if (seen.kind == LedKind::Gpio) {
    put(out, "the board's GPIO LED (%s)\n", gpio_device_path);
    return;
  }
  if (seen.kind == LedKind::Refused) {
    char why[status_text_size];
    put(out, "none, the daemon leaves this LED alone: the name \"");
    plain_string(out, name.text.data());
    put(out, "%s\" is refused: %s\n", name.length >= led_name_size ? "..." : "",
        refusal_text(seen, why, sizeof why));
    return;
  }
  put(out, "kernel LED \"");
  plain_string(out, name.text.data());
  put(out, "\"");
  if (seen.brightness >= 0 && seen.max_brightness >= 0) {
    put(out, ": brightness %" PRId64 " of %" PRId64, seen.brightness, seen.max_brightness);
  } else {
    put(out, ": its brightness cannot be read");
  }
  if (!seen.trigger[0]) {
    put(out, ", its trigger cannot be read\n");
  } else if (std::strcmp(seen.trigger.data(), "none") == 0) {
    put(out, ", no trigger\n");
  } else {
    put(out, ", trigger ");
    plain_string(out, seen.trigger.data());
    put(out, ": the kernel's trigger drives it, not the daemon\n");
  }
}

void plain_led(std::FILE* out, std::size_t index, const LedReport& led, const LedName& name) {
  std::array<char, 64> title{};
  // A preview is of a mode, on neither LED.
  if (index < 2) {
    put(out, "LED %zu  ", index + 1);
  } else {
    put(out, "preview  ");
  }
  put(out, "mode %-2" PRIu32 "  %s: ", led.mode, shows(led.row, led.mode, title));
  if (led.end != LookEnd::Complete) {
    plain_unknown(out, led);
    plain_device(out, led, name);
    return;
  }
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
  if (led.not_answered) {
    part(line, "a command did not answer within %d s and was ended", command_seconds);
  } else {
    plain_evidence(line, led);
  }
  put(out, "\n");
  plain_device(out, led, name);
}

void plain_daemon(std::FILE* out, const StatusReport& report) {
  const DaemonReport& daemon = report.daemon;
  put(out, "daemon: %s", daemon_word(daemon.state));
  if (daemon.state != DaemonState::Running) {
    put(out, " (");
    // The reason names what the pid file led to: a path anyone may have chosen.
    plain_string(out, daemon.reason[0] ? daemon.reason.data() : "not looked at");
    put(out, ")");
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

}  // namespace

void render_plain(const StatusReport& report, std::FILE* out) {
  if (report.settings_error) {
    put(out, "settings: %s cannot be read (%s): both modes read as 0\n", settings_path,
        std::strerror(report.settings_error));
  }
  for (const auto& [ifaces, key] : {std::pair{&report.settings.wifi_ap, wifi_ap_key},
                                    std::pair{&report.settings.wifi_client, wifi_client_key}}) {
    std::array<char, 256> refusal{};
    wifi_key_refusal(*ifaces, key, refusal.data(), refusal.size());
    if (refusal[0]) put(out, "settings: %s\n", refusal.data());
  }
  for (std::size_t i = 0; i < report.leds.size(); ++i) {
    plain_led(out, i, report.leds[i], i == 0 ? report.settings.led1 : report.settings.led2);
  }
  if (report.settings.mode1 == 0 && report.settings.mode2 == 0) {
    put(out, "both modes are 0: the daemon switches both LEDs off and ends at once\n");
  }
  plain_daemon(out, report);
  if (report.problem[0]) {
    put(out, "could not look: ");
    plain_string(out, report.problem.data());
    put(out, "\n");
  }
}

void render_preview_plain(const StatusReport& report, std::FILE* out) {
  plain_led(out, report.leds.size(), report.leds[0], LedName{});
  if (report.problem[0]) {
    put(out, "could not look: ");
    plain_string(out, report.problem.data());
    put(out, "\n");
  }
}

void render_modes_plain(std::FILE* out, const LedSettings& settings) {
  for (std::uint32_t mode = 0; mode <= last_mode; ++mode) {
    std::array<char, 64> title{};
    ModeText text{};
    const ModeWords words = mode_words(mode, settings, text);
    put(out, "%2" PRIu32 "  %s\n", mode, shows(mode_row(mode), mode, title));
    put(out, "    on when: %s\n", words.on ? words.on : "never");
    if (words.blinks) put(out, "    blinks when: %s\n", words.blinks);
  }
  put(out, "%" PRIu32 " and above: not a mode, the LED stays off\n", last_mode + 1);
}

void plain_string(std::FILE* out, const char* text) {
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p;) {
    const std::size_t length = utf8_length(p);
    if (length == 0) {
      put(out, "\\x%02x", *p++);
      continue;
    }
    const std::uint32_t c = utf8_code_point(p, length);
    if (c == '\\' || c == '"') {
      put(out, "\\%c", static_cast<char>(c));
    } else if (c == '\n' || c == '\r' || c == '\t') {
      put(out, "\\%c", c == '\n' ? 'n' : c == '\r' ? 'r' : 't');
    } else if (control_character(c) && c < 0x80) {
      put(out, "\\x%02" PRIx32, c);
    } else if (control_character(c)) {
      put(out, "\\u%04" PRIx32, c);
    } else {
      put(out, "%.*s", static_cast<int>(length), reinterpret_cast<const char*>(p));
    }
    p += length;
  }
}
