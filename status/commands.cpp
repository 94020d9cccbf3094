#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "exec/exec.h"
#include "status/status.h"

int commands_not_answered = 0;

namespace {

// How often a wait looks at the clock and for a stop when nothing else wakes it.
constexpr int slice_ms = 100;

std::int64_t now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

bool may_start() { return status_stop == 0 && commands_not_answered == 0; }

// Whether the child has ended, its wait status in `status`; -1 when it
// cannot be waited for.
bool ended(pid_t pid, int& status) {
  pid_t waited = 0;
  do {
    waited = waitpid(pid, &status, WNOHANG);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) status = -1;
  return waited != 0;
}

// Waits for the child until it ends, a stop signal arrives or the bound
// passes; then ends its process group and reaps it. A stop signal breaks the
// poll (our handlers do not restart), so a stop is seen at once; one that
// lands just before the poll is seen within a slice.
int wait_bounded(pid_t pid) {
  const auto pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  const std::int64_t deadline = now_ms() + std::int64_t{command_seconds} * 1000;
  int status = -1;
  bool done = false;
  while (!(done = ended(pid, status))) {
    const std::int64_t left = deadline - now_ms();
    if (status_stop || left <= 0) break;
    const int timeout = left < slice_ms ? static_cast<int>(left) : slice_ms;
    // Without pidfds (kernels before 5.3) the slices alone pace the wait.
    pollfd child{pidfd, POLLIN, 0};
    (void)poll(&child, pidfd >= 0 ? 1 : 0, pidfd >= 0 ? timeout : timeout / 10 + 1);
  }
  if (!done) {
    status = -1;
    if (!status_stop) ++commands_not_answered;
    (void)kill(-pid, SIGKILL);
    (void)kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (pidfd >= 0) close(pidfd);
  return status;
}

constexpr ChildControl bounded{may_start, wait_bounded};

}  // namespace

void bound_commands() { child_control = &bounded; }
