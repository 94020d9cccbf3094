// Internals of the probes, for tests, fuzzers and benchmarks.
#pragma once

#include <array>
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
  // Where the output goes of the commands whose exit status alone decides;
  // null (the daemon): discarded.
  const char* wifi_client_capture;
  const char* swanctl_capture;
  const char* remote_capture;
};

extern const ProbePaths default_probe_paths;
extern const ProbePaths* probe_paths;

struct NetCounters {
  std::uint64_t rx_bytes;
  std::uint64_t tx_bytes;
};

// What the probes saw on their last run, for a tool that explains the LEDs.
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

struct ProbeEvidence {
  std::array<TrafficSeen, 3> traffic;  // in the order of the interfaces' snapshots
  std::array<TunnelSeen, 4> tunnels;   // tun0 to tun3
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
// Forgets every interface's snapshot (tests only).
void iface_forget_snapshots();

// The received-byte count at the start of ifconfig's grep output: 0 and the
// count, or -1 when the text does not begin with one.
int parse_rx_bytes(const char* text, std::uint64_t& bytes);
// The count of associations up on stroke's first matching line: 0 and the
// count, or -1 when the line does not hold one.
int parse_security_associations(const char* line, std::uint64_t& count);

int probe_ipsec_stroke();
