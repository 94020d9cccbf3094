// The OpenVPN probe's reading of its capture on arbitrary ifconfig output:
// read back like the probe does, then the "RX bytes:" scan, which must agree
// with sscanf on the same pattern.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

#include "exec/exec.h"
#include "fuzz/fuzz_util.h"
#include "probes/probes_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const InputFile file("open_vpn.txt");
  file.fill(data, size);
  std::array<char, 256> text{};
  const int got = read_capture(file.path(), text.data(), text.size());
  fuzz_check(got == static_cast<int>(std::min(size, text.size() - 1)), "capture length");

  std::uint64_t bytes = 7;
  const int result = parse_rx_bytes(text.data(), bytes);
  unsigned long long expected = 0;
  // NOLINTNEXTLINE(cert-err34-c): the C library's own scan is the reference
  const bool scanned = std::sscanf(text.data(), "RX bytes:%llu", &expected) == 1;
  fuzz_check(result == (scanned ? 0 : -1), "whether a count was found");
  fuzz_check(!scanned || bytes == expected, "the count");
  return 0;
}
