// The IPsec probe's reading of stroke's output on arbitrary text: read back
// like the probe does, its first line cut, then the "Security Associations ("
// scan, which must agree with sscanf on the same pattern.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "exec/exec.h"
#include "fuzz/fuzz_util.h"
#include "probes/probes_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const InputFile file("ipsec.txt");
  file.fill(data, size);
  std::array<char, 256> line{};
  const int got = read_capture(file.path(), line.data(), line.size());
  fuzz_check(got == static_cast<int>(std::min(size, line.size() - 1)), "capture length");
  if (char* end = std::strchr(line.data(), '\n')) *end = '\0';

  std::uint64_t count = 7;
  const int result = parse_security_associations(line.data(), count);
  unsigned long long expected = 0;
  // NOLINTNEXTLINE(cert-err34-c): the C library's own scan is the reference
  const bool scanned = std::sscanf(line.data(), "Security Associations (%llu", &expected) == 1;
  fuzz_check(result == (scanned ? 0 : -1), "whether a count was found");
  fuzz_check(!scanned || count == expected, "the count");
  return 0;
}
