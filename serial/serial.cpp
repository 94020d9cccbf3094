#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "serial/serial_internal.h"

extern "C" {
SerialStat uart1_stat{};
SerialStat uart2_stat{};
}

SerialFailure* serial_failure = nullptr;

namespace {

void report_failure(const char* call) {
  if (serial_failure) {
    *serial_failure = {call, errno};
  } else {
    std::perror(call);
  }
}

}  // namespace

int read_serial_counters(const char* path, std::int64_t& rx, std::int64_t& tx) {
  // O_NOCTTY: the daemon leads its own session, and a port that became its
  // controlling terminal could stop it with a hang-up or a ^C on the line.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    report_failure("open");
    return -1;
  }
  serial_icounter_struct counters{};
  if (ioctl(fd, TIOCGICOUNT, &counters) != 0) {
    report_failure("ioctl");
    close(fd);
    return -1;
  }
  close(fd);
  rx = counters.rx;
  tx = counters.tx;
  return 0;
}

int serial_compare(unsigned selection, std::int64_t rx, std::int64_t tx, SerialStat& snapshot) {
  if (!snapshot.valid) {
    snapshot = {1, rx, tx};
    return 0;
  }
  const bool moved = ((selection & serial_receive) && snapshot.rx != rx) ||
                     ((selection & serial_transmit) && snapshot.tx != tx);
  // Both counts are kept, so a count already reported is not reported again.
  snapshot.rx = rx;
  snapshot.tx = tx;
  return moved ? 1 : 0;
}

int serial_activity(const char* path, unsigned selection, SerialStat& snapshot) {
  std::int64_t rx = 0;
  std::int64_t tx = 0;
  if (read_serial_counters(path, rx, tx) != 0) return -1;
  return serial_compare(selection, rx, tx, snapshot);
}
