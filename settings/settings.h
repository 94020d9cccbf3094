// Reading the LED modes from the settings file.
#pragma once

#include <cstdint>

struct LedSettings {
  std::uint32_t mode1;  // MOD_NORVASK_MODE
  std::uint32_t mode2;  // MOD_NORVASK_MODE2
};

// Fills both modes; a file that cannot be opened, or is not a regular file,
// gives 0 for each. Returns 0, or why the file could not be read as an errno
// value (EISDIR for a directory, EINVAL for a FIFO, device or socket).
int read_settings(LedSettings& settings);

// scanf-style unsigned decimal: leading white space, an optional sign, digits.
// Returns the end of the digits, or null when no digit follows. A magnitude
// above `max` gives `max`; a negative value wraps modulo max + 1 (max must be
// 2^k - 1), as strtoul does.
[[nodiscard]] const char* scan_unsigned(const char* text, std::uint64_t max, std::uint64_t& out);
