// Internals of the mode loop: the mode table, and a mode's evaluation apart
// from acting on its LED.
#pragma once

#include <cstdint>

#include "daemon/daemon.h"
#include "gpio/gpio.h"
#include "serial/serial.h"

// Where a mode's answer comes from, and so how it is read.
enum class Source : std::uint8_t {
  Nothing,   // Off
  Always,    // On
  PinLow,    // On when the pin reads 0
  PinValue,  // the pin's value, written as it is
  Serial,    // 0 or 1 written as it is; a failure keeps the LED
  WifiAp,
  WifiClient,
  OpenVpn,
  Ipsec,
  RemoteManagement,
  VpnPortal,
};

struct ModeRow {
  Source source;
  Pin pin;
  const char* port;
  unsigned selection;
};

// The mode table's row for `mode`; modes past the table select nothing.
[[nodiscard]] const ModeRow& mode_row(std::uint32_t mode);

// The probe's answer for `row` this tick; a serial row compares against `uart`,
// the LED's own snapshot.
[[nodiscard]] ModeAnswer mode_answer(const ModeRow& row, SerialStat& uart);
