// Internals of the GPIO access, for tests and tools.
#pragma once

#include <cstdint>

#include "gpio/gpio.h"

inline constexpr std::uint32_t led1_request = 0x40004203;
inline constexpr std::uint32_t led2_request = 0x40005200;

// The device and the board's I/O command; tests point them at their own.
extern const char* gpio_device_path;
extern const char* io_command_path;

// The ioctl's result, or -1 when the device cannot be opened (retried next call).
int gpio_ioctl(std::uint32_t request, std::uint32_t value);
// The device descriptor, -1 until opened; the reset forgets it (tests only).
[[nodiscard]] int gpio_descriptor();
void gpio_forget_device();

enum class PinSupport : std::uint32_t { Unknown = 0, Supported = 1, Unsupported = 2 };

struct PinEntry {
  const char* name;
  PinSupport support;
};

// -1 when the pin is unsupported or the check failed, else the command's exit code.
int probe_pin_support(PinEntry& entry);
[[nodiscard]] PinEntry& pin_entry(Pin pin);
void pins_forget_support();
