// The board's device calls answered from inside the daemon's process: a
// shared object preloaded into the daemon where the supervisor cannot see its
// system calls (under qemu-user, which answers the GPIO ioctls itself and runs
// on the host without the board's seccomp filter). It takes the daemon's
// ioctl and asks the board about the GPIO and serial requests; every other
// call, and every call on a descriptor that is not one of the board's
// devices, goes to the kernel. The daemon's binary stays as built.
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "sim/board.h"
#include "sim/shim_protocol.h"

namespace {

// How long to wait for the board before the kernel answers instead.
constexpr int answer_timeout_ms = 10000;

bool board_request(std::uint32_t request) {
  return std::ranges::any_of(board_requests,
                             [request](std::uint32_t known) { return known == request; });
}

long milliseconds_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Waits for the answer on `fd`; a signal that interrupts the wait does not
// end it, as it would not end the driver's call either. 0, or -1.
int receive_answer(int fd, ShimAnswer& answer) {
  const long deadline = milliseconds_now() + answer_timeout_ms;
  for (;;) {
    const long left = deadline - milliseconds_now();
    if (left <= 0) return -1;
    pollfd ready{fd, POLLIN, 0};
    const int n = poll(&ready, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n != 1) return -1;
    const ssize_t got = recv(fd, &answer, sizeof answer, 0);
    if (got < 0 && errno == EINTR) continue;
    return got == static_cast<ssize_t>(sizeof answer) ? 0 : -1;
  }
}

// The board's answer to one call, from a socket of our own for each call so
// that no answer meant for another call can arrive. 0, or -1 when there is
// no board to ask.
int ask_board(const ShimRequest& request, ShimAnswer& answer) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Bound to an abstract address the kernel picks, for the answer to reach.
  sockaddr_un self{};
  self.sun_family = AF_UNIX;
  sockaddr_un board{};
  board.sun_family = AF_UNIX;
  std::strncpy(board.sun_path, board_device_socket, sizeof board.sun_path - 1);
  int result = -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&self), sizeof(sa_family_t)) == 0 &&
      sendto(fd, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&board),
             sizeof board) == static_cast<ssize_t>(sizeof request)) {
    result = receive_answer(fd, answer);
  }
  close(fd);
  return result;
}

// The daemon's children are host programs under the emulator: without this
// their loader would try to preload us too, and complain.
__attribute__((constructor)) void keep_out_of_children() { unsetenv("LD_PRELOAD"); }

}  // namespace

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request,
                                                            ...) noexcept {
  va_list rest;
  va_start(rest, request);
  const unsigned long arg = va_arg(rest, unsigned long);
  va_end(rest);
  const auto code = static_cast<std::uint32_t>(request);
  if (board_request(code)) {
    const int saved_errno = errno;
    const ShimRequest question{fd, code, arg};
    ShimAnswer answer{};
    if (ask_board(question, answer) == 0 && answer.handled) {
      if (answer.error) {
        errno = answer.error;
        return -1;
      }
      if (answer.counters) {
        // The ioctl's argument is the caller's record, passed as an address.
        auto* counters =
            reinterpret_cast<serial_icounter_struct*>(arg);  // NOLINT(performance-no-int-to-ptr)
        *counters = serial_icounter_struct{};
        counters->rx = answer.rx;
        counters->tx = answer.tx;
      }
      errno = saved_errno;
      return static_cast<int>(answer.value);
    }
    errno = saved_errno;
  }
  return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}
