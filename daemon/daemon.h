// The daemon core: the stop flag, LED actions and one tick of the mode loop.
#pragma once

#include <csignal>
#include <cstdint>

struct LedSettings;

// The few data symbols other programs may look up in the running daemon.
#define NORVASK_EXPORT __attribute__((visibility("default")))

extern "C" {
// Set by the stop-signal handler to the signal's number; the loop only tests it.
NORVASK_EXPORT extern volatile std::sig_atomic_t got_signal;
}

// What one evaluation of a mode does to its LED.
enum class LedAction : std::uint8_t { Off, On, Blink, Keep };

// The outcome of a mode's answer: the action, the value an On writes, and the
// message to log first (null for none).
struct LedStep {
  LedAction action;
  std::uint32_t value;
  const char* message;
};

// Pure part of the mode table: what `answer` (the probe's result for `mode`)
// makes the LED do.
[[nodiscard]] LedStep decide(std::uint32_t mode, int answer);

// One tick without the sleep: evaluate and act on LED 1, then on LED 2.
void run_tick(const LedSettings& settings);
