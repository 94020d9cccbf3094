// Status probes that answer the Wi-Fi, VPN and remote-service modes.
#pragma once

#include <cstdint>

#include "leds/leds.h"
#include "settings/settings.h"

// A yes-or-no probe's answer, or that it could not tell.
enum class TriState : std::int8_t { Unknown = -1, No = 0, Yes = 1 };

// Which field of a ModeAnswer holds the answer.
enum class AnswerKind : std::uint8_t {
  None,      // the mode looks at nothing
  PinValue,  // `pin`: the pin's value
  TriState,  // `state`: serial activity, the VPNs and the remote services
  Action,    // `action`: the Wi-Fi probes, which say how the LED shows it
};

// A mode's probe answer for one tick, tagged with its kind; the fields of the
// other kinds stay at their zero. Eight bytes, passed in a register.
struct ModeAnswer {
  AnswerKind kind;
  TriState state;
  LedAction action;
  std::uint32_t pin;
};

constexpr ModeAnswer pin_answer(std::uint32_t value) {
  return {
      .kind = AnswerKind::PinValue, .state = TriState::No, .action = LedAction::Off, .pin = value};
}
constexpr ModeAnswer tri_answer(TriState state) {
  return {.kind = AnswerKind::TriState, .state = state, .action = LedAction::Off, .pin = 0};
}
// A probe's 1, 0 or -1; anything else is as good as -1.
constexpr ModeAnswer tri_answer(int result) {
  return tri_answer(result == 1 ? TriState::Yes : result == 0 ? TriState::No : TriState::Unknown);
}
constexpr ModeAnswer action_answer(LedAction action) {
  return {.kind = AnswerKind::Action, .state = TriState::No, .action = action, .pin = 0};
}

// The interfaces the two Wi-Fi probes watch, from the settings (wlan0 and
// wlan02, wlan1 until then), and the commands they run, built once here. A
// key that was refused names no interface: its probe answers Off and runs
// nothing.
void probe_wifi_setup(const WifiIfaces& access_points, const WifiIfaces& client);

// The Wi-Fi access points, in order: Off without stations, On with
// stations, Blink when the traffic of one with stations moved.
[[nodiscard]] LedAction probe_wifi_ap();
// The Wi-Fi client: Off when not associated or its counters are unreadable,
// On when associated, Blink when its traffic moved.
[[nodiscard]] LedAction probe_wifi_client();

// 1 when an OpenVPN tunnel tun0..tun3 has received bytes, 0 when none has,
// -1 when a capture could not be read back.
[[nodiscard]] int probe_openvpn();
// 1 with an established IPsec association, 0 without, -1 when unknown.
[[nodiscard]] int probe_ipsec();
// 1 when the remote-management client has an established connection, else 0.
[[nodiscard]] int probe_remote_management();
// 1 when the VPN-portal service listens, else 0.
[[nodiscard]] int probe_vpn_portal();
