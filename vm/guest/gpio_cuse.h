// /dev/gpio as a character device in user space (CUSE): pin reads are
// answered from the board's state files, LED writes are reported.
#pragma once

#include <cstdint>

// What became of one request, for the caller to report.
struct GpioEvent {
  int led;  // 1 or 2 when an LED was written, else 0
  std::uint64_t value;
};

// Registers the device. The descriptor, or -1.
int gpio_open(const char* state_dir);

// Serves one request from the kernel. 0, or -1 when the device is gone.
int gpio_serve(int fd, GpioEvent& event);
