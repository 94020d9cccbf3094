// Receive and transmit activity on the serial ports.
#pragma once

#include <cstdint>

// The few data symbols the daemon exports by name, for norvask-status to
// read from the running daemon: these two snapshots and the loop's stop flag.
#define NORVASK_EXPORT __attribute__((visibility("default")))

// The counts seen at an LED's previous look at its port.
struct SerialStat {
  std::uint8_t valid;
  std::int64_t rx;
  std::int64_t tx;
};

extern "C" {
NORVASK_EXPORT extern SerialStat uart1_stat;  // LED 1's serial modes
NORVASK_EXPORT extern SerialStat uart2_stat;  // LED 2's serial modes
}

// Which counts a serial mode watches.
inline constexpr unsigned serial_transmit = 1;
inline constexpr unsigned serial_receive = 2;
inline constexpr unsigned serial_both = serial_receive | serial_transmit;

// 1 when the selected counts moved since `snapshot`, 0 when not (and on the
// first read), -1 when the port's counters cannot be read.
int serial_activity(const char* path, unsigned selection, SerialStat& snapshot);
