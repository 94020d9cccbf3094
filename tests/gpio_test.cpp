#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <ctime>
#include <string>
#include <vector>

#include "gpio/gpio_internal.h"
#include "test_util.h"

namespace {

// The calls on the GPIO device, taken at the system call while `recording`
// is set: a plain file refuses the device's requests.
struct DeviceCall {
  unsigned long request;
  unsigned long value;
  std::int64_t at_ms;
};
bool recording = false;
std::vector<DeviceCall> device_calls;

std::int64_t now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

// This program's ioctl: every call but those recorded goes to the kernel as
// it is.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list arguments;
  va_start(arguments, request);
  const unsigned long value = va_arg(arguments, unsigned long);
  va_end(arguments);
  if (recording && fd >= 0 && fd == gpio_descriptor()) {
    device_calls.push_back({request, value, now_ms()});
    return 0;
  }
  return static_cast<int>(syscall(SYS_ioctl, fd, request, value));
}

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

TEST_F(Gpio, EachLedTakesItsOwnRequestAndABlinkEndsOn) {
  write_file(device_, "");
  struct Case {
    const char* what;
    void (*act)();
    std::uint32_t request;
    std::vector<unsigned long> values;
  };
  const std::vector<unsigned long> blink = {0, 1, 0, 1, 0, 1, 0, 1};
  const Case cases[] = {
      {"LED 1 on", [] { (void)set_led1(1); }, led1_request, {1}},
      {"LED 2 set to a pin's value", [] { (void)set_led2(5); }, led2_request, {5}},
      {"LED 1 blinks", blink_led1, led1_request, blink},
      {"LED 2 blinks", blink_led2, led2_request, blink},
  };
  for (const Case& c : cases) {
    device_calls.clear();
    recording = true;
    c.act();
    recording = false;
    std::vector<unsigned long> values;
    for (const DeviceCall& call : device_calls) {
      EXPECT_EQ(call.request, c.request) << c.what;
      values.push_back(call.value);
    }
    EXPECT_EQ(values, c.values) << c.what;
    // Four flashes over a second: a write every 125 ms.
    for (std::size_t i = 1; i < device_calls.size(); ++i) {
      EXPECT_GE(device_calls[i].at_ms - device_calls[i - 1].at_ms, 124) << c.what << " " << i;
    }
  }
  EXPECT_GE(gpio_descriptor(), 0) << "the writes went through the device";
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
