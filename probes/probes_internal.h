// Internals of the probes: where they look, what they saw, and their parsers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "probes/probes.h"

// What the probes read and run; probe_paths may point at another table.
struct ProbePaths {
  const char* net_dev;  // interface counters
  // One per access point, in order.
  std::array<const char*, wifi_ap_limit> wifi_ap_captures;
  const char* openvpn_capture;
  const char* ipsec_capture;
  const char* portal_capture;
  const char* stroke;  // the tool whose presence selects each IPsec branch
  const char* swanctl;
  const char* stroke_command;
  const char* swanctl_command;
  // Where the output goes of the commands whose exit status alone decides;
  // null (the daemon): discarded.
  const char* wifi_client_capture;
  const char* swanctl_capture;
  const char* remote_capture;
};

// Where a set of probe paths points.
struct ProbePlaces {
  // Put before the system's own files and tools (the counters file, the IPsec
  // tools): "" for the real ones. It goes into shell commands, so it may hold
  // only letters, digits and "/._-".
  const char* root;
  // Put before each capture file's name: a directory with its '/', or the
  // start of a name.
  const char* captures;
  // Whether the output of the commands whose exit status alone decides is
  // kept too; the daemon discards it.
  bool every_output;
};

// One entry a field of ProbePaths, in its order.
enum ProbeName : std::uint8_t {
  NetDevName,
  WifiApCaptureName,
  WifiAp2CaptureName,
  WifiAp3CaptureName,
  WifiAp4CaptureName,
  OpenVpnCaptureName,
  IpsecCaptureName,
  PortalCaptureName,
  StrokeName,
  SwanctlName,
  StrokeCommandName,
  SwanctlCommandName,
  WifiClientCaptureName,
  SwanctlCaptureName,
  RemoteCaptureName,
  probe_name_count
};

inline constexpr std::uint16_t no_probe_name = 0xffff;

// The names a ProbePaths points into, one after another in `text`.
template <std::size_t Size>
struct ProbeNames {
  std::array<char, Size> text;
  std::array<std::uint16_t, probe_name_count> at;  // where each starts, or no_probe_name
  // False when the names did not fit or the root holds a character it may
  // not: then every name is empty.
  bool fits;
};

constexpr bool probe_root_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
         c == '.' || c == '_' || c == '-';
}

// Appends `name`'s pieces, terminated, and notes where it starts.
template <std::size_t Size>
constexpr void add_probe_name(ProbeNames<Size>& names, std::size_t& used, ProbeName name,
                              const char* first, const char* second = "", const char* third = "") {
  static_assert(Size < no_probe_name);
  names.at[name] = static_cast<std::uint16_t>(used);
  for (const char* piece : {first, second, third}) {
    for (; *piece; ++piece) {
      if (used + 1 >= Size) {
        names.fits = false;
        return;
      }
      names.text[used++] = *piece;
    }
  }
  names.text[used++] = '\0';
}

// The probes' names under `places`.
template <std::size_t Size>
constexpr ProbeNames<Size> probe_names(const ProbePlaces& places) {
  constexpr const char* stroke = "/usr/libexec/ipsec/stroke";
  constexpr const char* swanctl = "/usr/libexec/ipsec/swanctl";
  ProbeNames<Size> names{};
  names.fits = true;
  names.at.fill(no_probe_name);
  for (const char* c = places.root; *c; ++c) names.fits = names.fits && probe_root_char(*c);
  std::size_t used = 0;
  add_probe_name(names, used, NetDevName, places.root, "/proc/net/dev");
  add_probe_name(names, used, WifiApCaptureName, places.captures, "wifi_ap.txt");
  add_probe_name(names, used, WifiAp2CaptureName, places.captures, "wifi_ap2.txt");
  add_probe_name(names, used, WifiAp3CaptureName, places.captures, "wifi_ap3.txt");
  add_probe_name(names, used, WifiAp4CaptureName, places.captures, "wifi_ap4.txt");
  add_probe_name(names, used, OpenVpnCaptureName, places.captures, "open_vpn.txt");
  add_probe_name(names, used, IpsecCaptureName, places.captures, "ipsec.txt");
  add_probe_name(names, used, PortalCaptureName, places.captures, "pelm_vpn.txt");
  add_probe_name(names, used, StrokeName, places.root, stroke);
  add_probe_name(names, used, SwanctlName, places.root, swanctl);
  add_probe_name(names, used, StrokeCommandName, places.root, stroke,
                 " statusall | grep -o \"^Security Associations ([0-9]* up\"");
  add_probe_name(names, used, SwanctlCommandName, places.root, swanctl,
                 " --list-sas | grep \"^ipsec\" | grep \"ESTABLISHED\"");
  if (places.every_output) {
    add_probe_name(names, used, WifiClientCaptureName, places.captures, "wifi_client.txt");
    add_probe_name(names, used, SwanctlCaptureName, places.captures, "swanctl.txt");
    add_probe_name(names, used, RemoteCaptureName, places.captures, "remote.txt");
  }
  if (!names.fits) {
    names.text.fill('\0');
    for (std::uint16_t& at : names.at) at = at == no_probe_name ? at : 0;
  }
  return names;
}

template <std::size_t Size>
constexpr const char* probe_name(const ProbeNames<Size>& names, ProbeName name) {
  return names.at[name] == no_probe_name ? nullptr : names.text.data() + names.at[name];
}

// A ProbePaths that points into `names`, which must outlive it.
template <std::size_t Size>
constexpr ProbePaths probe_paths_in(const ProbeNames<Size>& names) {
  return {
      .net_dev = probe_name(names, NetDevName),
      .wifi_ap_captures = {probe_name(names, WifiApCaptureName),
                           probe_name(names, WifiAp2CaptureName),
                           probe_name(names, WifiAp3CaptureName),
                           probe_name(names, WifiAp4CaptureName)},
      .openvpn_capture = probe_name(names, OpenVpnCaptureName),
      .ipsec_capture = probe_name(names, IpsecCaptureName),
      .portal_capture = probe_name(names, PortalCaptureName),
      .stroke = probe_name(names, StrokeName),
      .swanctl = probe_name(names, SwanctlName),
      .stroke_command = probe_name(names, StrokeCommandName),
      .swanctl_command = probe_name(names, SwanctlCommandName),
      .wifi_client_capture = probe_name(names, WifiClientCaptureName),
      .swanctl_capture = probe_name(names, SwanctlCaptureName),
      .remote_capture = probe_name(names, RemoteCaptureName),
  };
}

// The daemon's own.
inline constexpr ProbePlaces daemon_probe_places{
    .root = "", .captures = "/tmp/norvask_", .every_output = false};

extern const ProbePaths default_probe_paths;
extern const ProbePaths* probe_paths;

struct NetCounters {
  std::uint64_t rx_bytes;
  std::uint64_t tx_bytes;
};

// What the probes saw on their last run, noted where probe_evidence points.
// The daemon never sets probe_evidence: each note costs it one test of a
// null pointer.
struct TrafficSeen {
  std::string_view iface;  // empty: not looked at
  int answer;              // iface_traffic's
  NetCounters counters;
};

struct TunnelSeen {
  bool looked;
  int status;  // the pipeline's wait status: not 0 when no count was printed
  int read;    // 0 when rx_bytes was read back, -1 when the capture could not be
  std::uint64_t rx_bytes;
};

enum class IpsecTool : std::uint8_t { None, Stroke, Swanctl };

// The interfaces whose counters are watched: the access points, then the client.
inline constexpr std::size_t watched_iface_count = wifi_ap_limit + 1;
inline constexpr std::size_t client_watch = wifi_ap_limit;

struct ProbeEvidence {
  // In the order of the interfaces' snapshots.
  std::array<TrafficSeen, watched_iface_count> traffic;
  std::array<TunnelSeen, 4> tunnels;  // tun0 to tun3
  IpsecTool ipsec_tool;
  int ipsec_status;  // the pipeline's wait status
  int ipsec_read;    // stroke: 0 when `associations` was read, -1 when not
  std::uint64_t associations;
};

extern ProbeEvidence* probe_evidence;

// Runs `command` through the shell with its output in `capture`, or
// discarded when that is null; returns the wait status.
int run_probe_command(const char* capture, const char* command);

// One line of the counters file: 1 when it is `name`'s line and both counts
// were read, 0 when it is another interface's line (or a header), -1 when it
// is `name`'s line but too short.
int parse_net_dev_line(const char* line, std::string_view name, NetCounters& out);

// Reads `name`'s counters: 0, or -1 when the file or the line is missing or short.
int read_iface_counters(std::string_view name, NetCounters& out);
// 1 when `name`'s counters moved since its last good read, 0 when not or on
// its first good read, -1 when they cannot be read.
int iface_traffic(std::string_view name);
// Forgets every interface's snapshot: the next read of each is a first read.
void iface_forget_snapshots();
// The interfaces iface_traffic keeps a snapshot of, in the order of their
// evidence (an empty name: none there); each snapshot forgotten. One
// interface named twice has one snapshot. The names must outlive their use.
void iface_watch(const std::array<std::string_view, watched_iface_count>& names);

// What modes 11 and 12 run: the commands built from the interfaces' names.
inline constexpr std::size_t wifi_command_size = 128;
using WifiCommand = std::array<char, wifi_command_size>;

// Bytes the shell takes as themselves wherever they stand in a word.
constexpr bool shell_plain(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

// Appends `text` to `out` at `used`; false, and nothing appended, when it
// does not fit with the terminating NUL.
constexpr bool append_text(WifiCommand& out, std::size_t& used, std::string_view text) {
  if (used + text.size() >= out.size()) return false;
  for (const char c : text) out[used++] = c;
  out[used] = '\0';
  return true;
}

// Appends `word` as one shell word that the shell reads as exactly `word`:
// as it is when every byte is plain, else in single quotes, each single
// quote in it written '\''.
constexpr bool append_shell_word(WifiCommand& out, std::size_t& used, std::string_view word) {
  bool plain = !word.empty();
  for (const char c : word) plain = plain && shell_plain(c);
  if (plain) return append_text(out, used, word);
  bool fits = append_text(out, used, "'");
  for (const char& c : word) {
    fits = fits && append_text(out, used, c == '\'' ? "'\\''" : std::string_view(&c, 1));
  }
  return fits && append_text(out, used, "'");
}

// `before`, `word` as a shell word, then `after`; empty when it does not fit.
// Built twice at start: kept out of line, as the daemon counts its bytes.
[[gnu::noinline]] constexpr WifiCommand wifi_command(std::string_view before, std::string_view word,
                                                     std::string_view after) {
  WifiCommand command{};
  std::size_t used = 0;
  if (!append_text(command, used, before) || !append_shell_word(command, used, word) ||
      !append_text(command, used, after)) {
    command.fill('\0');
  }
  return command;
}

// The longest name, every byte a quote, still fits.
static_assert(wifi_command("wpa_cli -i ", "'''''''''''''''", " status | grep ^ssid=")[0] != '\0');

// The access points' rule, apart from what it runs: `has_stations(i)` looks
// at access point i's stations, `traffic(i)` reads its counters (1: they
// moved). Each access point is looked at, in order, and each with stations
// has its counters read, even once a blink is decided, so that its snapshot
// stays current. With two, the rule as it always was for wlan0 and wlan02.
template <typename Stations, typename Traffic>
LedAction access_point_rule(std::size_t count, Stations&& has_stations, Traffic&& traffic) {
  bool stations = false;
  bool moved = false;
  for (std::size_t i = 0; i < count; ++i) {
    if (!has_stations(i)) continue;
    stations = true;
    if (traffic(i) == 1) moved = true;
  }
  return moved ? LedAction::Blink : stations ? LedAction::On : LedAction::Off;
}

// The interfaces modes 11 and 12 watch and their commands, as
// probe_wifi_setup made them.
struct WifiWatch {
  WifiIfaces access_points;
  WifiIfaces client;
  std::array<WifiCommand, wifi_ap_limit> station_commands;  // hostapd_cli ... all_sta
  WifiCommand client_command;                               // wpa_cli ... | grep ^ssid=
};
[[nodiscard]] const WifiWatch& wifi_watch();

// The received-byte count at the start of ifconfig's grep output: 0 and the
// count, or -1 when the text does not begin with one.
int parse_rx_bytes(const char* text, std::uint64_t& bytes);
// The count of associations up on stroke's first matching line: 0 and the
// count, or -1 when the line does not hold one.
int parse_security_associations(const char* line, std::uint64_t& count);

int probe_ipsec_stroke();
