// Internals of the serial activity check: the counter read and the comparison.
#pragma once

#include "serial/serial.h"

// Why the last read of counters failed, noted where serial_failure points:
// the call ("open" or "ioctl") and its errno. When serial_failure is set the
// failure goes there instead of to standard error; the daemon never sets it.
struct SerialFailure {
  const char* call;
  int error;
};
extern SerialFailure* serial_failure;

// 0 with both counts filled, or -1 (reported through perror).
int read_serial_counters(const char* path, std::int64_t& rx, std::int64_t& tx);

// The decision on counts already read: updates `snapshot`, returns 1 or 0.
int serial_compare(unsigned selection, std::int64_t rx, std::int64_t tx, SerialStat& snapshot);
