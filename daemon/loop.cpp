#include <syslog.h>

#include <array>

#include "daemon/daemon_internal.h"
#include "gpio/gpio.h"
#include "leds/leds.h"
#include "probes/probes.h"
#include "serial/serial.h"
#include "settings/settings.h"

static_assert(sizeof(std::sig_atomic_t) == 4);

extern "C" {
volatile std::sig_atomic_t got_signal = 0;
}

namespace {

constexpr const char* ttyS0 = "/dev/ttyS0";
constexpr const char* ttyS1 = "/dev/ttyS1";

constexpr ModeRow row(Source source) { return {source, Pin::Bin0, nullptr, 0}; }
constexpr ModeRow pin_row(Source source, Pin pin) { return {source, pin, nullptr, 0}; }
constexpr ModeRow serial_row(const char* port, unsigned selection) {
  return {Source::Serial, Pin::Bin0, port, selection};
}

constexpr std::array<ModeRow, 18> mode_table{{
    /*  0 */ row(Source::Nothing),
    /*  1 */ pin_row(Source::PinLow, Pin::Bin0),
    /*  2 */ pin_row(Source::PinLow, Pin::Bin1),
    /*  3 */ pin_row(Source::PinValue, Pin::Out0),
    /*  4 */ pin_row(Source::PinValue, Pin::Out1),
    /*  5 */ serial_row(ttyS0, serial_receive),
    /*  6 */ serial_row(ttyS0, serial_transmit),
    /*  7 */ serial_row(ttyS0, serial_both),
    /*  8 */ serial_row(ttyS1, serial_receive),
    /*  9 */ serial_row(ttyS1, serial_transmit),
    /* 10 */ serial_row(ttyS1, serial_both),
    /* 11 */ row(Source::WifiAp),
    /* 12 */ row(Source::WifiClient),
    /* 13 */ row(Source::OpenVpn),
    /* 14 */ row(Source::Ipsec),
    /* 15 */ row(Source::RemoteManagement),
    /* 16 */ row(Source::VpnPortal),
    /* 17 */ row(Source::Always),
}};

// Modes 18 and above select nothing.
constexpr ModeRow beyond_table = row(Source::Nothing);

// Everything an LED's evaluation needs of its own: its device, whichever
// kind start-up bound it to, and its serial snapshot.
struct LedBinding {
  LedDevice* device;
  SerialStat* uart;
};

constexpr LedStep off{LedAction::Off, 0, nullptr};
constexpr LedStep on{LedAction::On, 1, nullptr};

constexpr LedStep on_off(bool lit) { return lit ? on : off; }
constexpr LedStep keep(const char* message) { return {LedAction::Keep, 0, message}; }

// A tri-state as the LED shows it, or kept with `failure` logged when unknown.
constexpr LedStep on_off_or_keep(TriState state, const char* failure) {
  return state == TriState::Unknown ? keep(failure) : on_off(state == TriState::Yes);
}

void act(const LedStep& step, const LedBinding& led) {
  if (step.message) syslog(LOG_NOTICE, "%s", step.message);
  led_act(*led.device, step.action, step.value);
}

void evaluate_led(std::uint32_t mode, const LedBinding& led) {
  act(decide(mode, mode_answer(mode_row(mode), *led.uart)), led);
}

const LedBinding led1{&led1_device, &uart1_stat};
const LedBinding led2{&led2_device, &uart2_stat};

}  // namespace

const ModeRow& mode_row(std::uint32_t mode) {
  if (mode < mode_table.size()) return mode_table[mode];
  return beyond_table;
}

ModeAnswer mode_answer(const ModeRow& row, SerialStat& uart) {
  switch (row.source) {
    case Source::Nothing:
    case Source::Always:
      return {};
    case Source::PinLow:
    case Source::PinValue:
      return pin_answer(read_pin(row.pin));
    case Source::Serial:
      return tri_answer(serial_activity(row.port, row.selection, uart));
    case Source::WifiAp:
      return action_answer(probe_wifi_ap());
    case Source::WifiClient:
      return action_answer(probe_wifi_client());
    case Source::OpenVpn:
      return tri_answer(probe_openvpn());
    case Source::Ipsec:
      return tri_answer(probe_ipsec());
    case Source::RemoteManagement:
      return tri_answer(probe_remote_management());
    case Source::VpnPortal:
      return tri_answer(probe_vpn_portal());
  }
  return {};
}

LedStep decide(std::uint32_t mode, ModeAnswer answer) {
  switch (mode_row(mode).source) {
    case Source::Nothing:
      return off;
    case Source::Always:
      return on;
    case Source::PinLow:
      return on_off(answer.pin == 0);
    case Source::PinValue:
      return {answer.pin == 0 ? LedAction::Off : LedAction::On, answer.pin, nullptr};
    case Source::Serial:
      return on_off_or_keep(answer.state, "failure getting serial stats");
    case Source::WifiAp:
    case Source::WifiClient:
      if (answer.action == LedAction::Blink) return {LedAction::Blink, 0, nullptr};
      return on_off(answer.action == LedAction::On);
    case Source::OpenVpn:
      return on_off_or_keep(answer.state, "failure getting OpenVPN status");
    case Source::Ipsec:
      return on_off_or_keep(answer.state, "failure getting IPsec status");
    case Source::RemoteManagement:
    case Source::VpnPortal:
      return on_off(answer.state == TriState::Yes);
  }
  return off;
}

void run_tick(const LedSettings& settings) {
  evaluate_led(settings.mode1, led1);
  evaluate_led(settings.mode2, led2);
}
