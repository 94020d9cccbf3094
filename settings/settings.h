// Reading the LED modes and devices from the settings file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Room for a kernel LED's name: 63 bytes and the end.
inline constexpr std::size_t led_name_size = 64;

// The value of a key that names an LED, as the file gives it.
struct LedName {
  bool given;          // a line sets the key (maybe to nothing)
  std::size_t length;  // the value's length, also when it did not fit
  std::array<char, led_name_size> text;  // the value, cut to 63 bytes
};

struct LedSettings {
  std::uint32_t mode1;  // MOD_NORVASK_MODE
  std::uint32_t mode2;  // MOD_NORVASK_MODE2
  LedName led1{};       // MOD_NORVASK_LED: not given, the board's GPIO LED
  LedName led2{};       // MOD_NORVASK_LED2
};

// Fills both modes and both LED names; a file that cannot be opened, or is
// not a regular file, gives 0 for each mode and no name. Returns 0, or why the file could not be read as an errno
// value (EISDIR for a directory, EINVAL for a FIFO, device or socket).
int read_settings(LedSettings& settings);

// scanf-style unsigned decimal: leading white space, an optional sign, digits.
// Returns the end of the digits, or null when no digit follows. A magnitude
// above `max` gives `max`; a negative value wraps modulo max + 1 (max must be
// 2^k - 1), as strtoul does.
[[nodiscard]] const char* scan_unsigned(const char* text, std::uint64_t max, std::uint64_t& out);
