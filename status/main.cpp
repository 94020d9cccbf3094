// norvask-status: what each LED shows now, and why.
#include <fcntl.h>
#include <getopt.h>

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "settings/settings_internal.h"
#include "status/status.h"
#include "status/status_internal.h"

namespace {

constexpr int exit_could_not_read = 1;
constexpr int exit_usage = 2;

void usage(std::FILE* out) {
  put(out, "usage: norvask-status [--json] [--mode N | --modes] [--help]\n");
}

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
      "  --json     the same facts as one JSON object (keys in docs/status-json.md)\n"
      "  --mode N   what mode N (0 to 17) would show now, looked at as LED 1 alone\n"
      "  --modes    every mode, what it shows, when it is on and when it blinks\n"
      "  --help     this text\n"
      "\n"
      "Exit status: 0 when it could look, 1 when it could not read what it needed\n"
      "(it says what), 2 on a wrong option.");
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

// A mode's number for --mode: digits alone, 0 to 17.
bool parse_mode(const char* text, std::uint32_t& mode) {
  std::uint64_t value = 0;
  if (*text < '0' || *text > '9') return false;
  const char* end = scan_unsigned(text, UINT32_MAX, value);
  if (!end || *end != '\0' || value > last_mode) return false;
  mode = static_cast<std::uint32_t>(value);
  return true;
}

struct Options {
  bool json;
  bool preview;  // --mode N
  bool modes;    // --modes
  std::uint32_t mode;
};

// The options, or an exit status to end with (-1: none, go on).
int parse_options(int argc, char** argv, Options& chosen) {
  static const option options[] = {
      {"json", no_argument, nullptr, 'j'},
      {"mode", required_argument, nullptr, 'm'},
      {"modes", no_argument, nullptr, 'M'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  for (int c; (c = getopt_long(argc, argv, "jm:Mh", options, nullptr)) != -1;) {
    switch (c) {
      case 'j':
        chosen.json = true;
        break;
      case 'm':
        if (!parse_mode(optarg, chosen.mode)) {
          put(stderr, "norvask-status: --mode takes a whole number from 0 to %" PRIu32 "\n",
              last_mode);
          return exit_usage;
        }
        chosen.preview = true;
        break;
      case 'M':
        chosen.modes = true;
        break;
      case 'h':
        help();
        return 0;
      default:
        usage(stderr);
        return exit_usage;
    }
  }
  if (optind != argc || (chosen.preview && chosen.modes)) {
    usage(stderr);
    return exit_usage;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  fill_standard_descriptors();
  Options chosen{};
  if (const int status = parse_options(argc, argv, chosen); status >= 0) return status;
  const bool json = chosen.json;
  const bool preview = chosen.preview;
  if (chosen.modes) {
    LedSettings settings{};
    (void)read_settings(settings);
    (json ? render_modes_json : render_modes_plain)(stdout, settings);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : exit_could_not_read;
  }

  catch_stop_signals();
  status_setup();

  static StatusReport report{};
  const int looked = preview ? look_at_mode(report, chosen.mode) : look_at_everything(report);
  if (preview) {
    (json ? render_preview_json : render_preview_plain)(report, stdout);
  } else {
    (json ? render_json : render_plain)(report, stdout);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    put(stderr, "norvask-status: cannot write the report: %s\n", std::strerror(errno));
    return exit_could_not_read;
  }
  if (status_stop) {
    (void)std::signal(status_stop, SIG_DFL);
    (void)std::raise(status_stop);
  }
  if (looked != 0) {
    put(stderr, "norvask-status: ");
    plain_string(stderr, report.problem.data());
    put(stderr, "\n");
    return exit_could_not_read;
  }
  return 0;
}
