// norvask-status: what each LED shows now, and why.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <syslog.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>

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

// No SA_RESTART: a stop cuts the second between the looks short. The command
// runner gives every child the default actions back.
void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaction(signal_number, &action, nullptr);
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
  catch_stop_signals();

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
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return exit_could_not_read;
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
