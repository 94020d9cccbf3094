#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "gpio/gpio_internal.h"

const char* gpio_device_path = "/dev/gpio";
int gpio_open_flags = O_RDWR;

namespace {

// Opened on first use and kept for the life of the process.
int gpio_fd = -1;
std::atomic<std::uint32_t> gpio_lock{0};

void sleep_125ms() {
  const timespec step{0, 125000000};
  nanosleep(&step, nullptr);  // a signal cuts it short; the sequence goes on
}

void blink(int (*set)(std::uint32_t)) {
  for (int i = 0; i < 4; ++i) {
    set(0);
    sleep_125ms();
    set(1);
    sleep_125ms();
  }
}

}  // namespace

int gpio_ioctl(std::uint32_t request, std::uint32_t value) {
  while (gpio_lock.exchange(1, std::memory_order_seq_cst) != 0) {
  }
  if (gpio_fd < 0) gpio_fd = open(gpio_device_path, gpio_open_flags);
  const int fd = gpio_fd;
  gpio_lock.store(0, std::memory_order_release);
  if (fd < 0) return -1;
  return ioctl(fd, static_cast<unsigned long>(request), static_cast<unsigned long>(value));
}

int gpio_descriptor() { return gpio_fd; }

void gpio_forget_device() {
  if (gpio_fd >= 0) close(gpio_fd);
  gpio_fd = -1;
}

int set_led1(std::uint32_t value) { return gpio_ioctl(led1_request, value); }
int set_led2(std::uint32_t value) { return gpio_ioctl(led2_request, value); }

void blink_led1() { blink(set_led1); }
void blink_led2() { blink(set_led2); }
