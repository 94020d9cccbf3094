// The kernel's LED class as its sysfs files show it to a program: what a
// write to an LED's `brightness` or `trigger` does, and what `trigger`
// reads. The simulated board serves its LEDs by these rules
// (served_leds.cpp); kept to the C library, as the board's core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr const char* class_leds_dir = "/sys/class/leds";
// The triggers the board's kernel offers, "none" first as the kernel lists it.
inline constexpr const char* led_triggers[] = {"none", "timer", "netdev", "heartbeat"};
inline constexpr std::uint32_t default_max_brightness = 255;
// The files a trigger adds to its LED's folder while it is active, and what
// each holds when the trigger starts (some of what the kernel's add).
struct TriggerSetting {
  const char* trigger;
  const char* file;
  const char* text;
};
inline constexpr TriggerSetting trigger_settings[] = {
    {"timer", "delay_on", "500\n"},  {"timer", "delay_off", "500\n"},
    {"netdev", "device_name", "\n"}, {"netdev", "link", "0\n"},
    {"netdev", "rx", "0\n"},         {"netdev", "tx", "0\n"},
    {"netdev", "interval", "50\n"},  {"heartbeat", "invert", "0\n"},
};
// The LEDs a board has until told otherwise: the emulated router's two.
inline constexpr const char* default_class_leds[] = {"norvask:green:one", "norvask:red:two"};
// The most a write to an attribute may hold (a page), as sysfs takes it.
inline constexpr std::size_t led_write_max = 4096;

struct ClassLed {
  std::string name;
  std::uint32_t max_brightness;
  std::uint32_t brightness;
  std::size_t trigger;  // index into led_triggers; 0: none
};

// A name the board can give an LED (or a trigger): 1 to 255 bytes of
// letters, digits, ':', '_', '.' and '-', not "." or "..". (Longer than the
// daemon takes, so that its refusal can be tried on an LED that is there.)
[[nodiscard]] bool valid_class_led_name(std::string_view name);

// The trigger file's text: every trigger, the active one bracketed
// ("none [timer] netdev heartbeat\n"). Its length does not change with the
// active trigger, so a reader never sees a mix of two.
[[nodiscard]] std::string trigger_listing(const ClassLed& led);

// A write of `text` to the LED's brightness: an unsigned decimal with an
// optional '+' and one trailing newline, truncated to the driver's 32 bits,
// clamped to max_brightness; 0 also removes the trigger. 0, or the error
// the kernel answers (EINVAL, ERANGE), and then nothing changes.
[[nodiscard]] int store_brightness(ClassLed& led, std::string_view text);

// A write of `text` to the trigger file: a trigger's name, with or without
// one trailing newline. Leaving an active trigger turns the LED off. 0, or
// EINVAL for a name the kernel does not offer.
[[nodiscard]] int store_trigger(ClassLed& led, std::string_view text);

// The value of the board's `led N V` event for the LED's brightness: "0",
// "1" for max_brightness, anything between as "RAW/MAX" (never a GPIO
// value, so that a dim "1" on an LED of 255 is not taken for on).
[[nodiscard]] std::string reported_brightness(const ClassLed& led);

// At most `limit` bytes of outside text for an event: printable ASCII as
// is, anything else (blanks too) as \xHH, "..." when cut.
[[nodiscard]] std::string escaped_text(std::string_view text, std::size_t limit = 64);
