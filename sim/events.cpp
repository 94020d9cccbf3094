#include "sim/events.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

double monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

const double clock_origin = monotonic_seconds();

}  // namespace

double board_clock() { return monotonic_seconds() - clock_origin; }

void emit_at(double when, const std::string& text) {
  char stamp[32];
  (void)std::snprintf(stamp, sizeof stamp, "%.6f ", when);
  std::string line = stamp;
  for (const char c : text) line += c == '\n' ? ' ' : c;
  line += '\n';
  // One write per line, so that a reader never sees two events interleaved.
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(STDOUT_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void emit(const std::string& text) { emit_at(board_clock(), text); }
