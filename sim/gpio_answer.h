// What the board's GPIO driver answers, on both boards: the simulated
// board's seccomp filter, inside the router too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpio/requests.h"

inline constexpr int gpio_pin_count = 4;
// The pins the daemon reads, and each one's request, in the same order.
inline constexpr const char* gpio_pin_names[gpio_pin_count] = {"bin0", "bin1", "out0", "out1"};
inline constexpr std::uint32_t gpio_pin_requests[gpio_pin_count] = {bin0_request, bin1_request,
                                                                    out0_request, out1_request};

// The driver's lines as the board has them now.
struct GpioLines {
  bool failing;              // the driver refuses every request, as once unbound
  int pins[gpio_pin_count];  // 0 or 1; -1: the board lacks the pin
};

struct GpioAnswer {
  std::int64_t value;  // the ioctl's result when error is 0
  int error;           // an errno value, or 0
  int led;             // 1 or 2 when this was an LED write, else 0
  std::uint32_t led_value;
  int pin;  // index into gpio_pin_names of the pin read, or -1
};

// The driver's answer to `request` with argument `arg`.
[[nodiscard]] GpioAnswer answer_gpio(const GpioLines& lines, std::uint32_t request,
                                     std::uint64_t arg);

// The board's event for an answered call, without its time: "led 1 1" for a
// write done, else "ioctl gpio ..." ("ioctl gpio bin0 1", "ioctl gpio led 2 1
// error ENODEV", "ioctl gpio error EINVAL"). Its length, or -1 when it does
// not fit in `size`.
int describe_gpio(const GpioAnswer& answer, char* text, std::size_t size);
