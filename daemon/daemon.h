// The daemon core: the stop flag, LED actions and one tick of the mode loop.
#pragma once

#include <csignal>
#include <cstdint>

struct LedSettings;

// The few data symbols the daemon exports by name.
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

// Pure part of the mode table: what `answer` (the probe's result for `mode`)
// makes the LED do. The mode's row says which of the answer's fields counts.
[[nodiscard]] LedStep decide(std::uint32_t mode, ModeAnswer answer);

// One tick without the sleep: evaluate and act on LED 1, then on LED 2.
void run_tick(const LedSettings& settings);
