#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>

#include "daemon/daemon.h"
#include "leds/leds.h"
#include "probes/probes.h"
#include "settings/settings.h"

namespace {

void on_stop_signal(int signal_number) { got_signal = signal_number; }

// Whoever started us may have closed 0, 1 or 2. A pipe or capture file
// numbered 0 to 2 would then be taken for a standard stream by the command
// runner, and a pin check could wait for ever on a pipe it never closes.
void fill_standard_descriptors() {
  for (;;) {
    const int fd = open("/dev/null", O_RDWR);
    if (fd < 0) return;
    if (fd > 2) {
      close(fd);
      return;
    }
  }
}

// An ignored SIGCHLD would make the kernel reap our children before we wait
// for them, and a blocked stop signal would make us unstoppable: both are
// inherited from whoever started us. A stop signal may also be pending
// already (a supervisor that blocks signals around its fork and exec), so the
// handlers must be in place before this unblocks it.
void reset_inherited_signals() {
  (void)std::signal(SIGCHLD, SIG_DFL);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGQUIT);
  sigaddset(&stops, SIGCHLD);
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

const char* syslog_identity(const char* argv0) {
  if (!argv0) return "norvaskd";
  const char* slash = std::strrchr(argv0, '/');
  const char* base = slash ? slash + 1 : argv0;
  return *base ? base : "norvaskd";
}

void sleep_one_second() {
  const timespec second{1, 0};
  nanosleep(&second, nullptr);  // a stop signal ends it early; not resumed
}

// Once, at start: the mode's LED then stays off, as its probe runs nothing.
void log_refusal(const WifiIfaces& ifaces, const char* key) {
  if (ifaces.fault == NameFault::None) return;
  char message[256];
  wifi_key_refusal(ifaces, key, message, sizeof message);
  syslog(LOG_WARNING, "%s", message);
}

int stop() {
  syslog(LOG_NOTICE, "stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  fill_standard_descriptors();
  setsid();
  (void)std::signal(SIGINT, on_stop_signal);
  (void)std::signal(SIGTERM, on_stop_signal);
  (void)std::signal(SIGQUIT, on_stop_signal);
  reset_inherited_signals();
  openlog(syslog_identity(argc > 0 ? argv[0] : nullptr), LOG_PID | LOG_NDELAY, LOG_DAEMON);
  syslog(LOG_NOTICE, "started");

  LedSettings settings{};
  read_settings(settings);
  leds_bind(settings);
  log_refusal(settings.wifi_ap, wifi_ap_key);
  log_refusal(settings.wifi_client, wifi_client_key);
  probe_wifi_setup(settings.wifi_ap, settings.wifi_client);
  if (settings.mode1 == 0 && settings.mode2 == 0) {
    led_act(led1_device, LedAction::Off, 0);
    led_act(led2_device, LedAction::Off, 0);
    leds_release();
    return stop();
  }
  while (!got_signal) {
    run_tick(settings);
    sleep_one_second();
  }
  leds_release();
  return stop();
}
