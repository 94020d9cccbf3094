// Internals of the GPIO access: the device, its opening and the pin checks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpio/gpio.h"
#include "gpio/requests.h"

// The device and the board's I/O command, by default the router's own.
extern const char* gpio_device_path;
extern const char* io_command_path;
// How the device is opened: read-write, for the LEDs; read-only is enough to
// read pins.
extern int gpio_open_flags;

// The ioctl's result, or -1 when the device cannot be opened (retried next call).
int gpio_ioctl(std::uint32_t request, std::uint32_t value);
// The device descriptor, -1 until opened; the reset closes and forgets it.
[[nodiscard]] int gpio_descriptor();
void gpio_forget_device();

enum class PinSupport : std::uint32_t { Unknown = 0, Supported = 1, Unsupported = 2 };

struct PinEntry {
  const char* name;
  PinSupport support;
};

// -1 when the pin is unsupported or the check failed, else the command's exit code.
int probe_pin_support(PinEntry& entry);
// The check's verdict on the I/O command's answer: `got` bytes (0 or 1) read
// into `first`, and its wait status. Marks the entry and returns as above.
int pin_support_answer(PinEntry& entry, std::size_t got, char first, int status);
[[nodiscard]] PinEntry& pin_entry(Pin pin);

// What the last read_pin got before a failure read as 0, noted where pin_seen
// points: the answer (-1 on failure) and the failure's errno. The daemon
// never sets pin_seen; an unsupported pin leaves it as it was.
struct PinSeen {
  int answer;
  int error;
};
extern PinSeen* pin_seen;
void pins_forget_support();
