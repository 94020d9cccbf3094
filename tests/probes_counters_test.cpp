// The interface-counter read over files longer than its stream's buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "probes/probes_internal.h"
#include "test_util.h"

namespace {

std::string counters_line(const std::string& name, unsigned long long rx, unsigned long long tx) {
  char line[256];
  (void)std::snprintf(
      line, sizeof line,
      "%6s: %8llu     120    0    0    0     0          0         0 %8llu      98    0"
      "    0    0     0       0          0\n",
      name.c_str(), rx, tx);
  return line;
}

// The counters file of the test's own, for as long as the test runs.
class IfaceCounters : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_.net_dev = file_.c_str();
    probe_paths = &paths_;
  }
  void TearDown() override { probe_paths = &default_probe_paths; }

  TempDir dir_;
  std::string file_ = dir_ / "net_dev";
  ProbePaths paths_ = default_probe_paths;
};

}  // namespace

// The wanted line first, in the middle, or past the stream's buffer, and a
// file with the interface missing: the read refills its buffer as needed.
TEST_F(IfaceCounters, FoundWhereverTheLineIs) {
  const struct {
    int interfaces_before;
    bool present;
  } cases[] = {{0, true}, {5, true}, {80, true}, {80, false}};
  const std::string& file = file_;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interfaces_before);
    std::string text =
        "Inter-|   Receive                                                |  Transmit\n"
        " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets "
        "errs drop fifo colls carrier compressed\n";
    for (int i = 0; i < c.interfaces_before; ++i) {
      text += counters_line("eth" + std::to_string(i), 1, 2);
    }
    if (c.present) text += counters_line("wlan1", 123456789012ULL, 42);
    text += counters_line("lo", 7, 7);
    write_file(file, text);
    NetCounters counters{};
    if (c.present) {
      ASSERT_EQ(read_iface_counters("wlan1", counters), 0);
      EXPECT_EQ(counters.rx_bytes, 123456789012ULL);
      EXPECT_EQ(counters.tx_bytes, 42U);
    } else {
      EXPECT_EQ(read_iface_counters("wlan1", counters), -1);
    }
  }
}
