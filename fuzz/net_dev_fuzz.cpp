// The interface counter scan on arbitrary counters files: every answer must
// match the same lines read through strtoull, and a second look at unchanged
// counters must never report traffic.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "probes/probes_internal.h"

namespace {

constexpr std::array<std::string_view, 3> interfaces{"wlan0", "wlan02", "wlan1"};

// The reader's line buffer: at most 255 bytes a read.
constexpr std::size_t line_capacity = 255;

// One line: 1 with `name`'s receive and transmit counts (the first and the
// ninth number after its colon), 0 for another line, -1 when one of the nine
// is missing.
int reference_line(const std::string& line, std::string_view name, NetCounters& out) {
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return 0;
  const std::size_t start = std::min(colon, line.find_first_not_of(" \t"));
  if (std::string_view(line).substr(start, colon - start) != name) return 0;
  std::array<unsigned long long, 9> fields{};
  const char* p = line.c_str() + colon + 1;
  for (unsigned long long& field : fields) {
    char* end = nullptr;
    errno = 0;
    field = std::strtoull(p, &end, 10);
    if (end == p) return -1;
    p = end;
  }
  out = {fields[0], fields[8]};
  return 1;
}

int reference_counters(std::string_view file, std::string_view name, NetCounters& out) {
  std::size_t at = 0;
  while (at < file.size()) {
    const std::size_t limit = std::min(file.size(), at + line_capacity);
    std::size_t end = at;
    while (end < limit && file[end++] != '\n') {
    }
    std::string_view piece = file.substr(at, end - at);
    at = end;
    const std::string line(piece.substr(0, piece.find('\0')));
    const int found = reference_line(line, name, out);
    if (found != 0) return found > 0 ? 0 : -1;
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const InputFile file("net_dev");
  static ProbePaths paths = default_probe_paths;
  file.fill(data, size);
  paths.net_dev = file.path();
  probe_paths = &paths;

  const std::string_view content(reinterpret_cast<const char*>(data), size);
  for (std::string_view name : interfaces) {
    NetCounters got{1, 1};
    NetCounters want{2, 2};
    const int result = read_iface_counters(name, got);
    fuzz_check(result == reference_counters(content, name, want), "counter read's result");
    if (result == 0) {
      fuzz_check(got.rx_bytes == want.rx_bytes, "received bytes");
      fuzz_check(got.tx_bytes == want.tx_bytes, "transmitted bytes");
    }
    const int first = iface_traffic(name);
    fuzz_check(result == 0 ? first == 0 || first == 1 : first == -1, "traffic answer");
    fuzz_check(iface_traffic(name) == (result == 0 ? 0 : -1), "traffic on unchanged counters");
  }
  return 0;
}
