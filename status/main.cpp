// norvask-status: what each LED shows now, and why.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <syslog.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "settings/settings_internal.h"
#include "status/status.h"
#include "status/status_internal.h"

namespace {

constexpr int exit_could_not_read = 1;
constexpr int exit_usage = 2;

void usage(std::FILE* out) { put(out, "usage: norvask-status [--json] [--help]\n"); }

void help() {
  usage(stdout);
  std::puts(
      "\n"
      "Tells what each LED of norvaskd shows now and why: it reads the settings as the\n"
      "daemon does, looks at what each LED's mode watches with the daemon's own probes\n"
      "(twice, a second apart, for the modes that watch activity), and reads the\n"
      "running daemon's state. It never switches an LED and leaves the daemon's files\n"
      "alone.\n"
      "\n"
      "  --json   the same facts as one JSON object (keys in the README)\n"
      "  --help   this text\n"
      "\n"
      "Exit status: 0 when it could look, 1 when it could not read what it needed\n"
      "(it says what), 2 on a wrong option.");
}

void on_stop_signal(int signal_number) { status_stop = signal_number; }

// Every signal whose default action ends us is caught: it ends the look
// early, so that the private directory is removed, and is raised again at
// the end. No SA_RESTART: a signal cuts the second between the looks and the
// wait for a command short. The stop signals are caught even when ignored
// (a shell ignores INT and QUIT for what it starts in the background); the
// others, ignored, cannot end us and stay ignored. The command runner gives
// every child the default actions back.
void catch_signals() {
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

// Started with 0, 1 or 2 closed, the files we open would take their places:
// a capture on 1 would receive the report, a capture on 0 would be handed to
// no child. They are filled with /dev/null opened read-only, so that writing
// the report to a standard output that was closed still fails.
void fill_standard_descriptors() {
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lower ones are open by now: the lowest free descriptor is this one.
    const int opened = open("/dev/null", O_RDONLY);
    if (opened >= 0 && opened != fd) close(opened);
  }
}

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

int main(int argc, char** argv) {
  fill_standard_descriptors();
  static const option options[] = {
      {"json", no_argument, nullptr, 'j'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  bool json = false;
  for (int c; (c = getopt_long(argc, argv, "jh", options, nullptr)) != -1;) {
    switch (c) {
      case 'j':
        json = true;
        break;
      case 'h':
        help();
        return 0;
      default:
        usage(stderr);
        return exit_usage;
    }
  }
  if (optind != argc) {
    usage(stderr);
    return exit_usage;
  }

  // What the probes find goes into our report; their messages are the
  // daemon's to log, not ours.
  setlogmask(LOG_MASK(LOG_EMERG));
  // Pins are read, never written: the device is opened read-only.
  gpio_open_flags = O_RDONLY;
  catch_signals();
  bound_commands();

  static StatusReport report{};
  const int leds = look_at_leds(report);
  const int daemon = status_stop ? -1 : look_at_daemon(report);
  report.settings_newer =
      report.daemon.state == DaemonState::Running && settings_newer_than(report.daemon.started_ms);
  if (json) {
    render_json(report, stdout);
  } else {
    render_plain(report, stdout);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    put(stderr, "norvask-status: cannot write the report: %s\n", std::strerror(errno));
    return exit_could_not_read;
  }
  if (status_stop) {
    (void)std::signal(status_stop, SIG_DFL);
    (void)std::raise(status_stop);
  }
  if (leds != 0 || daemon != 0) {
    put(stderr, "norvask-status: ");
    plain_string(stderr, report.problem.data());
    put(stderr, "\n");
    return exit_could_not_read;
  }
  return 0;
}
