// The daemon core: the stop flag, the steps the mode table decides, and one
// tick of the mode loop.
#pragma once

#include <csignal>
#include <cstdint>

#include "leds/leds.h"
#include "probes/probes.h"
#include "serial/serial.h"

struct LedSettings;

extern "C" {
// Set by the stop-signal handler to the signal's number; the loop only tests it.
NORVASK_EXPORT extern volatile std::sig_atomic_t got_signal;
}

// The outcome of a mode's answer: the action, the value an On writes, and the
// message to log first (null for none).
struct LedStep {
  LedAction action;
  std::uint32_t value;
  const char* message;
};

// Pure part of the mode table: what `answer` (the probe's result for `mode`)
// makes the LED do. The mode's row says which of the answer's fields counts.
[[nodiscard]] LedStep decide(std::uint32_t mode, ModeAnswer answer);

// One tick without the sleep: evaluate and act on LED 1, then on LED 2.
void run_tick(const LedSettings& settings);
