#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>

#include "gpio/gpio_internal.h"
#include "settings/settings_internal.h"
#include "status/status.h"

namespace {

// The daemon reads its settings once: a later change has not been applied.
// Its start is known to a clock tick, which a change just before it may share.
bool settings_newer_than(std::int64_t started_ms) {
  struct stat st {};
  const std::int64_t tick_ms = 1000 / std::max(sysconf(_SC_CLK_TCK), 1L);
  if (started_ms < 0 || stat(settings_path, &st) != 0) return false;
  return std::int64_t{st.st_mtim.tv_sec} * 1000 + st.st_mtim.tv_nsec / 1000000 >
         started_ms + tick_ms;
}

}  // namespace

void status_setup() {
  // What the probes find goes into our report; their messages are the
  // daemon's to log, not ours.
  setlogmask(LOG_MASK(LOG_EMERG));
  // Pins are read, never written: the device is opened read-only.
  gpio_open_flags = O_RDONLY;
  bound_commands();
}

int look_at_everything(StatusReport& report) {
  const int leds = look_at_leds(report);
  const int daemon = status_stop ? -1 : look_at_daemon(report);
  report.settings_newer =
      report.daemon.state == DaemonState::Running && settings_newer_than(report.daemon.started_ms);
  return leds != 0 || daemon != 0 ? -1 : 0;
}
