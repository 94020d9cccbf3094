#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

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

void on_stop_signal(int signal_number) { status_stop = signal_number; }

}  // namespace

// Every signal whose default action ends us is caught: it ends the look
// early, so that the private directory is removed, and is raised again at
// the end. No SA_RESTART: a signal cuts the second between the looks and the
// wait for a command short. The stop signals are caught even when ignored
// (a shell ignores INT and QUIT for what it starts in the background); the
// others, ignored, cannot end us and stay ignored. The command runner gives
// every child the default actions back.
void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaction(signal_number, &action, nullptr);
  }
  for (const int signal_number :
       {SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF}) {
    struct sigaction was {};
    if (sigaction(signal_number, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
    sigaction(signal_number, &action, nullptr);
  }
}

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
