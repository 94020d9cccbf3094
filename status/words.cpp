#include <cstdio>
#include <cstring>

#include "status/status.h"
#include "status/status_internal.h"

const char* pin_name(const ModeRow& row) { return pin_entry(row.pin).name; }

const char* serial_words(const ModeRow& row) {
  return row.selection == serial_both      ? "received or sent"
         : row.selection == serial_receive ? "received"
                                           : "sent";
}

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

const char* device_word(LedKind kind) {
  switch (kind) {
    case LedKind::Gpio:
      return "gpio";
    case LedKind::Class:
      return "kernel";
    case LedKind::Refused:
      break;
  }
  return "refused";
}

const char* refusal_text(const DeviceSeen& seen, char* out, std::size_t size) {
  if (seen.kind != LedKind::Refused) return nullptr;
  const char* why = led_refusal_words(seen.refusal);
  if (seen.refusal != LedRefusal::Missing) return why;
  format_text(out, size, "%s: %s", why, std::strerror(seen.error));
  return out;
}

const char* look_end_word(LookEnd end) {
  switch (end) {
    case LookEnd::Complete:
      break;
    case LookEnd::Interrupted:
      return "interrupted";
    case LookEnd::NoCapture:
      return "capture not made";
    case LookEnd::NoRoom:
      return "no room for the capture";
  }
  return nullptr;
}

namespace {

// When each mode lights its LED and when it blinks: the one table that the
// tool, the web page and the board's live view show. Each reads on after
// "on when" and "blinks when", beside what the mode shows.
constexpr std::array<ModeWords, last_mode + 1> mode_table = {{
    {nullptr, nullptr},
    {"binary input 0 (bin0) is low (reads 0)", nullptr},
    {"binary input 1 (bin1) is low (reads 0)", nullptr},
    {"binary output 0 (out0) is set (the LED mirrors it)", nullptr},
    {"binary output 1 (out1) is set (the LED mirrors it)", nullptr},
    {"serial port 1 (/dev/ttyS0) received data in the last second", nullptr},
    {"serial port 1 (/dev/ttyS0) sent data in the last second", nullptr},
    {"serial port 1 (/dev/ttyS0) received or sent data in the last second", nullptr},
    {"serial port 2 (/dev/ttyS1) received data in the last second", nullptr},
    {"serial port 2 (/dev/ttyS1) sent data in the last second", nullptr},
    {"serial port 2 (/dev/ttyS1) received or sent data in the last second", nullptr},
    {nullptr, "data flows over it"},  // on: with the access points named, in mode_words
    {nullptr, "data flows over that connection"},  // on: with the client named, in mode_words
    {"an OpenVPN tunnel (tun0 to tun3) has received data", nullptr},
    {"an IPsec tunnel is established", nullptr},
    {"the remote-management client is connected to its server", nullptr},
    {"the VPN portal service is running and listening", nullptr},
    {"the daemon is running", nullptr},
}};

}  // namespace

// The Wi-Fi modes' words with the interfaces named: "wlan0, wlan02 or
// wlan03"; a refused key's mode is never lit, and says why.
ModeWords mode_words(std::uint32_t mode, const LedSettings& settings, ModeText& text) {
  if (mode > last_mode) return {nullptr, nullptr};
  const Source source = mode_row(mode).source;
  if (source != Source::WifiAp && source != Source::WifiClient) return mode_table[mode];
  const bool ap = source == Source::WifiAp;
  const WifiIfaces& ifaces = ap ? settings.wifi_ap : settings.wifi_client;
  if (ifaces.fault != NameFault::None) {
    std::array<char, 160> why{};
    iface_refusal(ifaces, why.data(), why.size());
    format_text(text.data(), text.size(), "never: %s is refused (%s)",
                ap ? wifi_ap_key : wifi_client_key, why.data());
    return {text.data(), nullptr};
  }
  std::array<char, wifi_ap_limit*(iface_name_size + 4)> names{};
  std::size_t used = 0;
  for (std::size_t i = 0; i < ifaces.count; ++i) {
    const char* between = i == 0 ? "" : i + 1 == ifaces.count ? " or " : ", ";
    used += static_cast<std::size_t>(std::snprintf(names.data() + used, names.size() - used, "%s%s",
                                                   between, ifaces.names[i].data()));
  }
  format_text(text.data(), text.size(),
              ap ? "a Wi-Fi access point (%s) has devices connected"
                 : "the router is connected as a Wi-Fi client (%s)",
              names.data());
  return {text.data(), mode_table[mode].blinks};
}
