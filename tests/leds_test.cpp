// Each LED's device: the board's GPIO LED or a kernel LED, chosen at start,
// against a directory standing in for /sys/class/leds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "daemon/daemon.h"
#include "gpio/gpio_internal.h"
#include "leds/leds_internal.h"
#include "test_util.h"

namespace {

using Settings = std::map<std::string, std::string>;

// What a trigger's files hold when it is set.
Settings trigger_defaults(const std::string& trigger) {
  if (trigger == "timer") return {{"delay_on", "500"}, {"delay_off", "500"}};
  if (trigger == "netdev") {
    return {{"device_name", ""}, {"link", "0"}, {"rx", "0"}, {"tx", "0"}, {"interval", "50"}};
  }
  if (trigger == "heartbeat") return {{"invert", "0"}};
  return {};
}

// A kernel LED's files in a test's directory. A regular file keeps what is
// written over it where sysfs acts on it, so the kernel's part is played
// when the test says (settle): a trigger's name written to `trigger`
// becomes the active one, a brightness is cut to max_brightness. A trigger
// taken away switches the LED off, unless a brightness was written after it
// (the daemon writes after taking the trigger), and has its settings back
// at their defaults, as when it is set again (in sysfs its files go, and
// come back with it). The brightness is kept with a blank before it, which
// a write over it does not leave: so a write of the same value is seen.
class KernelLed {
 public:
  KernelLed(const std::string& root, std::string name, std::uint32_t max = 255)
      : dir_(root + "/" + name), name_(std::move(name)), max_(max) {
    make_dirs(dir_);
    write_file(dir_ + "/brightness", " 0\n");
    write_file(dir_ + "/max_brightness", std::to_string(max) + "\n");
    write_file(dir_ + "/uevent", "OF_NAME=led\n");
    render();
  }

  // Another program's `echo TRIGGER > trigger`, then its settings.
  void set_trigger(const std::string& trigger, const Settings& settings = {}) {
    for (const auto& [file, value] : trigger_defaults(active_)) unlink((dir_ + "/" + file).c_str());
    active_ = trigger;
    render();
    for (const auto& [file, value] : trigger_defaults(trigger)) set(file, value);
    for (const auto& [file, value] : settings) set(file, value);
  }

  // The kernel's part for what was written since; false when a word
  // written to `trigger` names no trigger (the kernel refuses it).
  bool settle() {
    bool known = true;
    bool switched_off = false;
    const std::string text = read_file(dir_ + "/trigger");
    if (text != rendered_) {
      const std::string word = text.substr(0, text.find('\n'));
      known = word == "none" || !trigger_defaults(word).empty();
      if (known && word == "none" && active_ != "none") {
        for (const auto& [file, value] : trigger_defaults(active_)) set(file, value);
        switched_off = true;
      }
      if (known) active_ = word;
      render();
      ++trigger_writes_;
    }
    const std::string value = setting("brightness");
    const bool written = value.empty() || value[0] != ' ';
    const std::uint32_t wanted =
        switched_off && !written ? 0 : static_cast<std::uint32_t>(std::stoul(value));
    std::string line = " ";
    line += std::to_string(std::min(wanted, max_)) + "\n";
    write_file(dir_ + "/brightness", line);
    return known;
  }

  const std::string& name() const { return name_; }
  const std::string& active() const { return active_; }
  int trigger_writes() const { return trigger_writes_; }
  std::uint32_t brightness() const {
    return static_cast<std::uint32_t>(std::stoul(setting("brightness")));
  }
  // A file's first line: a write over a longer text leaves its tail.
  std::string setting(const std::string& file) const {
    const std::string text = read_file(dir_ + "/" + file);
    return text.substr(0, text.find('\n'));
  }
  void set(const std::string& file, const std::string& value) const {
    write_file(dir_ + "/" + file, value + "\n");
  }

 private:
  void render() {
    std::string text = active_ == "none" ? "[none]" : "none";
    for (const char* trigger : {"timer", "netdev", "heartbeat"}) {
      text += active_ == trigger ? std::string(" [") + trigger + "]" : std::string(" ") + trigger;
    }
    rendered_ = text + "\n";
    write_file(dir_ + "/trigger", rendered_);
  }

  std::string dir_;
  std::string name_;
  std::uint32_t max_;
  std::string active_ = "none";
  std::string rendered_;
  int trigger_writes_ = 0;
};

LedName name_of(const std::string& text) {
  LedName name{};
  name.given = true;
  name.length = text.size();
  const std::size_t kept = std::min(text.size(), name.text.size() - 1);
  std::memcpy(name.text.data(), text.data(), kept);
  return name;
}

class Leds : public ::testing::Test {
 protected:
  void SetUp() override {
    leds_forget();
    gpio_forget_device();
    leds_class_path = root_.c_str();
    gpio_device_path = gpio_.c_str();
    // The messages on standard error too, where the test reads them.
    openlog("leds_test", LOG_PERROR, LOG_DAEMON);
  }
  void TearDown() override {
    closelog();
    leds_forget();
    gpio_forget_device();
    leds_class_path = saved_root_;
    gpio_device_path = saved_gpio_;
  }

  // Binds LED 1 and LED 2 to these names ("" for the board's GPIO LED):
  // what it logged.
  static std::string bind(const std::string& led1, const std::string& led2) {
    LedSettings settings{};
    if (!led1.empty()) settings.led1 = name_of(led1);
    if (!led2.empty()) settings.led2 = name_of(led2);
    ::testing::internal::CaptureStderr();
    leds_bind(settings);
    return ::testing::internal::GetCapturedStderr();
  }

  static std::string act(LedDevice& led, LedAction action, std::uint32_t value = 1) {
    ::testing::internal::CaptureStderr();
    led_act(led, action, value);
    return ::testing::internal::GetCapturedStderr();
  }

  static std::string release() {
    ::testing::internal::CaptureStderr();
    leds_release();
    return ::testing::internal::GetCapturedStderr();
  }

  static int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
      ++n;
    }
    return n;
  }

  TempDir dir_;
  std::string root_ = dir_ / "leds";
  std::string gpio_ = dir_ / "gpio";

 private:
  const char* saved_root_ = leds_class_path;
  const char* saved_gpio_ = gpio_device_path;
};

TEST(LedNames, RefusedAsTheContractSays) {
  const std::pair<std::string, LedRefusal> cases[] = {
      {"green:wlan", LedRefusal::None},
      {"tpacpi::power", LedRefusal::None},
      {"...", LedRefusal::None},
      {std::string(63, 'x'), LedRefusal::None},
      {"", LedRefusal::Empty},
      {std::string(64, 'x'), LedRefusal::TooLong},
      {"/", LedRefusal::Slash},
      {"green/wlan", LedRefusal::Slash},
      {"../../../dev", LedRefusal::Slash},
      {".", LedRefusal::Dots},
      {"..", LedRefusal::Dots},
      {"green\nwlan", LedRefusal::Control},
      {"green\x1b[2J", LedRefusal::Control},
      {"del\x7f", LedRefusal::Control},
  };
  for (const auto& [text, refusal] : cases) {
    EXPECT_EQ(led_name_refusal(name_of(text)), refusal) << text;
  }
}

TEST_F(Leds, ARefusedNameIsLoggedOnceAndThatLedIsNeverWritten) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "the name is empty"},
      {"/", "the name holds '/'"},
      {"../leds/green:wlan", "the name holds '/'"},
      {".", "'.' and '..' name no LED"},
      {"..", "'.' and '..' name no LED"},
      {"green\twlan", "the name holds a control character"},
      {std::string(70, 'g'), "the name is longer than 63 bytes"},
      {"red:wlan", "its brightness cannot be opened for writing: No such file or directory"},
  };
  for (const auto& [text, why] : cases) {
    SetUp();
    const KernelLed other(root_, "green:wlan");
    write_file(gpio_, "");  // the board's device is there too
    LedSettings settings{};
    settings.led1 = name_of(text);
    ::testing::internal::CaptureStderr();
    leds_bind(settings);
    for (const LedAction action : {LedAction::On, LedAction::Off, LedAction::Keep}) {
      led_act(led1_device, action, 1);
    }
    const std::string logged = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(logged, "leds_test: LED 1 is not driven: MOD_NORVASK_LED: " + why + "\n") << text;
    // Not the board's LED either, nor any file under the LEDs' directory.
    EXPECT_EQ(gpio_descriptor(), -1) << text;
    const std::string other_dir = root_ + "/" + other.name();
    EXPECT_EQ(read_file(other_dir + "/brightness"), " 0\n") << text;
    EXPECT_EQ(read_file(other_dir + "/trigger"), "[none] timer netdev heartbeat\n") << text;
    EXPECT_FALSE(std::ifstream(root_ + "/red:wlan").good()) << text;
    TearDown();
  }
}

TEST_F(Leds, ATriggerFoundAtStartIsTakenAndGivenBackWithItsSettings) {
  struct Case {
    const char* trigger;
    Settings settings;  // set by the router's own LED set-up before the daemon
  };
  const Case cases[] = {
      {"timer", {{"delay_on", "250"}, {"delay_off", "750"}}},
      {"netdev",
       {{"device_name", "wlan0"}, {"rx", "1"}, {"tx", "1"}, {"link", "1"}, {"interval", "100"}}},
      {"heartbeat", {{"invert", "1"}}},
  };
  for (const Case& c : cases) {
    SetUp();
    KernelLed led(root_, "green:wlan");
    led.set_trigger(c.trigger, c.settings);
    EXPECT_EQ(bind("green:wlan", ""), "") << c.trigger;
    ASSERT_TRUE(led.settle()) << c.trigger;
    EXPECT_EQ(led.active(), "none") << c.trigger;
    for (const auto& [file, value] : c.settings) {
      EXPECT_EQ(led.setting(file), trigger_defaults(c.trigger)[file]) << c.trigger << " " << file;
    }
    act(led1_device, LedAction::On);
    ASSERT_TRUE(led.settle());
    EXPECT_EQ(led.brightness(), 255U) << c.trigger;

    EXPECT_EQ(release(), "") << c.trigger;
    ASSERT_TRUE(led.settle()) << c.trigger;
    EXPECT_EQ(led.active(), c.trigger);
    for (const auto& [file, value] : c.settings) {
      EXPECT_EQ(led.setting(file), value) << c.trigger << " " << file;
    }
    EXPECT_EQ(led.trigger_writes(), 2) << c.trigger;
    TearDown();
  }
}

TEST_F(Leds, WithoutATriggerAtStartNoneIsWrittenNorGivenBack) {
  KernelLed led(root_, "green:wlan");
  EXPECT_EQ(bind("green:wlan", ""), "");
  act(led1_device, LedAction::On);
  led.settle();
  release();
  led.settle();
  EXPECT_EQ(led.trigger_writes(), 0);
  EXPECT_EQ(led.active(), "none");
  EXPECT_EQ(led.brightness(), 255U) << "left as the last tick set it";
}

TEST_F(Leds, AnotherProgramsTriggerIsTakenBackWithinATickAndLoggedOnce) {
  KernelLed led(root_, "green:wlan");
  bind("green:wlan", "");
  act(led1_device, LedAction::On);
  led.settle();
  std::string logged;
  // A trigger set between two ticks, then another; the ticks in between
  // write, blink or keep the LED.
  const std::pair<const char*, LedAction> takeovers[] = {
      {"timer", LedAction::On}, {"netdev", LedAction::Keep}, {"heartbeat", LedAction::Off}};
  for (const auto& [trigger, action] : takeovers) {
    led.set_trigger(trigger);
    logged += act(led1_device, action);
    ASSERT_TRUE(led.settle());
    EXPECT_EQ(led.active(), "none") << trigger;
    // Taking the trigger back switches the LED off: a kept LED is lit again.
    EXPECT_EQ(led.brightness(), action == LedAction::Off ? 0U : 255U) << trigger;
  }
  EXPECT_EQ(logged,
            "leds_test: LED 1: another program set the trigger timer on green:wlan; taken back "
            "(not logged again)\n");
  // What was there at start is given back: no trigger.
  release();
  led.settle();
  EXPECT_EQ(led.active(), "none");
}

TEST_F(Leds, OnIsTheLedsMaxBrightnessWhateverTheValue) {
  for (const std::uint32_t max : {1U, 255U, 1023U}) {
    SetUp();
    KernelLed led(root_, "white:status", max);
    bind("white:status", "");
    for (const std::uint32_t value : {1U, 5U, 255U}) {
      act(led1_device, LedAction::On, value);
      led.settle();
      EXPECT_EQ(led.brightness(), max) << "max " << max << ", value " << value;
      act(led1_device, LedAction::Off, value);
      led.settle();
      EXPECT_EQ(led.brightness(), 0U) << "max " << max;
    }
    TearDown();
  }
}

TEST_F(Leds, ABlinkKeepsTheBoardsTimingAndEndsOn) {
  KernelLed led(root_, "white:status", 100);
  bind("white:status", "");
  act(led1_device, LedAction::Off);
  const auto start = std::chrono::steady_clock::now();
  act(led1_device, LedAction::Blink);
  const auto took = std::chrono::steady_clock::now() - start;
  led.settle();
  EXPECT_EQ(led.brightness(), 100U);
  EXPECT_GE(took, std::chrono::milliseconds(990));
}

TEST_F(Leds, BothLedsOnOneDeviceHoldTheirOwnDescriptorsAndGiveItBackOnce) {
  KernelLed led(root_, "green:wlan");
  led.set_trigger("timer", {{"delay_on", "100"}});
  bind("green:wlan", "green:wlan");
  led.settle();
  const std::vector<int> fds = {led1_device.brightness_fd, led1_device.trigger_fd,
                                led2_device.brightness_fd, led2_device.trigger_fd};
  for (std::size_t i = 0; i < fds.size(); ++i) {
    for (std::size_t j = i + 1; j < fds.size(); ++j) EXPECT_NE(fds[i], fds[j]);
  }
  // LED 2 writes after LED 1, as in a tick.
  act(led1_device, LedAction::On);
  act(led2_device, LedAction::Off);
  led.settle();
  EXPECT_EQ(led.brightness(), 0U);
  EXPECT_EQ(led.trigger_writes(), 1) << "LED 2 found no trigger: LED 1 had taken it";
  release();
  led.settle();
  EXPECT_EQ(led.active(), "timer");
  EXPECT_EQ(led.setting("delay_on"), "100");
  EXPECT_EQ(led.trigger_writes(), 2);
}

TEST_F(Leds, OneLedOnTheBoardsGpioTheOtherOnAKernelLedThroughTheLoop) {
  for (const bool kernel_first : {false, true}) {
    SetUp();
    KernelLed led(root_, "amber:vpn");
    write_file(gpio_, "");  // a plain file: it takes the LED requests, and refuses them
    bind(kernel_first ? "amber:vpn" : "", kernel_first ? "" : "amber:vpn");
    EXPECT_EQ(gpio_descriptor(), -1);
    // Mode 17 lights the kernel LED, mode 0 switches the board's off.
    LedSettings settings{};
    (kernel_first ? settings.mode1 : settings.mode2) = 17;
    run_tick(settings);
    led.settle();
    EXPECT_EQ(led.brightness(), 255U) << kernel_first;
    EXPECT_GE(gpio_descriptor(), 0) << "the board's LED was written: " << kernel_first;
    (kernel_first ? settings.mode1 : settings.mode2) = 0;
    run_tick(settings);
    led.settle();
    EXPECT_EQ(led.brightness(), 0U) << kernel_first;
    TearDown();
  }
}

TEST_F(Leds, AWriteThatFailsIsLoggedOnceAndTheOtherLedGoesOn) {
  KernelLed one(root_, "green:one");
  KernelLed two(root_, "red:two");
  bind("green:one", "red:two");
  // LED 1's brightness can no longer be written, as when the LED is gone.
  const int read_only = open(gpio_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(read_only, 0);
  ASSERT_EQ(dup2(read_only, led1_device.brightness_fd), led1_device.brightness_fd);
  close(read_only);
  std::string logged;
  for (std::uint32_t tick = 0; tick < 3; ++tick) {
    logged += act(led1_device, LedAction::On);
    logged += act(led2_device, tick % 2 == 0 ? LedAction::On : LedAction::Off);
    one.settle();
    two.settle();
    EXPECT_EQ(one.brightness(), 0U) << tick;
    EXPECT_EQ(two.brightness(), tick % 2 == 0 ? 255U : 0U) << tick;
  }
  EXPECT_EQ(logged,
            "leds_test: LED 1: cannot write the brightness of green:one: Bad file descriptor; its "
            "later failures are not logged\n");
}

}  // namespace
