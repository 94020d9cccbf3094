// Internals of the probes, for tests, fuzzers and benchmarks.
#pragma once

#include <cstdint>
#include <string_view>

#include "probes/probes.h"

// What the probes read and run; tests swap in a table of their own.
struct ProbePaths {
  const char* net_dev;  // interface counters
  const char* wifi_ap_capture;
  const char* wifi_ap2_capture;
  const char* openvpn_capture;
  const char* ipsec_capture;
  const char* portal_capture;
  const char* stroke;  // the tool whose presence selects each IPsec branch
  const char* swanctl;
  const char* stroke_command;
  const char* swanctl_command;
};

extern const ProbePaths default_probe_paths;
extern const ProbePaths* probe_paths;

struct NetCounters {
  std::uint64_t rx_bytes;
  std::uint64_t tx_bytes;
};

// One line of the counters file: 1 when it is `name`'s line and both counts
// were read, 0 when it is another interface's line (or a header), -1 when it
// is `name`'s line but too short.
int parse_net_dev_line(const char* line, std::string_view name, NetCounters& out);

// Reads `name`'s counters: 0, or -1 when the file or the line is missing or short.
int read_iface_counters(std::string_view name, NetCounters& out);
// 1 when `name`'s counters moved since its last good read, 0 when not or on
// its first good read, -1 when they cannot be read.
int iface_traffic(std::string_view name);
// Forgets every interface's snapshot (tests only).
void iface_forget_snapshots();

// The received-byte count at the start of ifconfig's grep output: 0 and the
// count, or -1 when the text does not begin with one.
int parse_rx_bytes(const char* text, std::uint64_t& bytes);
// The count of associations up on stroke's first matching line: 0 and the
// count, or -1 when the line does not hold one.
int parse_security_associations(const char* line, std::uint64_t& count);

int probe_ipsec_stroke();
