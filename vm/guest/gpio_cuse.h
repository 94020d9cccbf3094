// /dev/gpio as a character device in user space (CUSE): each request is
// answered as on the simulated board (sim/gpio_answer.h), from the board's
// state files, and reported.
#pragma once

// What became of one request, for the caller to report.
struct GpioEvent {
  char text[64];  // the board's event for the call, without its time; empty: none
};

// Registers the device. The descriptor, or -1.
int gpio_open(const char* state_dir);

// Serves one request from the kernel. 0, or -1 when the device is gone.
int gpio_serve(int fd, GpioEvent& event);
