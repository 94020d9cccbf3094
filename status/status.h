// norvask-status: what each LED shows now and why, looked at with the
// daemon's own probes, and what the running daemon holds.
#pragma once

#include <sys/types.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdio>

#include "daemon/daemon_internal.h"
#include "gpio/gpio_internal.h"
#include "leds/leds_internal.h"
#include "probes/probes_internal.h"
#include "serial/serial_internal.h"
#include "settings/settings.h"

inline constexpr std::size_t status_text_size = 256;

// One access point's station listing.
struct StationsSeen {
  std::int64_t listing_bytes;  // what hostapd_cli printed; more than 1: stations
  int stations;                // lines that hold a station's address
  bool cut;                    // longer than what was read: at least `stations`
};

// Why an LED's look gave no answer to believe.
enum class LookEnd : std::uint8_t {
  Complete,
  Interrupted,  // a stop signal came before it ended
  NoCapture,    // a capture file could not be made
  NoRoom,       // the captures' file system was full after its commands
};

// What the kernel shows of an LED's device, looked at without writing it.
struct DeviceSeen {
  bool looked;  // false in a preview, which is on neither LED
  LedKind kind;
  LedRefusal refusal;
  int error;                                   // why a missing LED's brightness cannot be opened
  std::int64_t brightness;                     // read back; -1 when it cannot be
  std::int64_t max_brightness;                 // -1 when it cannot be read
  std::array<char, led_trigger_size> trigger;  // the active one; empty: cannot be read
};

// Whose process netstat named as the owner of a service's socket: a program
// of anyone's may take the service's name.
struct ServiceOwner {
  bool seen;                  // netstat's line was looked at
  pid_t pid;                  // the pid it names; 0: none (netstat shows "-")
  bool found;                 // that pid still runs a program of the name netstat showed
  uid_t uid;                  // its effective user, when found
  std::array<char, 64> user;  // that user's name in the passwd file; empty: none
};

// What one LED's mode showed at our look.
struct LedReport {
  DeviceSeen device;
  std::uint32_t mode;
  ModeRow row;
  bool looked;        // false for the modes that look at nothing
  ModeAnswer answer;  // the probe's
  LedStep step;
  PinSupport pin_support;
  PinSeen pin;
  SerialStat serial_counts;  // our own snapshot, at the second look
  SerialFailure serial_failure;
  WifiIfaces wifi;                                   // what a Wi-Fi mode watches, from the settings
  std::array<StationsSeen, wifi_ap_limit> stations;  // each access point's, in order
  ProbeEvidence probes;
  LookEnd end;
  int ipsec_listed;                             // swanctl's established lines
  bool ipsec_cut;                               // swanctl's listing was longer than read
  std::array<char, status_text_size> text;      // the ssid, or netstat's line
  std::array<char, status_text_size> cut_name;  // netstat's cut PID/program, if any
  bool not_answered;                            // a command ran past command_seconds and was ended
  ServiceOwner owner;                           // modes 15 and 16, when netstat's line was seen
};

enum class DaemonState : std::uint8_t { Unknown, Running, NotRunning, OtherProgram };

struct DaemonReport {
  DaemonState state;
  pid_t pid;                                   // from the pid file, 0 without
  std::array<char, status_text_size> reason;   // why not running, or what is unknown
  std::array<char, status_text_size> program;  // what the pid is when not the daemon
  bool replaced;                               // its file was replaced since it started
  std::int64_t started_ms;                     // since the epoch, -1 unknown
  bool exports_read;
  std::int32_t got_signal;
  std::array<SerialStat, 2> uart;  // uart1_stat, uart2_stat
};

struct StatusReport {
  LedSettings settings;
  int settings_error;   // why the settings file was not read (an errno), 0 when read
  bool settings_newer;  // changed after the daemon started
  std::array<LedReport, 2> leds;
  DaemonReport daemon;
  std::array<char, status_text_size> problem;  // what could not be read; empty: none
};

// Where the tool looks; tests point them elsewhere.
extern const char* status_tmp_dir;   // the private capture directory goes below
extern const char* daemon_pid_file;  // the start script's
extern const char* daemon_exe_path;  // where the daemon is installed
extern uid_t daemon_uid;             // who runs it: root
extern const char* passwd_path;      // the users' names

// A stop signal's number, set by main's handler: the looks end early.
extern volatile std::sig_atomic_t status_stop;

// How long a probe's command may run before it is ended and the probe
// counted as not answered: the tool must not hang on a command that hangs.
inline constexpr int command_seconds = 5;
// Commands ended for running too long since it was last set to 0; while it
// is not 0, and after a stop signal, no command is started.
extern int commands_not_answered;
// Makes the command runner bound each command and end it on a stop signal.
void bound_commands();

// Reads the settings and looks at both LEDs as one tick of the daemon would,
// twice one second apart when a mode watches activity. Its captures go to a
// private directory, removed afterwards. 0, or -1 with report.problem set.
int look_at_leds(StatusReport& report);

// Looks at the device each LED's name in `settings` gives, as the daemon
// would bind it at its start.
void look_at_devices(StatusReport& report);

// Looks at the given modes as LED 1 and LED 2, the settings left as they are.
int look_at_modes(StatusReport& report, const std::array<std::uint32_t, 2>& modes);

// What `mode` would show now, looked at as LED 1 alone (leds[0]); LED 2 is
// left on mode 0. 0, or -1 with report.problem set.
int look_at_mode(StatusReport& report, std::uint32_t mode);

// Finds the running daemon and reads its exports. 0 when it could tell
// (not running included), -1 with report.problem set.
int look_at_daemon(StatusReport& report);

// Readies this process to look as the tool does: pins read-only, the probes'
// messages not logged, each command bounded in time.
void status_setup();

// Every signal that would end us sets status_stop instead, so that the
// looks end early and the private directory is removed.
void catch_stop_signals();

// The whole report: the settings and both LEDs, then the daemon. 0, or -1
// with report.problem set (the report is still complete as far as it goes).
int look_at_everything(StatusReport& report);

void render_plain(const StatusReport& report, std::FILE* out);
void render_json(const StatusReport& report, std::FILE* out);

// One LED's look (leds[0] after look_at_mode): {"preview":{...}}, the
// object shaped as an entry of the report's "leds" with "led" null.
void render_preview_plain(const StatusReport& report, std::FILE* out);
void render_preview_json(const StatusReport& report, std::FILE* out);

// The modes an LED can take, 0 to last_mode, in words; the Wi-Fi modes
// name the interfaces the settings give them.
inline constexpr std::uint32_t last_mode = 17;
struct ModeWords {
  const char* on;      // when the LED is lit, or null: never
  const char* blinks;  // when it blinks, or null: never
};
using ModeText = std::array<char, 256>;
// `text` holds the words that are made up from the settings.
[[nodiscard]] ModeWords mode_words(std::uint32_t mode, const LedSettings& settings, ModeText& text);
void render_modes_plain(std::FILE* out, const LedSettings& settings);
void render_modes_json(std::FILE* out, const LedSettings& settings);

// Adds a text to the report's problems.
void add_problem(StatusReport& report, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
