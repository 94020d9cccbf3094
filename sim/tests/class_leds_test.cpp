// The kernel's LED class rules the simulated board serves its LEDs by, and
// the words that change its LEDs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "sim/class_leds.h"
#include "sim/core.h"
#include "sim/words.h"

namespace {

constexpr std::size_t timer = 1;

TEST(ClassLed, BrightnessWritesAsTheKernelTakesThem) {
  struct Case {
    std::string_view text;
    std::uint32_t max;
    std::size_t trigger;  // before
    int error;
    std::uint32_t brightness;  // after, from 3 before
    std::size_t trigger_after;
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      {"255\n", 255, 0, 0, 255, 0},
      {"1", 255, 0, 0, 1, 0},
      {"+7", 255, 0, 0, 7, 0},
      // Above max_brightness: clamped, not refused.
      {"1000\n", 255, 0, 0, 255, 0},
      {"4294967295", 1, 0, 0, 1, 0},
      // The driver takes 32 bits: 2^32 is 0, without the trigger's removal.
      {"4294967296", 255, timer, 0, 0, timer},
      {"18446744073709551616", 255, 0, ERANGE, 3, 0},
      // 0 removes a trigger; a brightness that is not 0 leaves it.
      {"0\n", 255, timer, 0, 0, 0},
      {"200", 255, timer, 0, 200, timer},
      {"", 255, 0, EINVAL, 3, 0},
      {"\n", 255, 0, EINVAL, 3, 0},
      {"-1", 255, 0, EINVAL, 3, 0},
      {" 5", 255, 0, EINVAL, 3, 0},
      {"5 ", 255, 0, EINVAL, 3, 0},
      {"5\n\n", 255, 0, EINVAL, 3, 0},
      {"0x10", 255, 0, EINVAL, 3, 0},
      {"on", 255, 0, EINVAL, 3, 0},
      // The attribute sees the text up to a NUL.
      {"9\0garbage"sv, 255, 0, 0, 9, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    ClassLed led{"a", c.max, 3, c.trigger};
    EXPECT_EQ(std::make_tuple(store_brightness(led, c.text), led.brightness, led.trigger),
              std::make_tuple(c.error, c.brightness, c.trigger_after));
  }
}

TEST(ClassLed, TriggerWritesAndWhatTheFileReads) {
  struct Case {
    const char* text;
    std::size_t trigger;  // before, with brightness 5
    const char* listing;  // after
    int error;
    std::uint32_t brightness;
  };
  const Case cases[] = {
      {"timer", 0, "none [timer] netdev heartbeat\n", 0, 5},
      {"netdev\n", 0, "none timer [netdev] heartbeat\n", 0, 5},
      // Leaving an active trigger turns the LED off, for the same one too.
      {"none", timer, "[none] timer netdev heartbeat\n", 0, 0},
      {"heartbeat", timer, "none timer netdev [heartbeat]\n", 0, 0},
      {"timer", timer, "none [timer] netdev heartbeat\n", 0, 0},
      {"none", 0, "[none] timer netdev heartbeat\n", 0, 5},
      {"[none]", timer, "none [timer] netdev heartbeat\n", EINVAL, 5},
      {"timer\n\n", 0, "[none] timer netdev heartbeat\n", EINVAL, 5},
      {" timer", 0, "[none] timer netdev heartbeat\n", EINVAL, 5},
      {"pattern", 0, "[none] timer netdev heartbeat\n", EINVAL, 5},
      {"", 0, "[none] timer netdev heartbeat\n", EINVAL, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ClassLed led{"a", 255, 5, c.trigger};
    EXPECT_EQ(store_trigger(led, c.text), c.error);
    EXPECT_EQ(trigger_listing(led), c.listing);
    EXPECT_EQ(led.brightness, c.brightness);
  }
}

TEST(ClassLed, ReportedValueTellsMaximumFromDim) {
  const std::tuple<std::uint32_t, std::uint32_t, const char*> cases[] = {
      {0, 255, "0"}, {255, 255, "1"}, {1, 255, "1/255"}, {254, 255, "254/255"}, {1, 1, "1"},
  };
  for (const auto& [brightness, max, reported] : cases) {
    EXPECT_EQ(reported_brightness({"a", max, brightness, 0}), reported) << brightness << "/" << max;
  }
}

TEST(ClassLed, Names) {
  for (const char* name : {"norvask:green:one", "a", "x.y", "...", "tpacpi::kbd_backlight-2"}) {
    EXPECT_TRUE(valid_class_led_name(name)) << name;
  }
  const std::string too_long(256, 'a');
  for (const std::string_view name : {"", ".", "..", "a/b", "../leds", "a b", "a\tb", "a\x7f",
                                      "a+b", "\xc3\xa9", too_long.c_str()}) {
    EXPECT_FALSE(valid_class_led_name(name)) << name;
  }
}

TEST(ClassLed, OutsideTextInEvents) {
  EXPECT_EQ(escaped_text("255\n"), "255\\x0a");
  EXPECT_EQ(escaped_text("a b\\\x1b[7m"), "a\\x20b\\x5c\\x1b[7m");
  EXPECT_EQ(escaped_text(std::string(70, 'x')), std::string(64, 'x') + "...");
}

std::string led_words(const std::vector<std::string>& words) {
  Supervisor s{};
  double wait = 0;
  std::string error;
  const std::string line;
  const Call c{s, words, line, wait, error};
  std::string name;
  long max = 0;
  bool gone = false;
  if (words[0] == "led-trigger") {
    std::string trigger;
    return read_led_trigger(c, name, trigger) == 0 ? name + " " + trigger : error;
  }
  if (read_led_class(c, name, max, gone) != 0) return error;
  return name + " " + (gone ? "gone" : std::to_string(max));
}

TEST(Words, LedLines) {
  const char* usage = "usage: led-class NAME [MAX|gone]";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"led-class", "a:b"}, "a:b -1"},
      {{"led-class", "a:b", "1"}, "a:b 1"},
      {{"led-class", "a:b", "4294967295"}, "a:b 4294967295"},
      {{"led-class", "a:b", "gone"}, "a:b gone"},
      {{"led-class", "a:b", "0"}, usage},
      {{"led-class", "a:b", "4294967296"}, usage},
      {{"led-class", "a/b"}, usage},
      {{"led-class", ".."}, usage},
      {{"led-class"}, usage},
      {{"led-class", "a:b", "1", "2"}, usage},
      {{"led-trigger", "a:b", "timer"}, "a:b timer"},
      {{"led-trigger", "a:b", "[timer]"}, "usage: led-trigger NAME TRIGGER"},
      {{"led-trigger", "a:b"}, "usage: led-trigger NAME TRIGGER"},
      {{"led-trigger", "../x", "timer"}, "usage: led-trigger NAME TRIGGER"},
  };
  for (const auto& [words, read] : cases) EXPECT_EQ(led_words(words), read) << words.size();
}

}  // namespace
