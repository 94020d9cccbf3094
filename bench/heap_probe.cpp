// Preloaded into the unmodified daemon: counts heap allocations and, at
// each one-second sleep (the end of a tick), appends the count so far and
// the process's own CPU time in nanoseconds to the file named by
// NORVASK_HEAP_LOG. It removes itself from the environment so that the
// daemon's children run without it.
#include <fcntl.h>
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "bench/alloc_interpose.h"

namespace {

std::atomic<std::uint64_t> allocations{0};
int log_fd = -1;

__attribute__((constructor)) void start() {
  if (const char* path = std::getenv("NORVASK_HEAP_LOG")) {
    log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  unsetenv("LD_PRELOAD");
  unsetenv("NORVASK_HEAP_LOG");
}

char* put_number(char* end, std::uint64_t value) {
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return end;
}

// "allocations cpu_ns\n", built backwards in a stack buffer: no allocation.
void log_tick() {
  timespec cpu{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  const std::uint64_t cpu_ns = static_cast<std::uint64_t>(cpu.tv_sec) * 1000000000U +
                               static_cast<std::uint64_t>(cpu.tv_nsec);
  char text[48];
  char* end = text + sizeof text;
  *--end = '\n';
  char* p = put_number(end, cpu_ns);
  *--p = ' ';
  p = put_number(p, allocations.load(std::memory_order_relaxed));
  if (log_fd >= 0) (void)!write(log_fd, p, static_cast<std::size_t>(text + sizeof text - p));
}

}  // namespace

NORVASK_INTERPOSE int nanosleep(const timespec* request, timespec* remaining) {
  if (request && request->tv_sec == 1 && request->tv_nsec == 0) log_tick();
  const int error = clock_nanosleep(CLOCK_REALTIME, 0, request, remaining);
  if (error == 0) return 0;
  errno = error;
  return -1;
}

void count_allocation() { allocations.fetch_add(1, std::memory_order_relaxed); }
