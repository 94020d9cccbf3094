#include "sim/class_leds.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>

namespace {

// The text the attribute's handler sees: the kernel ends the copied bytes
// with a NUL, so an embedded NUL ends it there.
std::string_view as_stored(std::string_view text) { return text.substr(0, text.find('\0')); }

// The kernel's sysfs_streq: equal, either one ending in a newline or not.
bool sysfs_equal(std::string_view written, std::string_view name) {
  if (!written.empty() && written.back() == '\n') written.remove_suffix(1);
  return written == name;
}

// Leaving an active trigger stops it and turns the LED off.
void remove_trigger(ClassLed& led) {
  if (led.trigger == 0) return;
  led.trigger = 0;
  led.brightness = 0;
}

}  // namespace

bool valid_class_led_name(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
           c == '_' || c == '.' || c == '-';
  });
}

std::string trigger_listing(const ClassLed& led) {
  std::string text;
  for (std::size_t i = 0; i < std::size(led_triggers); ++i) {
    if (i > 0) text += ' ';
    text += i == led.trigger ? std::string("[") + led_triggers[i] + "]" : led_triggers[i];
  }
  return text + "\n";
}

int store_brightness(ClassLed& led, std::string_view text) {
  std::string_view digits = as_stored(text);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  std::uint64_t value = 0;
  std::size_t used = 0;
  bool overflow = false;
  for (; used < digits.size() && digits[used] >= '0' && digits[used] <= '9'; ++used) {
    const auto digit = static_cast<std::uint64_t>(digits[used] - '0');
    overflow = overflow || value > (UINT64_MAX - digit) / 10;
    value = value * 10 + digit;
  }
  if (overflow) return ERANGE;
  if (used == 0) return EINVAL;
  digits.remove_prefix(used);
  if (!digits.empty() && digits.front() == '\n') digits.remove_prefix(1);
  if (!digits.empty()) return EINVAL;
  if (value == 0) remove_trigger(led);
  // The class hands the driver an unsigned int.
  const auto brightness = static_cast<std::uint32_t>(value);
  led.brightness = brightness < led.max_brightness ? brightness : led.max_brightness;
  return 0;
}

int store_trigger(ClassLed& led, std::string_view text) {
  const std::string_view name = as_stored(text);
  for (std::size_t i = 0; i < std::size(led_triggers); ++i) {
    if (!sysfs_equal(name, led_triggers[i])) continue;
    // Setting one, the same one too, first removes whatever is active.
    remove_trigger(led);
    led.trigger = i;
    return 0;
  }
  return EINVAL;
}

std::string reported_brightness(const ClassLed& led) {
  if (led.brightness == 0) return "0";
  if (led.brightness == led.max_brightness) return "1";
  return std::to_string(led.brightness) + "/" + std::to_string(led.max_brightness);
}

std::string escaped_text(std::string_view text, std::size_t limit) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte > ' ' && byte < 0x7f && byte != '\\') {
      out += text[i];
    } else {
      char hex[8];
      (void)std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}
