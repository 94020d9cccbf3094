#include <array>
#include <cstdio>
#include <cstring>

#include "probes/probes_internal.h"
#include "settings/settings.h"

namespace {

// One snapshot per interface, shared by both LEDs: comparing one radio's
// counters with another's would report traffic that never flowed.
struct IfaceSnapshot {
  std::string_view name;
  NetCounters counters;
  bool valid;
};

std::array<IfaceSnapshot, watched_iface_count> snapshots{{
    {"wlan0", {}, false},
    {"wlan02", {}, false},
    {"", {}, false},
    {"", {}, false},
    {"wlan1", {}, false},
}};

IfaceSnapshot* snapshot_of(std::string_view name) {
  if (name.empty()) return nullptr;
  for (IfaceSnapshot& snapshot : snapshots) {
    if (snapshot.name == name) return &snapshot;
  }
  return nullptr;
}

static_assert(sizeof snapshots / sizeof snapshots[0] ==
              sizeof ProbeEvidence::traffic / sizeof ProbeEvidence::traffic[0]);

void note_traffic(const IfaceSnapshot& snapshot, int answer) {
  if (!probe_evidence) return;
  const auto index = static_cast<std::size_t>(&snapshot - snapshots.data());
  probe_evidence->traffic[index] = {snapshot.name, answer, snapshot.counters};
}

}  // namespace

int parse_net_dev_line(const char* line, std::string_view name, NetCounters& out) {
  const char* colon = std::strchr(line, ':');
  if (!colon) return 0;
  const char* start = line;
  while (*start == ' ' || *start == '\t') ++start;
  if (std::string_view(start, static_cast<std::size_t>(colon - start)) != name) return 0;
  // Received bytes come first and transmitted bytes ninth.
  std::array<std::uint64_t, 9> fields{};
  const char* p = colon + 1;
  for (std::uint64_t& field : fields) {
    p = scan_unsigned(p, UINT64_MAX, field);
    if (!p) return -1;
  }
  out = {fields[0], fields[8]};
  return 1;
}

int read_iface_counters(std::string_view name, NetCounters& out) {
  std::FILE* stream = std::fopen(probe_paths->net_dev, "re");
  if (!stream) return -1;
  // Our own buffer, so that stdio neither asks for the block size with fstat
  // nor allocates one. It stays at /proc's 1 KiB: each read makes the kernel
  // format that much, and a larger one costs more for the first interfaces.
  // Should it fail, stdio simply keeps to a buffer of its own.
  std::array<char, 1024> buffer;
  (void)std::setvbuf(stream, buffer.data(), _IOFBF, buffer.size());
  std::array<char, 256> line{};
  int found = -1;
  while (std::fgets(line.data(), static_cast<int>(line.size()), stream)) {
    const int parsed = parse_net_dev_line(line.data(), name, out);
    if (parsed != 0) {
      found = parsed > 0 ? 0 : -1;
      break;
    }
  }
  (void)std::fclose(stream);
  return found;
}

int iface_traffic(std::string_view name) {
  IfaceSnapshot* snapshot = snapshot_of(name);
  NetCounters now{};
  if (!snapshot) return -1;
  if (read_iface_counters(name, now) != 0) {
    note_traffic(*snapshot, -1);
    return -1;
  }
  const bool moved = snapshot->valid && (now.rx_bytes != snapshot->counters.rx_bytes ||
                                         now.tx_bytes != snapshot->counters.tx_bytes);
  snapshot->counters = now;
  snapshot->valid = true;
  note_traffic(*snapshot, moved ? 1 : 0);
  return moved ? 1 : 0;
}

void iface_forget_snapshots() {
  for (IfaceSnapshot& snapshot : snapshots) snapshot.valid = false;
}

void iface_watch(const std::array<std::string_view, watched_iface_count>& names) {
  for (std::size_t i = 0; i < snapshots.size(); ++i) snapshots[i] = {names[i], {}, false};
}
