#include "gpio_cuse.h"

#include <fcntl.h>
#include <linux/fuse.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "sim/gpio_answer.h"

namespace {

std::string state_dir;

// 1 when the answer was delivered, 0 when nobody waits for it any more, -1
// when the device is gone.
int reply(int fd, std::uint64_t unique, int error, const void* body, std::size_t size,
          const void* extra = nullptr, std::size_t extra_size = 0) {
  fuse_out_header header{};
  header.unique = unique;
  header.error = -error;
  iovec parts[3] = {{&header, sizeof header},
                    {const_cast<void*>(body), size},
                    {const_cast<void*>(extra), extra_size}};
  header.len = static_cast<std::uint32_t>(sizeof header + size + extra_size);
  if (writev(fd, parts, 3) == static_cast<ssize_t>(header.len)) return 1;
  // ENOENT: the caller was interrupted and has stopped waiting for us.
  return errno == ENOENT ? 0 : -1;
}

int reply_error(int fd, std::uint64_t unique, int error) {
  return reply(fd, unique, error, nullptr, 0);
}

// A pin's value from its state file; -1 when the board lacks the pin.
int read_pin(const char* name) {
  const std::string path = state_dir + "/pin." + name;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char first = 0;
  const ssize_t got = read(fd, &first, 1);
  close(fd);
  return got == 1 && first == '1' ? 1 : got == 1 && first == '0' ? 0 : -1;
}

// The driver's lines as the board's state files have them now.
GpioLines read_lines() {
  GpioLines lines{access((state_dir + "/gpio-fail").c_str(), F_OK) == 0, {}};
  for (int pin = 0; pin < gpio_pin_count; ++pin) lines.pins[pin] = read_pin(gpio_pin_names[pin]);
  return lines;
}

int serve_init(int fd, std::uint64_t unique) {
  cuse_init_out out{};
  out.major = FUSE_KERNEL_VERSION;
  out.minor = FUSE_KERNEL_MINOR_VERSION;
  out.max_read = 4096;
  out.max_write = 4096;
  static const char info[] = "DEVNAME=gpio";
  return reply(fd, unique, 0, &out, sizeof out, info, sizeof info);
}

int serve(int fd, GpioEvent& event) {
  alignas(8) static char buf[FUSE_MIN_READ_BUFFER + 4096];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n < 0) return errno == EINTR || errno == EAGAIN || errno == ENOENT ? 0 : -1;
  if (static_cast<std::size_t>(n) < sizeof(fuse_in_header)) return -1;
  fuse_in_header in{};
  std::memcpy(&in, buf, sizeof in);
  const char* body = buf + sizeof in;
  switch (in.opcode) {
    case CUSE_INIT:
      return serve_init(fd, in.unique);
    case FUSE_OPEN: {
      fuse_open_out out{};
      return reply(fd, in.unique, 0, &out, sizeof out);
    }
    case FUSE_RELEASE:
    case FUSE_FLUSH:
      return reply_error(fd, in.unique, 0);
    case FUSE_INTERRUPT:
      return 0;  // every request is answered at once anyway
    case FUSE_IOCTL: {
      fuse_ioctl_in request{};
      std::memcpy(&request, body, sizeof request);
      const GpioAnswer answer = answer_gpio(read_lines(), request.cmd, request.arg);
      fuse_ioctl_out out{};
      out.result = static_cast<std::int32_t>(answer.value);
      const int sent = answer.error ? reply_error(fd, in.unique, answer.error)
                                    : reply(fd, in.unique, 0, &out, sizeof out);
      // Only an answer the caller received is reported, as on the simulated board.
      if (sent == 1 && describe_gpio(answer, event.text, sizeof event.text) < 0) event.text[0] = 0;
      return sent < 0 ? -1 : 0;
    }
    default:
      return reply_error(fd, in.unique, ENOSYS);
  }
}

}  // namespace

int gpio_open(const char* dir) {
  state_dir = dir;
  return open("/dev/cuse", O_RDWR | O_CLOEXEC);
}

int gpio_serve(int fd, GpioEvent& event) {
  event = {};
  return serve(fd, event) < 0 ? -1 : 0;
}
