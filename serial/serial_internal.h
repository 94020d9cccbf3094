// Internals of the serial activity check, for tests.
#pragma once

#include "serial/serial.h"

// 0 with both counts filled, or -1 (reported through perror).
int read_serial_counters(const char* path, std::int64_t& rx, std::int64_t& tx);

// The decision on counts already read: updates `snapshot`, returns 1 or 0.
int serial_compare(unsigned selection, std::int64_t rx, std::int64_t tx, SerialStat& snapshot);
