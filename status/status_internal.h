// Internals of norvask-status, for its tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "status/status.h"

// ---- the words both forms of the report use ----

[[nodiscard]] const char* pin_name(const ModeRow& row);
// "received", "sent" or "received or sent".
[[nodiscard]] const char* serial_words(const ModeRow& row);
// What the mode shows, in a few words; `text` holds them when they are made up.
[[nodiscard]] const char* shows(const ModeRow& row, std::uint32_t mode, std::array<char, 64>& text);
[[nodiscard]] const char* state_word(LedAction action);
[[nodiscard]] const char* support_word(PinSupport support);
// "moved", "still", "unreadable" or "not checked".
[[nodiscard]] const char* traffic_word(const TrafficSeen& seen);
// What the probes saw of `iface`'s traffic, or null when it was not looked at.
[[nodiscard]] const TrafficSeen* traffic_of(const LedReport& led, const char* iface);
[[nodiscard]] const char* tunnel_word(const TunnelSeen& tunnel);
[[nodiscard]] const char* ipsec_tool_word(IpsecTool tool);
[[nodiscard]] const char* daemon_word(DaemonState state);
// "gpio", "kernel" or "refused".
[[nodiscard]] const char* device_word(LedKind kind);
// Why the daemon refuses an LED's name, in words, or null when it does not.
const char* refusal_text(const DeviceSeen& seen, char* out, std::size_t size);
// Why a look gave no answer, or null when it did.
[[nodiscard]] const char* look_end_word(LookEnd end);

// ---- reading and writing text ----

struct ElfSymbol {
  const char* name;
  std::uint64_t value;  // its address as linked
  std::uint64_t size;
  bool found;
};

// Looks `symbols` up among the defined data objects of the dynamic symbol
// table of the ELF file open on `fd`, and gives the address as linked of the
// first loaded page. 0, or -1 when the file is not an ELF program of this
// machine or its tables cannot be read; symbols not there stay not found.
int elf_lookup(int fd, ElfSymbol* symbols, std::size_t count, std::uint64_t& first_page);

// Past `count` blank-separated fields of `text` (the blanks after the last
// one left), or null when it has fewer.
[[nodiscard]] const char* skip_fields(const char* text, int count);

// The start of the mapping of `path` from its file's start, in a
// /proc/PID/maps text: 0, or -1 when there is none.
int maps_load_start(std::FILE* maps, const char* path, std::uint64_t& start);

// printf into `out`, cut to `size`.
void format_text(char* out, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Output errors stay on the stream, which is checked once at the end.
void put(std::FILE* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The length of the valid UTF-8 sequence at `p`, or 0.
[[nodiscard]] std::size_t utf8_length(const unsigned char* p);

// The code point of the valid UTF-8 sequence of `length` bytes at `p`.
[[nodiscard]] std::uint32_t utf8_code_point(const unsigned char* p, std::size_t length);

// Characters that outside text may not put on a terminal or a web page as
// they are: C0 and C1 controls, DEL, and those that break a line or reorder
// it (line and paragraph separators, bidirectional controls).
[[nodiscard]] bool control_character(std::uint32_t code_point);

// `text` as a JSON string, quoted; bytes that are not UTF-8 become U+FFFD.
// Control characters, '<', '>' and '&' are escaped, so that the string may
// stand in a web page as it is.
void json_string(std::FILE* out, const char* text);

// Every outside text goes through this on its way to a terminal: backslash,
// double quote, control characters and bytes that are not UTF-8 are shown
// escaped (\\, \", \n, \r, \t, \x1b, \u0085, \xff), each other character
// as it is.
void plain_string(std::FILE* out, const char* text);

// Stations in a hostapd_cli all_sta listing: lines that are a MAC address.
[[nodiscard]] int count_stations(const char* listing);

// A PID/program column of netstat that was cut to 19 characters so that it
// ends inside `program`'s name: "12345/tessik_client" for "tessik_clientd".
// Looks at established connections in netstat's output; copies the first
// such column into `cut` and returns 1, or returns 0.
int find_cut_owner(const char* netstat, const char* program, char* cut, std::size_t cap);

// ---- the private capture directories ----

// A look holds a lock (flock) on its capture directory from its start to its
// end, and marks the directory with this file once it holds it: a marked
// directory whose lock is free is one whose look ended without removing it.
inline constexpr const char* capture_lock_marker = ".locked";
// An unmarked one is left alone for this long after its last change (its
// look may be about to lock it).
inline constexpr int unlocked_capture_seconds = 600;

// Removes our stale capture directories from `tmp_dir`: the ones named as
// the looks name them, owned by us, that no live look holds.
void remove_stale_captures(const char* tmp_dir);

// ---- whose process a service's netstat line names ----

// Reads the start of the file NAME below the open /proc/PID directory `proc`:
// the byte count, or -1 (ESRCH once the process has ended).
ssize_t read_proc_file(int proc, const char* name, char* text, std::size_t size);

// The PID/Program name column of a line of netstat -tnp (what follows the
// state), its padding left out: 0, or -1 when the line has none.
int netstat_owner_column(const char* line, std::string_view& column);

// Who runs the process that the owner column of netstat's `line` names. It
// is found only while that pid runs a program that netstat would show in
// the same column, so a pid that was taken again since is not believed.
void find_service_owner(const char* line, ServiceOwner& owner);

// The name the passwd file at `path` gives `uid` (its first line for the
// uid), copied into `name` when it fits: 1; 0 when it gives none that fits,
// -1 when it is not a regular file that can be read.
int user_name(const char* path, uid_t uid, char* name, std::size_t cap);
