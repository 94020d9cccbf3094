#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "gpio/gpio_internal.h"
#include "test_util.h"

namespace {

class Gpio : public ::testing::Test {
 protected:
  void SetUp() override {
    gpio_forget_device();
    pins_forget_support();
    gpio_device_path = device_.c_str();
    io_command_path = io_.c_str();
  }
  void TearDown() override {
    gpio_forget_device();
    pins_forget_support();
    gpio_device_path = saved_device_;
    io_command_path = saved_io_;
  }

  // A stand-in for the board's I/O command that notes each run.
  void io_prints(const std::string& body) {
    write_script(io_, "echo \"$@\" >> '" + runs_ + "'\n" + body);
  }
  int io_runs() const {
    const std::string log = read_file(runs_);
    int lines = 0;
    for (char c : log) lines += c == '\n';
    return lines;
  }

  // Exit status 0 when the first read, with no descriptor left for the
  // pipe, fails and leaves the pin unknown without running the command, and
  // the second, with descriptors again, runs the check and finds the pin.
  [[noreturn]] void read_bin0_twice() const {
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    const rlimit none_left{3, saved.rlim_max};
    setrlimit(RLIMIT_NOFILE, &none_left);
    const std::uint32_t first = read_pin(Pin::Bin0);
    const PinSupport after_first = pin_entry(Pin::Bin0).support;
    const int runs_after_first = io_runs();
    setrlimit(RLIMIT_NOFILE, &saved);
    const std::uint32_t second = read_pin(Pin::Bin0);
    const bool ok = first == 0 && after_first == PinSupport::Unknown && runs_after_first == 0 &&
                    second == 1 && pin_entry(Pin::Bin0).support == PinSupport::Supported &&
                    io_runs() == 1;
    _exit(ok ? 0 : 1);
  }

  TempDir dir_;
  std::string device_ = dir_ / "gpio";
  std::string io_ = dir_ / "io";
  std::string runs_ = dir_ / "io-runs";

 private:
  const char* saved_device_ = gpio_device_path;
  const char* saved_io_ = io_command_path;
};

TEST_F(Gpio, MissingDeviceFailsAndIsOpenedOnceItAppears) {
  EXPECT_EQ(set_led1(1), -1);
  EXPECT_EQ(set_led2(0), -1);
  EXPECT_EQ(gpio_descriptor(), -1);
  write_file(device_, "");
  // Opened now; a plain file refuses the LED request itself.
  EXPECT_EQ(set_led1(1), -1);
  const int fd = gpio_descriptor();
  EXPECT_GE(fd, 0);
  unlink(device_.c_str());
  EXPECT_EQ(set_led2(1), -1);
  EXPECT_EQ(gpio_descriptor(), fd) << "the open device is kept";
}

TEST_F(Gpio, PinSupportIsAskedOnceAndRemembered) {
  struct Case {
    const char* what;
    const char* io_body;  // empty: no I/O command at all
    std::uint32_t first_read;
    PinSupport support;
  };
  const Case cases[] = {
      {"pin high: its exit code is the value", "echo 1; exit 1", 1, PinSupport::Supported},
      {"pin low", "echo 0", 0, PinSupport::Supported},
      {"the exit code wins over the digit", "echo 1; exit 5", 5, PinSupport::Supported},
      {"an error text", "echo 'no such pin: '$2; exit 1", 0, PinSupport::Unsupported},
      {"nothing printed", "exit 0", 0, PinSupport::Unsupported},
      {"garbage", "head -c 200000 /dev/zero | tr '\\0' 'x'", 0, PinSupport::Unsupported},
      {"no I/O command", "", 0, PinSupport::Unsupported},
  };
  for (const Case& c : cases) {
    SetUp();
    unlink(runs_.c_str());
    if (*c.io_body) {
      io_prints(c.io_body);
    } else {
      unlink(io_.c_str());
    }
    EXPECT_EQ(read_pin(Pin::Out1), c.first_read) << c.what;
    EXPECT_EQ(pin_entry(Pin::Out1).support, c.support) << c.what;
    EXPECT_EQ(read_file(runs_), *c.io_body ? "get out1\n" : "") << c.what;
    // Later reads never run the command again; without a device they read 0.
    EXPECT_EQ(read_pin(Pin::Out1), 0U) << c.what;
    EXPECT_EQ(io_runs(), *c.io_body ? 1 : 0) << c.what;
    EXPECT_EQ(pin_entry(Pin::Bin0).support, PinSupport::Unknown) << c.what;
  }
}

TEST_F(Gpio, EachPinIsCheckedByItsOwnName) {
  io_prints("echo 1");
  EXPECT_EQ(read_pin(Pin::Bin0), 0U);
  EXPECT_EQ(read_pin(Pin::Bin1), 0U);
  EXPECT_EQ(read_pin(Pin::Out0), 0U);
  EXPECT_EQ(read_pin(Pin::Out1), 0U);
  EXPECT_EQ(read_file(runs_), "get bin0\nget bin1\nget out0\nget out1\n");
  EXPECT_STREQ(pin_entry(Pin::Out0).name, "out0");
}

TEST_F(Gpio, AGrandchildHoldingThePipeDoesNotStallTheCheck) {
  // The command leaves a process behind that keeps its output open.
  io_prints("echo 1; (sleep 3 &) ; exit 1");
  EXPECT_EQ(read_pin(Pin::Bin1), 1U);
  EXPECT_EQ(pin_entry(Pin::Bin1).support, PinSupport::Supported);
  // Nothing to read yet is a failed check, asked again next time, not a wait.
  io_prints("(sleep 3 &) ; exit 0");
  EXPECT_EQ(read_pin(Pin::Out0), 0U);
  EXPECT_EQ(pin_entry(Pin::Out0).support, PinSupport::Unknown);
}

TEST_F(Gpio, AFailedCheckIsRepeatedOnTheNextRead) {
  io_prints("echo 1; exit 1");
  EXPECT_EXIT(read_bin0_twice(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
