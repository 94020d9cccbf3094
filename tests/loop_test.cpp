#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "daemon/daemon.h"
#include "daemon/daemon_internal.h"
#include "gpio/gpio_internal.h"
#include "test_util.h"

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

// Each pin mode reads its own pin: the board's I/O command is asked about
// that pin by name, and its answer (here the pin's own value) is the mode's.
TEST(ModeRows, EachPinModeReadsItsOwnPin) {
  TempDir dir;
  const std::string io = dir / "io";
  const std::string asked = dir / "asked";
  write_script(io, "echo \"$@\" >> '" + asked +
                       "'\necho 1\n"
                       "case $2 in bin0) exit 10;; bin1) exit 11;; out0) exit 20;; out1) exit 21;; "
                       "esac\nexit 0");
  const char* saved_io = io_command_path;
  const char* saved_device = gpio_device_path;
  io_command_path = io.c_str();
  const std::string device = dir / "no-device";
  gpio_device_path = device.c_str();
  struct Case {
    const char* asked;
    std::uint32_t mode;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"get bin0\n", 1, 10}, {"get bin1\n", 2, 11}, {"get out0\n", 3, 20}, {"get out1\n", 4, 21}};
  for (const Case& c : cases) {
    pins_forget_support();
    unlink(asked.c_str());
    SerialStat uart{};
    const ModeAnswer answer = mode_answer(mode_row(c.mode), uart);
    EXPECT_EQ(answer.kind, AnswerKind::PinValue) << "mode " << c.mode;
    EXPECT_EQ(answer.pin, c.value) << "mode " << c.mode;
    EXPECT_EQ(read_file(asked), c.asked) << "mode " << c.mode;
  }
  pins_forget_support();
  io_command_path = saved_io;
  gpio_device_path = saved_device;
}

}  // namespace
