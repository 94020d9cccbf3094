#include "sim/gpio_answer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

GpioAnswer answer_gpio(const GpioLines& lines, std::uint32_t request, std::uint64_t arg) {
  GpioAnswer answer{0, 0, 0, 0, -1};
  if (request == led1_request || request == led2_request) {
    // The value travels in the argument itself, not behind a pointer; a
    // refused write is still told apart, so that it can be reported.
    answer.led = request == led1_request ? 1 : 2;
    answer.led_value = static_cast<std::uint32_t>(arg);
    if (lines.failing) answer.error = ENODEV;
    return answer;
  }
  for (int pin = 0; pin < gpio_pin_count; ++pin) {
    if (request != gpio_pin_requests[pin]) continue;
    if (lines.failing) {
      answer.error = ENODEV;
      answer.pin = pin;
    } else if (lines.pins[pin] < 0) {
      // The driver works, but has no line behind the request: it refuses the
      // argument, as it would any request for a line it lacks. ENODEV stays
      // the unbound driver's, so that the two can be told apart.
      answer.error = EINVAL;
    } else {
      answer.value = lines.pins[pin];
      answer.pin = pin;
    }
    return answer;
  }
  answer.error = ENOTTY;
  return answer;
}

int describe_gpio(const GpioAnswer& answer, char* text, std::size_t size) {
  const char* pin = answer.pin >= 0 ? gpio_pin_names[answer.pin] : nullptr;
  const char* error = strerrorname_np(answer.error);
  int n = 0;
  if (answer.led && !answer.error) {
    n = std::snprintf(text, size, "led %d %u", answer.led, answer.led_value);
  } else if (answer.led) {
    n = std::snprintf(text, size, "ioctl gpio led %d %u error %s", answer.led, answer.led_value,
                      error);
  } else if (pin && !answer.error) {
    n = std::snprintf(text, size, "ioctl gpio %s %lld", pin, static_cast<long long>(answer.value));
  } else if (pin) {
    n = std::snprintf(text, size, "ioctl gpio %s error %s", pin, error);
  } else {
    n = std::snprintf(text, size, "ioctl gpio error %s", error);
  }
  return n < 0 || static_cast<std::size_t>(n) >= size ? -1 : n;
}
