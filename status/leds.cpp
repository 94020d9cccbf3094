#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "exec/exec.h"
#include "settings/settings_internal.h"
#include "status/status.h"
#include "status/status_internal.h"

const char* status_tmp_dir = "/tmp";
volatile std::sig_atomic_t status_stop = 0;

namespace {

enum Capture : std::uint8_t {
  WifiAp,  // then the other access points' in order
  WifiAp4 = WifiAp + wifi_ap_limit - 1,
  OpenVpn,
  Ipsec,
  Portal,
  WifiClient,
  Swanctl,
  Remote,
  Netstat,
  capture_count
};

// Our captures, in a directory of our own: the daemon's files under /tmp
// are never written or read.
struct PrivateCaptures {
  char dir[200];
  int dir_fd;  // holds the directory's lock while it is used
  ProbeNames<4096> probe_names;
  ProbePaths probe_paths;
  char netstat[256];
  const char* paths[capture_count];
};

PrivateCaptures captures;

// Locks the new directory for as long as it is used and marks it so: a
// later look that finds it marked and its lock free knows it is stale. A
// file system with no room for the mark has none for a capture either,
// which the look then reports.
int lock_private_captures() {
  captures.dir_fd = open(captures.dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (captures.dir_fd < 0) return -1;
  while (flock(captures.dir_fd, LOCK_EX) != 0) {
    if (errno != EINTR || status_stop) return -1;
  }
  const int marker = openat(captures.dir_fd, capture_lock_marker,
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (marker >= 0) close(marker);
  return 0;
}

void remove_private_captures();

int make_private_captures() {
  // What looks killed before their end left, before we add ours.
  remove_stale_captures(status_tmp_dir);
  captures.dir_fd = -1;
  const int n =
      std::snprintf(captures.dir, sizeof captures.dir, "%s/norvask-status.XXXXXX", status_tmp_dir);
  // mkdtemp makes a new directory, mode 0700, or fails: nothing there is followed.
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof captures.dir || !mkdtemp(captures.dir)) {
    return -1;
  }
  if (lock_private_captures() != 0) {
    const int error = errno;
    remove_private_captures();
    errno = error;
    return -1;
  }
  // The system's own files and tools, with every capture in our directory.
  char prefix[sizeof captures.dir + 1];
  format_text(prefix, sizeof prefix, "%s/", captures.dir);
  captures.probe_names = probe_names<sizeof captures.probe_names.text>(
      {.root = "", .captures = prefix, .every_output = true});
  if (!captures.probe_names.fits) {
    remove_private_captures();
    return -1;
  }
  const ProbePaths& paths = captures.probe_paths = probe_paths_in(captures.probe_names);
  format_text(captures.netstat, sizeof captures.netstat, "%s/netstat.txt", captures.dir);
  for (std::size_t i = 0; i < wifi_ap_limit; ++i)
    captures.paths[WifiAp + i] = paths.wifi_ap_captures[i];
  captures.paths[OpenVpn] = paths.openvpn_capture;
  captures.paths[Ipsec] = paths.ipsec_capture;
  captures.paths[Portal] = paths.portal_capture;
  captures.paths[WifiClient] = paths.wifi_client_capture;
  captures.paths[Swanctl] = paths.swanctl_capture;
  captures.paths[Remote] = paths.remote_capture;
  captures.paths[Netstat] = captures.netstat;
  return 0;
}

// Removes the directory with what is in it, then lets its lock go.
void remove_private_captures() {
  const int fd = open(captures.dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir && fd >= 0) close(fd);
  while (const dirent* entry = dir ? readdir(dir) : nullptr) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      unlinkat(dirfd(dir), entry->d_name, 0);
    }
  }
  if (dir) closedir(dir);
  rmdir(captures.dir);
  if (captures.dir_fd >= 0) close(captures.dir_fd);
  captures.dir_fd = -1;
}

// The first line of one of our captures.
void first_line(Capture capture, std::array<char, status_text_size>& out) {
  out[0] = '\0';
  if (read_capture(captures.paths[capture], out.data(), out.size()) <= 0) out[0] = '\0';
  out[std::strcspn(out.data(), "\n")] = '\0';
}

// netstat's line with its column padding made single blanks, and whose
// process it names when it lit the LED.
void netstat_line(Capture capture, LedReport& led) {
  std::array<char, status_text_size>& out = led.text;
  first_line(capture, out);
  if (out[0] && led.answer.state == TriState::Yes) find_service_owner(out.data(), led.owner);
  std::size_t kept = 0;
  for (std::size_t i = 0; out[i]; ++i) {
    const bool blank = out[i] == ' ' || out[i] == '\t';
    if (blank && (kept == 0 || out[kept - 1] == ' ')) continue;
    out[kept++] = blank ? ' ' : out[i];
  }
  if (kept > 0 && out[kept - 1] == ' ') --kept;
  out[kept] = '\0';
}

// A listing large enough for about a hundred stations; what is longer is
// counted as far as it was read, and said to be cut.
std::array<char, 32768> listing;

// Reads a capture into `listing`: whether it was cut short, or -1 when it
// cannot be read.
int read_listing(Capture capture) {
  const int got = read_capture(captures.paths[capture], listing.data(), listing.size());
  if (got < 0) return -1;
  return file_size(captures.paths[capture]) > got ? 1 : 0;
}

StationsSeen stations_in(Capture capture) {
  const int cut = read_listing(capture);
  return {file_size(captures.paths[capture]), cut >= 0 ? count_stations(listing.data()) : 0,
          cut == 1};
}

// What the probe's own captures say beyond its answer.
void read_captures(LedReport& led) {
  switch (led.row.source) {
    case Source::WifiAp:
      for (std::size_t i = 0; i < led.wifi.count; ++i) {
        led.stations[i] = stations_in(static_cast<Capture>(WifiAp + i));
      }
      break;
    case Source::WifiClient:
      first_line(WifiClient, led.text);
      if (std::strncmp(led.text.data(), "ssid=", 5) == 0) {
        std::memmove(led.text.data(), led.text.data() + 5, std::strlen(led.text.data() + 5) + 1);
      }
      break;
    case Source::Ipsec:
      if (const int cut = read_listing(Swanctl); cut >= 0) {
        for (const char* p = listing.data(); (p = std::strchr(p, '\n')); ++p) ++led.ipsec_listed;
        led.ipsec_cut = cut == 1;
      }
      break;
    case Source::RemoteManagement:
      netstat_line(Remote, led);
      // netstat cuts PID/program to 19 characters: say when that hid the client.
      if (led.answer.state != TriState::Yes &&
          capture_command(captures.paths[Netstat], "netstat -pnat") == 0 &&
          read_capture(captures.paths[Netstat], listing.data(), listing.size()) > 0) {
        find_cut_owner(listing.data(), "tessik_clientd", led.cut_name.data(), led.cut_name.size());
      }
      break;
    case Source::VpnPortal:
      netstat_line(Portal, led);
      break;
    default:
      break;
  }
}

bool watches_activity(Source source) {
  return source == Source::Serial || source == Source::WifiAp || source == Source::WifiClient;
}

bool reads_pin(Source source) { return source == Source::PinLow || source == Source::PinValue; }

// One evaluation, as a tick makes it, with what the probes saw noted.
void ask(LedReport& led, SerialStat& uart) {
  led.probes = ProbeEvidence{};
  led.pin = {0, 0};
  led.serial_failure = {nullptr, 0};
  probe_evidence = &led.probes;
  pin_seen = &led.pin;
  serial_failure = &led.serial_failure;
  commands_not_answered = 0;
  led.answer = mode_answer(led.row, uart);
  probe_evidence = nullptr;
  pin_seen = nullptr;
  serial_failure = nullptr;
  led.step = decide(led.mode, led.answer);
  // What the probe made of a command it never heard from is no answer.
  led.not_answered = commands_not_answered != 0;
  if (led.not_answered) led.step = {LedAction::Keep, 0, nullptr};
  led.serial_counts = uart;
  if (reads_pin(led.row.source)) led.pin_support = pin_entry(led.row.pin).support;
}

bool writes_captures(const LedReport& led) {
  switch (led.row.source) {
    case Source::WifiAp:
    case Source::WifiClient:
      return led.wifi.count > 0;  // a refused key runs nothing
    case Source::OpenVpn:
    case Source::RemoteManagement:
    case Source::VpnPortal:
      return true;
    case Source::Ipsec:
      return led.probes.ipsec_tool != IpsecTool::None;
    default:
      return false;
  }
}

// A command's write that failed is seen nowhere but in its capture, which is
// then short or empty: a file system with no room left after it is taken to
// have cut it. One that shows no size at all has no limit.
bool room_left() {
  struct statvfs st {};
  if (statvfs(captures.dir, &st) != 0 || st.f_blocks == 0) return true;
  return (geteuid() == 0 ? st.f_bfree : st.f_bavail) > 0;
}

// Whether the ask just made may be believed as far as its captures go: the
// last one was made, and nothing was cut for want of room.
void check_captures(LedReport& led) {
  if (led.end != LookEnd::Complete || !writes_captures(led)) return;
  if (!capture_written()) {
    led.end = LookEnd::NoCapture;
  } else if (!room_left()) {
    led.end = LookEnd::NoRoom;
  }
}

void sleep_one_second() {
  timespec left{1, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR && !status_stop) {
  }
}

void look(StatusReport& report) {
  std::array<SerialStat, 2> uart{};
  // The first look gives what a daemon already has from its earlier ticks:
  // counters to compare with, and each pin's support check.
  bool activity = false;
  for (std::size_t i = 0; i < report.leds.size() && !status_stop; ++i) {
    LedReport& led = report.leds[i];
    if (watches_activity(led.row.source) || reads_pin(led.row.source)) {
      ask(led, uart[i]);
      check_captures(led);
    }
    activity = activity || watches_activity(led.row.source);
  }
  if (activity && !status_stop) sleep_one_second();
  for (std::size_t i = 0; i < report.leds.size(); ++i) {
    LedReport& led = report.leds[i];
    if (!led.looked) continue;
    // A look that a stop signal came before or during has no answer: the
    // signal may have ended its commands too (Ctrl-C reaches the whole
    // process group), and what it saw may be the first look alone.
    if (!status_stop) {
      ask(led, uart[i]);
      check_captures(led);
      read_captures(led);
    }
    if (status_stop) led.end = LookEnd::Interrupted;
  }
}

}  // namespace

int look_at_leds(StatusReport& report) {
  // The reader's own verdict: a FIFO or a directory there is an error too.
  report.settings_error = read_settings(report.settings);
  const int looked = look_at_modes(report, {report.settings.mode1, report.settings.mode2});
  look_at_devices(report);
  return looked;
}

int look_at_mode(StatusReport& report, std::uint32_t mode) {
  // The Wi-Fi interfaces too come from the settings.
  report.settings_error = read_settings(report.settings);
  // LED 2 on mode 0 looks at nothing: LED 1 is looked at alone.
  return look_at_modes(report, {mode, 0});
}

int look_at_modes(StatusReport& report, const std::array<std::uint32_t, 2>& modes) {
  for (std::size_t i = 0; i < report.leds.size(); ++i) {
    LedReport& led = report.leds[i];
    led = {};
    led.mode = modes[i];
    led.row = mode_row(led.mode);
    led.looked = led.row.source != Source::Nothing && led.row.source != Source::Always;
    led.step = decide(led.mode, ModeAnswer{});
    if (led.row.source == Source::WifiAp) led.wifi = report.settings.wifi_ap;
    if (led.row.source == Source::WifiClient) led.wifi = report.settings.wifi_client;
  }
  if (!report.leds[0].looked && !report.leds[1].looked) return 0;
  probe_wifi_setup(report.settings.wifi_ap, report.settings.wifi_client);
  if (make_private_captures() != 0) {
    add_problem(report, "cannot make a private directory in %s: %s", status_tmp_dir,
                std::strerror(errno));
    for (LedReport& led : report.leds) led.end = led.looked ? LookEnd::NoCapture : led.end;
    return -1;
  }
  const ProbePaths* saved = probe_paths;
  probe_paths = &captures.probe_paths;
  look(report);
  probe_paths = saved;
  remove_private_captures();
  if (status_stop) add_problem(report, "%s", "interrupted before every LED was looked at");
  for (std::size_t i = 0; i < report.leds.size(); ++i) {
    const LookEnd end = report.leds[i].end;
    if (end == LookEnd::NoCapture) {
      add_problem(report, "LED %zu could not write its capture: %s refused a new file", i + 1,
                  status_tmp_dir);
    } else if (end == LookEnd::NoRoom) {
      add_problem(report, "LED %zu could not write its capture: %s is full", i + 1, status_tmp_dir);
    }
  }
  return report.problem[0] ? -1 : 0;
}

void add_problem(StatusReport& report, const char* format, ...) {
  const std::size_t used = std::strlen(report.problem.data());
  if (used > 0) format_text(report.problem.data() + used, report.problem.size() - used, "; ");
  const std::size_t now = std::strlen(report.problem.data());
  va_list arguments;
  va_start(arguments, format);
  (void)std::vsnprintf(report.problem.data() + now, report.problem.size() - now, format, arguments);
  va_end(arguments);
}
