#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "daemon/daemon.h"

namespace {

constexpr int blink_answer = static_cast<int>(LedAction::Blink);
constexpr int on_answer = static_cast<int>(LedAction::On);
constexpr int off_answer = static_cast<int>(LedAction::Off);

struct ModeCase {
  std::uint32_t mode;
  int answer;
  LedAction action;
  std::uint32_t value;  // what an On writes
  const char* message;  // logged first, or null
};

std::string describe(const ModeCase& c) {
  return "mode " + std::to_string(c.mode) + " answer " + std::to_string(c.answer);
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
constexpr const char* serial_failure = "failure getting serial stats";

INSTANTIATE_TEST_SUITE_P(
    EveryMode, ModeTable,
    ::testing::Values(
        ModeCase{0, 0, Off, 0, nullptr}, ModeCase{0, 1, Off, 0, nullptr},
        // Binary inputs light the LED when they read low.
        ModeCase{1, 0, On, 1, nullptr}, ModeCase{1, 1, Off, 0, nullptr},
        ModeCase{2, 0, On, 1, nullptr}, ModeCase{2, 1, Off, 0, nullptr},
        // Binary outputs are mirrored, whatever the value.
        ModeCase{3, 0, Off, 0, nullptr}, ModeCase{3, 1, On, 1, nullptr},
        ModeCase{3, 5, On, 5, nullptr}, ModeCase{4, 0, Off, 0, nullptr},
        ModeCase{4, 1, On, 1, nullptr}, ModeCase{4, 255, On, 255, nullptr},
        ModeCase{5, 0, Off, 0, nullptr}, ModeCase{5, 1, On, 1, nullptr},
        ModeCase{5, -1, Keep, 0, serial_failure}, ModeCase{6, 1, On, 1, nullptr},
        ModeCase{6, -1, Keep, 0, serial_failure}, ModeCase{7, 0, Off, 0, nullptr},
        ModeCase{7, -1, Keep, 0, serial_failure}, ModeCase{8, 1, On, 1, nullptr},
        ModeCase{8, -1, Keep, 0, serial_failure}, ModeCase{9, 0, Off, 0, nullptr},
        ModeCase{9, -1, Keep, 0, serial_failure}, ModeCase{10, 1, On, 1, nullptr},
        ModeCase{10, -1, Keep, 0, serial_failure}, ModeCase{11, off_answer, Off, 0, nullptr},
        ModeCase{11, on_answer, On, 1, nullptr}, ModeCase{11, blink_answer, Blink, 0, nullptr},
        ModeCase{12, off_answer, Off, 0, nullptr}, ModeCase{12, on_answer, On, 1, nullptr},
        ModeCase{12, blink_answer, Blink, 0, nullptr}, ModeCase{13, 0, Off, 0, nullptr},
        ModeCase{13, 1, On, 1, nullptr},
        ModeCase{13, -1, Keep, 0, "failure getting OpenVPN status"},
        ModeCase{14, 0, Off, 0, nullptr}, ModeCase{14, 1, On, 1, nullptr},
        ModeCase{14, -1, Keep, 0, "failure getting IPsec status"}, ModeCase{15, 0, Off, 0, nullptr},
        ModeCase{15, 1, On, 1, nullptr}, ModeCase{16, 0, Off, 0, nullptr},
        ModeCase{16, 1, On, 1, nullptr}, ModeCase{17, 0, On, 1, nullptr},
        ModeCase{17, -1, On, 1, nullptr}, ModeCase{18, 1, Off, 0, nullptr},
        ModeCase{1000, 1, Off, 0, nullptr}, ModeCase{4294967295U, 1, Off, 0, nullptr}));

}  // namespace
