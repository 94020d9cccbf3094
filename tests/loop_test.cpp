#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "daemon/daemon.h"

namespace {

struct ModeCase {
  std::uint32_t mode;
  ModeAnswer answer;
  LedAction action;
  std::uint32_t value;  // what an On writes
  const char* message;  // logged first, or null
};

std::string describe(const ModeCase& c) {
  const ModeAnswer& a = c.answer;
  const std::string mode = "mode " + std::to_string(c.mode);
  switch (a.kind) {
    case AnswerKind::PinValue:
      return mode + " pin " + std::to_string(a.pin);
    case AnswerKind::TriState:
      return mode + " tri-state " + std::to_string(static_cast<int>(a.state));
    case AnswerKind::Action:
      return mode + " action " + std::to_string(static_cast<int>(a.action));
    case AnswerKind::None:
      break;
  }
  return mode + " no answer";
}

void PrintTo(const ModeCase& c, std::ostream* out) { *out << describe(c); }

class ModeTable : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeTable, AnswerBecomesTheRowsAction) {
  const ModeCase& c = GetParam();
  const LedStep step = decide(c.mode, c.answer);
  EXPECT_EQ(step.action, c.action) << describe(c);
  if (c.action == LedAction::On) {
    EXPECT_EQ(step.value, c.value) << describe(c);
  }
  if (c.message) {
    ASSERT_NE(step.message, nullptr) << describe(c);
    EXPECT_STREQ(step.message, c.message) << describe(c);
  } else {
    EXPECT_EQ(step.message, nullptr) << describe(c);
  }
}

constexpr LedAction Off = LedAction::Off;
constexpr LedAction On = LedAction::On;
constexpr LedAction Blink = LedAction::Blink;
constexpr LedAction Keep = LedAction::Keep;
constexpr ModeAnswer pin(std::uint32_t value) { return pin_answer(value); }
constexpr ModeAnswer tri(int result) { return tri_answer(result); }
constexpr ModeAnswer act(LedAction action) { return action_answer(action); }
constexpr const char* serial_failure = "failure getting serial stats";

INSTANTIATE_TEST_SUITE_P(
    EveryMode, ModeTable,
    ::testing::Values(
        ModeCase{0, {}, Off, 0, nullptr}, ModeCase{0, tri(1), Off, 0, nullptr},
        // Binary inputs light the LED when they read low.
        ModeCase{1, pin(0), On, 1, nullptr}, ModeCase{1, pin(1), Off, 0, nullptr},
        ModeCase{2, pin(0), On, 1, nullptr}, ModeCase{2, pin(1), Off, 0, nullptr},
        // Binary outputs are mirrored, whatever the value.
        ModeCase{3, pin(0), Off, 0, nullptr}, ModeCase{3, pin(1), On, 1, nullptr},
        ModeCase{3, pin(5), On, 5, nullptr}, ModeCase{4, pin(0), Off, 0, nullptr},
        ModeCase{4, pin(1), On, 1, nullptr}, ModeCase{4, pin(255), On, 255, nullptr},
        ModeCase{5, tri(0), Off, 0, nullptr}, ModeCase{5, tri(1), On, 1, nullptr},
        ModeCase{5, tri(-1), Keep, 0, serial_failure}, ModeCase{6, tri(1), On, 1, nullptr},
        ModeCase{6, tri(-1), Keep, 0, serial_failure}, ModeCase{7, tri(0), Off, 0, nullptr},
        ModeCase{7, tri(-1), Keep, 0, serial_failure}, ModeCase{8, tri(1), On, 1, nullptr},
        ModeCase{8, tri(-1), Keep, 0, serial_failure}, ModeCase{9, tri(0), Off, 0, nullptr},
        ModeCase{9, tri(-1), Keep, 0, serial_failure}, ModeCase{10, tri(1), On, 1, nullptr},
        ModeCase{10, tri(-1), Keep, 0, serial_failure}, ModeCase{11, act(Off), Off, 0, nullptr},
        ModeCase{11, act(On), On, 1, nullptr}, ModeCase{11, act(Blink), Blink, 0, nullptr},
        ModeCase{12, act(Off), Off, 0, nullptr}, ModeCase{12, act(On), On, 1, nullptr},
        ModeCase{12, act(Blink), Blink, 0, nullptr}, ModeCase{13, tri(0), Off, 0, nullptr},
        ModeCase{13, tri(1), On, 1, nullptr},
        ModeCase{13, tri(-1), Keep, 0, "failure getting OpenVPN status"},
        ModeCase{14, tri(0), Off, 0, nullptr}, ModeCase{14, tri(1), On, 1, nullptr},
        ModeCase{14, tri(-1), Keep, 0, "failure getting IPsec status"},
        ModeCase{15, tri(0), Off, 0, nullptr}, ModeCase{15, tri(1), On, 1, nullptr},
        ModeCase{16, tri(0), Off, 0, nullptr}, ModeCase{16, tri(1), On, 1, nullptr},
        ModeCase{17, {}, On, 1, nullptr}, ModeCase{17, tri(-1), On, 1, nullptr},
        ModeCase{18, tri(1), Off, 0, nullptr}, ModeCase{1000, tri(1), Off, 0, nullptr},
        ModeCase{4294967295U, tri(1), Off, 0, nullptr}));

}  // namespace
