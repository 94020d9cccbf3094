#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "exec/exec.h"
#include "exec/exec_internal.h"
#include "probes/probes_internal.h"
#include "settings/settings_internal.h"
#include "test_util.h"

namespace {

// The counters file as the kernel prints it: receive bytes first, transmit bytes ninth.
std::string net_dev_line(const std::string& name, std::uint64_t rx, std::uint64_t tx) {
  return name + ": " + std::to_string(rx) + " 10 0 0 0 0 0 0 " + std::to_string(tx) +
         " 12 0 0 0 0 0 0\n";
}

const std::string net_dev_header =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

TEST(NetDevLine, MatchesTheWholeNameAndReadsBothCounts) {
  struct Case {
    std::string line;
    const char* name;
    int result;
    NetCounters counts;
  };
  const std::vector<Case> cases{
      {"    lo: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n", "lo", 1, {1, 9}},
      {"  wlan0:100 2 0 0 0 0 0 0 200 3 0 0 0 0 0 0\n", "wlan0", 1, {100, 200}},
      {"wlan0: 18446744073709551615 0 0 0 0 0 0 0 5\n", "wlan0", 1, {18446744073709551615ULL, 5}},
      {"\twlan1: 7 0 0 0 0 0 0 0 8", "wlan1", 1, {7, 8}},
      // Another interface whose name merely contains the one asked for.
      {net_dev_line("wlan02", 1, 2), "wlan0", 0, {}},
      {net_dev_line("xwlan0", 1, 2), "wlan0", 0, {}},
      {net_dev_line("wlan0", 1, 2), "wlan02", 0, {}},
      {net_dev_header, "wlan0", 0, {}},
      {"wlan0 100 200\n", "wlan0", 0, {}},
      // The right line, but too short or not numbers.
      {"wlan0: 1 2 3 4 5 6 7 8\n", "wlan0", -1, {}},
      {"wlan0:\n", "wlan0", -1, {}},
      {"wlan0: 1 2 3 x 5 6 7 8 9\n", "wlan0", -1, {}},
  };
  for (const Case& c : cases) {
    NetCounters got{99, 99};
    EXPECT_EQ(parse_net_dev_line(c.line.c_str(), c.name, got), c.result) << c.line;
    if (c.result == 1) {
      EXPECT_EQ(got.rx_bytes, c.counts.rx_bytes) << c.line;
      EXPECT_EQ(got.tx_bytes, c.counts.tx_bytes) << c.line;
    }
  }
}

TEST(CaptureScans, ReceivedBytesAndAssociations) {
  struct Case {
    const char* text;
    int result;
    std::uint64_t number;
  };
  const Case rx_cases[] = {
      {"RX bytes:1234\n", 0, 1234},
      {"RX bytes:0\nRX bytes:99\n", 0, 0},
      {"RX bytes:4294967296\n", 0, 4294967296ULL},  // a busy tunnel past 2^32
      {"RX   bytes: 12", 0, 12},                    // blanks as scanf takes them
      {"RXbytes:7", 0, 7},
      {" RX bytes:5", -1, 0},
      {"RX bytes:", -1, 0},
      {"TX bytes:5", -1, 0},
      {"", -1, 0},
  };
  for (const Case& c : rx_cases) {
    std::uint64_t got = 77;
    EXPECT_EQ(parse_rx_bytes(c.text, got), c.result) << c.text;
    if (c.result == 0) {
      EXPECT_EQ(got, c.number) << c.text;
    }
  }
  const Case sa_cases[] = {
      {"Security Associations (2 up, 0 connecting):", 0, 2},
      {"Security Associations (0 up", 0, 0},
      {"Security Associations (", -1, 0},
      {"Security Associations (x up", -1, 0},
      {"Listening IP addresses:", -1, 0},
      {"", -1, 0},
  };
  for (const Case& c : sa_cases) {
    std::uint64_t got = 77;
    EXPECT_EQ(parse_security_associations(c.text, got), c.result) << c.text;
    if (c.result == 0) {
      EXPECT_EQ(got, c.number) << c.text;
    }
  }
}

// The daemon's own files: other programs on the router know these names.
TEST(ProbePathsBuilt, TheDaemonsTable) {
  const ProbePaths& d = default_probe_paths;
  EXPECT_STREQ(d.net_dev, "/proc/net/dev");
  EXPECT_STREQ(d.wifi_ap_captures[0], "/tmp/norvask_wifi_ap.txt");
  EXPECT_STREQ(d.wifi_ap_captures[1], "/tmp/norvask_wifi_ap2.txt");
  EXPECT_STREQ(d.wifi_ap_captures[2], "/tmp/norvask_wifi_ap3.txt");
  EXPECT_STREQ(d.wifi_ap_captures[3], "/tmp/norvask_wifi_ap4.txt");
  EXPECT_STREQ(d.openvpn_capture, "/tmp/norvask_open_vpn.txt");
  EXPECT_STREQ(d.ipsec_capture, "/tmp/norvask_ipsec.txt");
  EXPECT_STREQ(d.portal_capture, "/tmp/norvask_pelm_vpn.txt");
  EXPECT_STREQ(d.stroke, "/usr/libexec/ipsec/stroke");
  EXPECT_STREQ(d.swanctl, "/usr/libexec/ipsec/swanctl");
  EXPECT_STREQ(
      d.stroke_command,
      "/usr/libexec/ipsec/stroke statusall | grep -o \"^Security Associations ([0-9]* up\"");
  EXPECT_STREQ(d.swanctl_command,
               "/usr/libexec/ipsec/swanctl --list-sas | grep \"^ipsec\" | grep \"ESTABLISHED\"");
  EXPECT_EQ(d.wifi_client_capture, nullptr);
  EXPECT_EQ(d.swanctl_capture, nullptr);
  EXPECT_EQ(d.remote_capture, nullptr);
}

TEST(ProbePathsBuilt, UnderARootWithEveryOutputKept) {
  const auto names = probe_names<1024>({.root = "/r", .captures = "/c/x_", .every_output = true});
  ASSERT_TRUE(names.fits);
  const ProbePaths p = probe_paths_in(names);
  EXPECT_STREQ(p.net_dev, "/r/proc/net/dev");
  EXPECT_STREQ(p.wifi_ap_captures[0], "/c/x_wifi_ap.txt");
  EXPECT_STREQ(p.stroke, "/r/usr/libexec/ipsec/stroke");
  EXPECT_STREQ(p.swanctl_command,
               "/r/usr/libexec/ipsec/swanctl --list-sas | grep \"^ipsec\" | grep \"ESTABLISHED\"");
  EXPECT_STREQ(p.wifi_client_capture, "/c/x_wifi_client.txt");
  EXPECT_STREQ(p.swanctl_capture, "/c/x_swanctl.txt");
  EXPECT_STREQ(p.remote_capture, "/c/x_remote.txt");
}

// Names that do not fit, or a root a shell would split or expand, leave every
// name empty rather than cut or unsafe.
TEST(ProbePathsBuilt, RefusedWholeWhenTheyCannotBeUsed) {
  const ProbePlaces places{.root = "/r", .captures = "/c/", .every_output = true};
  const auto roomy = probe_names<1024>(places);
  ASSERT_TRUE(roomy.fits);
  std::size_t need = 0;
  const ProbePaths p = probe_paths_in(roomy);
  for (const char* name :
       {p.net_dev, p.wifi_ap_captures[0], p.wifi_ap_captures[1], p.wifi_ap_captures[2],
        p.wifi_ap_captures[3], p.openvpn_capture, p.ipsec_capture, p.portal_capture, p.stroke,
        p.swanctl, p.stroke_command, p.swanctl_command, p.wifi_client_capture, p.swanctl_capture,
        p.remote_capture}) {
    need += std::strlen(name) + 1;
  }
  ASSERT_EQ(need, 390U) << "the sizes below";
  EXPECT_TRUE(probe_names<390>(places).fits) << "exactly its size";
  const auto tight = probe_names<389>(places);
  EXPECT_FALSE(tight.fits) << "one byte short";
  const ProbePaths cut = probe_paths_in(tight);
  EXPECT_STREQ(cut.remote_capture, "");
  EXPECT_STREQ(cut.net_dev, "");

  for (const char* root : {"/tmp/a b", "/tmp/$(reboot)", "/tmp/a;b", "/tmp/'", "/tmp/a\nb"}) {
    const auto names = probe_names<1024>({.root = root, .captures = "/c/", .every_output = false});
    EXPECT_FALSE(names.fits) << root;
    EXPECT_STREQ(probe_paths_in(names).stroke_command, "") << root;
  }
  EXPECT_TRUE(
      probe_names<1024>({.root = "/tmp/nv-test.Ab_9", .captures = "/c/", .every_output = false})
          .fits);
}

// A board of stand-ins: the probes' commands on a PATH of the test's own,
// their capture files and the counters file in the test's directory.
class Probes : public ::testing::Test {
 protected:
  void SetUp() override {
    iface_forget_snapshots();
    ASSERT_TRUE(names_.fits) << dir_.path();
    make_dirs(dir_ / "proc/net");
    make_dirs(dir_ / "usr/libexec/ipsec");
    probe_paths = &paths_;
    const std::string d = dir_.path();
    write_script(dir_ / "hostapd_cli", "cat '" + d + "/stations_'$2 2>/dev/null");
    write_script(dir_ / "wpa_cli", "cat '" + d + "/wpa_status' 2>/dev/null");
    write_script(
        dir_ / "ifconfig",
        "echo $1 >> '" + d + "/ifconfig-runs'\n[ -f '" + d +
            "'/$1 ] || { echo \"$1: error fetching interface information\" >&2; exit 1; }\n"
            "echo \"$1  Link encap:UNSPEC\"; cat '" +
            d + "'/$1");
    write_script(dir_ / "netstat", "cat '" + d + "/netstat'$1 2>/dev/null");
    write_file(net_dev_, net_dev_header);
  }
  void TearDown() override {
    probe_paths = &default_probe_paths;
    probe_wifi_setup(default_wifi_ap, default_wifi_client);
    forget_capture_substitutes();
  }

  void stations(const std::string& iface, const std::string& text) {
    write_file(dir_ / ("stations_" + iface), text);
  }
  void counters(const std::string& lines) { write_file(net_dev_, net_dev_header + lines); }
  void tunnel(const std::string& tun, std::uint64_t rx) {
    write_file(dir_ / tun, "          RX packets:3 errors:0\n          RX bytes:" +
                               std::to_string(rx) + " (1.0 KiB)  TX bytes:10 (10.0 B)\n");
  }

  TempDir dir_;
  PathPrefix path_{dir_.path()};
  // The daemon's files, captures and IPsec tools, all under the directory.
  std::string captures_ = dir_.path() + "/";
  ProbeNames<4096> names_ = probe_names<4096>(
      {.root = dir_.path().c_str(), .captures = captures_.c_str(), .every_output = false});
  ProbePaths paths_ = probe_paths_in(names_);
  std::string net_dev_ = paths_.net_dev;
  std::string ap_ = paths_.wifi_ap_captures[0];
  std::string ap2_ = paths_.wifi_ap_captures[1];
  std::string openvpn_ = paths_.openvpn_capture;
  std::string ipsec_ = paths_.ipsec_capture;
  std::string portal_ = paths_.portal_capture;
  std::string stroke_ = paths_.stroke;
  std::string swanctl_ = paths_.swanctl;
};

TEST_F(Probes, InterfaceTrafficOverASequenceOfReads) {
  counters(net_dev_line("wlan02", 5, 5) + net_dev_line("wlan0", 100, 200));
  EXPECT_EQ(iface_traffic("wlan0"), 0) << "first read only fills the snapshot";
  EXPECT_EQ(iface_traffic("wlan0"), 0);
  counters(net_dev_line("wlan02", 5, 5) + net_dev_line("wlan0", 101, 200));
  EXPECT_EQ(iface_traffic("wlan0"), 1);
  EXPECT_EQ(iface_traffic("wlan0"), 0);
  counters(net_dev_line("wlan0", 101, 201));
  EXPECT_EQ(iface_traffic("wlan0"), 1);
  // A failed read keeps the last good counts.
  counters("wlan0: 1 2\n");
  EXPECT_EQ(iface_traffic("wlan0"), -1);
  counters("");
  EXPECT_EQ(iface_traffic("wlan0"), -1);
  unlink(net_dev_.c_str());
  EXPECT_EQ(iface_traffic("wlan0"), -1);
  counters(net_dev_line("wlan0", 101, 201));
  EXPECT_EQ(iface_traffic("wlan0"), 0);
}

TEST_F(Probes, EachInterfaceHasItsOwnSnapshot) {
  counters(net_dev_line("wlan0", 100, 100) + net_dev_line("wlan02", 900, 900) +
           net_dev_line("wlan1", 50, 50));
  for (int tick = 0; tick < 3; ++tick) {
    EXPECT_EQ(iface_traffic("wlan0"), 0) << tick;
    EXPECT_EQ(iface_traffic("wlan02"), 0) << tick;
    EXPECT_EQ(iface_traffic("wlan1"), 0) << tick;
  }
}

TEST_F(Probes, AccessPointActions) {
  // No station anywhere; one byte of output still means none.
  EXPECT_EQ(probe_wifi_ap(), LedAction::Off);
  stations("wlan0", "\n");
  stations("wlan02", "\n");
  EXPECT_EQ(probe_wifi_ap(), LedAction::Off);

  // Stations on wlan0: on while idle, blinking while its counters move.
  counters(net_dev_line("wlan0", 100, 100) + net_dev_line("wlan02", 7, 7));
  stations("wlan0", "02:00:00:00:00:01\nflags=[AUTH][ASSOC]\n");
  EXPECT_EQ(probe_wifi_ap(), LedAction::On);
  EXPECT_EQ(probe_wifi_ap(), LedAction::On);
  counters(net_dev_line("wlan0", 150, 100) + net_dev_line("wlan02", 7, 7));
  EXPECT_EQ(probe_wifi_ap(), LedAction::Blink);
  EXPECT_EQ(probe_wifi_ap(), LedAction::On);

  // Stations on both radios and no byte moving: steady on, tick after tick.
  stations("wlan02", "02:00:00:00:00:02\n");
  for (int tick = 0; tick < 3; ++tick) EXPECT_EQ(probe_wifi_ap(), LedAction::On) << tick;
  counters(net_dev_line("wlan0", 150, 100) + net_dev_line("wlan02", 8, 7));
  EXPECT_EQ(probe_wifi_ap(), LedAction::Blink);
  EXPECT_EQ(probe_wifi_ap(), LedAction::On);

  // Only wlan02 has stations.
  stations("wlan0", "");
  counters(net_dev_line("wlan0", 999, 999) + net_dev_line("wlan02", 9, 7));
  EXPECT_EQ(probe_wifi_ap(), LedAction::Blink);
  EXPECT_EQ(probe_wifi_ap(), LedAction::On);
  // Counters that cannot be read count as no traffic.
  counters("");
  EXPECT_EQ(probe_wifi_ap(), LedAction::On);
  EXPECT_EQ(read_file(ap2_), "02:00:00:00:00:02\n");
}

// The access points' rule and what it looks at, in order: "s1" a look at
// access point 1's stations, "t1" a read of its counters. Each case: which
// access points have stations and whose counters moved, a bit each, the
// first the lowest.
void note(std::string& looked, char what, std::size_t i) {
  looked += what;
  looked += static_cast<char>('0' + i);
  looked += ' ';
}

std::pair<LedAction, std::string> ap_rule(std::size_t count, unsigned stations, unsigned moved) {
  std::string looked;
  const LedAction action = access_point_rule(
      count,
      [&](std::size_t i) {
        note(looked, 's', i);
        return ((stations >> i) & 1U) != 0;
      },
      [&](std::size_t i) {
        note(looked, 't', i);
        return static_cast<int>((moved >> i) & 1U);
      });
  return {action, looked};
}

// With two access points, the rule as it always was for wlan0 and wlan02:
// both listings taken, the counters of each with stations read (after a
// blink is decided too, to keep its snapshot current).
TEST(AccessPointRule, TwoAccessPointsAsAlways) {
  const LedAction off = LedAction::Off;
  const LedAction on = LedAction::On;
  const LedAction blink = LedAction::Blink;
  const struct {
    unsigned stations, moved;
    LedAction action;
    const char* looked;
  } cases[] = {
      {0b00, 0b00, off, "s0 s1 "},         {0b00, 0b11, off, "s0 s1 "},
      {0b01, 0b00, on, "s0 t0 s1 "},       {0b01, 0b01, blink, "s0 t0 s1 "},
      {0b01, 0b10, on, "s0 t0 s1 "},       {0b10, 0b00, on, "s0 s1 t1 "},
      {0b10, 0b01, on, "s0 s1 t1 "},       {0b10, 0b10, blink, "s0 s1 t1 "},
      {0b11, 0b00, on, "s0 t0 s1 t1 "},    {0b11, 0b01, blink, "s0 t0 s1 t1 "},
      {0b11, 0b10, blink, "s0 t0 s1 t1 "}, {0b11, 0b11, blink, "s0 t0 s1 t1 "},
  };
  for (const auto& c : cases) {
    const auto [action, looked] = ap_rule(2, c.stations, c.moved);
    EXPECT_EQ(action, c.action) << c.stations << " " << c.moved;
    EXPECT_EQ(looked, c.looked) << c.stations << " " << c.moved;
  }
}

// One, three or four: every combination. A blink needs stations and
// traffic on one access point; traffic where nobody is connected is not read.
TEST(AccessPointRule, OneToFourAccessPoints) {
  for (const std::size_t count : {1U, 3U, 4U}) {
    for (unsigned stations = 0; stations < 1U << count; ++stations) {
      for (unsigned moved = 0; moved < 1U << count; ++moved) {
        const auto [action, looked] = ap_rule(count, stations, moved);
        std::string expected;
        for (std::size_t i = 0; i < count; ++i) {
          note(expected, 's', i);
          if ((stations >> i) & 1U) note(expected, 't', i);
        }
        const LedAction want = (stations & moved) != 0 ? LedAction::Blink
                               : stations != 0         ? LedAction::On
                                                       : LedAction::Off;
        ASSERT_EQ(action, want) << count << " " << stations << " " << moved;
        ASSERT_EQ(looked, expected) << count << " " << stations << " " << moved;
      }
    }
  }
}

// The rule on the probe's own commands, counters and captures, with the
// interfaces the settings name: the k-th access point's listing goes to the
// k-th capture file, and both LEDs on mode 11 share each snapshot.
TEST_F(Probes, AccessPointsTheSettingsName) {
  const std::string listing = "02:00:00:00:00:01\nflags=[AUTH][ASSOC]\n";
  const struct {
    const char* value;
    unsigned stations, moved;
    LedAction tick2;
  } cases[] = {
      {"phy0-ap0", 0b1, 0b1, LedAction::Blink},
      {"phy0-ap0 phy1-ap0 phy2-ap0", 0b100, 0b011, LedAction::On},
      {"phy0-ap0 phy1-ap0 phy0-ap1 wlan0-1", 0b1001, 0b1001, LedAction::Blink},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    write_file(dir_ / "settings", std::string("MOD_NORVASK_WIFI_AP=") + c.value + "\n");
    WifiIfaces ifaces = default_wifi_ap;
    std::FILE* stream = std::fopen((dir_ / "settings").c_str(), "r");
    settings_get_ifaces(stream, wifi_ap_key, wifi_ap_limit, ifaces);
    settings_close(stream);
    probe_wifi_setup(ifaces, default_wifi_client);
    const auto counts = [&](unsigned moved) {
      std::string lines;
      for (std::size_t i = 0; i < ifaces.count; ++i) {
        lines += net_dev_line(ifaces.names[i].data(), 100 + ((moved >> i) & 1U), 100);
      }
      counters(lines);
    };
    for (std::size_t i = 0; i < ifaces.count; ++i) {
      stations(ifaces.names[i].data(), (c.stations >> i) & 1U ? listing : "");
    }
    counts(0);
    EXPECT_EQ(probe_wifi_ap(), LedAction::On) << "tick 1";
    counts(c.moved);
    EXPECT_EQ(probe_wifi_ap(), c.tick2) << "tick 2";
    EXPECT_EQ(probe_wifi_ap(), LedAction::On) << "LED 2 in tick 2";
    for (std::size_t i = 0; i < ifaces.count; ++i) {
      EXPECT_EQ(read_file(paths_.wifi_ap_captures[i]), (c.stations >> i) & 1U ? listing : "") << i;
    }
  }
}

// Names that the kernel takes and the shell would read as something else:
// each reaches the tools as it is, and nothing else runs.
TEST_F(Probes, EveryNameReachesTheToolsAsItIs) {
  const std::string args = dir_ / "args";
  write_script(dir_ / "hostapd_cli", "printf '<%s>' \"$@\" >>'" + args + "'");
  write_script(dir_ / "wpa_cli", "printf '<%s>' \"$@\" >>'" + args + "'; echo ssid=x");
  const std::string names[] = {
      "a;b", "a;>P", "$(>P)", "`>P`", "'",   "a'b''c", "\"",    "\\",      "a\\'b", "$HOME",
      "*",   "~",    "#x",    "a|>P", "a&b", ">P",     "a&&>P", "!x",      "{a,b}", "-x",
      "a=b", "%1",   "a$IFS", "[a]",  "(x)", "<P",     "?",     "\\$x\"'",
  };
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ASSERT_EQ(iface_name_fault(name), NameFault::None);
    const WifiIfaces ifaces = wifi_ifaces({name});
    probe_wifi_setup(ifaces, ifaces);
    unlink(args.c_str());
    unlink((dir_ / "P").c_str());
    (void)probe_wifi_ap();
    (void)probe_wifi_client();
    std::string expected = "<-i><";
    expected.append(name).append("><all_sta><-i><").append(name).append("><status>");
    EXPECT_EQ(read_file(args), expected);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "P")) << "a command of the name's ran";
  }
  std::filesystem::current_path(cwd);
  // The defaults are the commands as they always were, byte for byte.
  probe_wifi_setup(default_wifi_ap, default_wifi_client);
  EXPECT_STREQ(wifi_watch().station_commands[0].data(), "hostapd_cli -i wlan0 all_sta");
  EXPECT_STREQ(wifi_watch().station_commands[1].data(), "hostapd_cli -i wlan02 all_sta");
  EXPECT_STREQ(wifi_watch().client_command.data(), "wpa_cli -i wlan1 status | grep ^ssid=");
}

// A refused key names no interface: its mode is off and starts nothing.
int commands_asked = 0;
bool count_and_refuse() {
  ++commands_asked;
  return false;
}
int never_waited(pid_t /*pid*/) { return -1; }
constexpr ChildControl counting{count_and_refuse, never_waited};

TEST_F(Probes, ARefusedKeyRunsNothing) {
  counters(net_dev_line("wlan0", 1, 1) + net_dev_line("wlan1", 1, 1));
  WifiIfaces refused{};
  refused.fault = NameFault::Slash;
  probe_wifi_setup(refused, refused);
  child_control = &counting;
  commands_asked = 0;
  EXPECT_EQ(probe_wifi_ap(), LedAction::Off);
  EXPECT_EQ(probe_wifi_client(), LedAction::Off);
  EXPECT_EQ(commands_asked, 0);
  probe_wifi_setup(default_wifi_ap, default_wifi_client);
  EXPECT_EQ(probe_wifi_ap(), LedAction::Off);
  EXPECT_EQ(probe_wifi_client(), LedAction::Off);
  child_control = nullptr;
  EXPECT_EQ(commands_asked, 3) << "the defaults' commands";
}

TEST_F(Probes, ClientActions) {
  EXPECT_EQ(probe_wifi_client(), LedAction::Off) << "not associated";
  write_file(dir_ / "wpa_status", "bssid=02:00:00:00:00:09\nssid=home\nwpa_state=COMPLETED\n");
  counters(net_dev_line("wlan1", 10, 10));
  EXPECT_EQ(probe_wifi_client(), LedAction::On);
  counters(net_dev_line("wlan1", 10, 11));
  EXPECT_EQ(probe_wifi_client(), LedAction::Blink);
  EXPECT_EQ(probe_wifi_client(), LedAction::On);
  counters(net_dev_line("wlan0", 10, 11));
  EXPECT_EQ(probe_wifi_client(), LedAction::Off) << "wlan1 missing from the counters";
  write_file(dir_ / "wpa_status", "wpa_state=SCANNING\nssid_hidden=1\n");
  EXPECT_EQ(probe_wifi_client(), LedAction::Off);
}

TEST_F(Probes, OpenVpnTriesEachTunnelUntilOneHasReceivedData) {
  constexpr std::int64_t none = -1;  // no such tunnel
  constexpr const char* every = "tun0\ntun1\ntun2\ntun3\n";
  struct Case {
    const char* what;
    std::array<std::int64_t, 4> rx;  // tun0 to tun3
    int answer;
    const char* runs;  // the tunnels asked, in order
  };
  const Case cases[] = {
      {"no tunnel", {none, none, none, none}, 0, every},
      {"data on a later tunnel", {0, 5000, none, none}, 1, "tun0\ntun1\n"},
      {"tunnels without data", {0, 0, none, 0}, 0, every},
      {"one byte", {none, 1, 0, none}, 1, "tun0\ntun1\n"},
      // A count that is a multiple of 2^32 is still traffic.
      {"2^33 bytes", {0, none, none, 8589934592LL}, 1, every},
  };
  for (const Case& c : cases) {
    for (std::size_t unit = 0; unit < c.rx.size(); ++unit) {
      const std::string tun = "tun" + std::to_string(unit);
      unlink((dir_ / tun).c_str());
      if (c.rx[unit] != none) tunnel(tun, static_cast<std::uint64_t>(c.rx[unit]));
    }
    unlink((dir_ / "ifconfig-runs").c_str());
    EXPECT_EQ(probe_openvpn(), c.answer) << c.what;
    EXPECT_EQ(read_file(dir_ / "ifconfig-runs"), c.runs) << c.what;
  }
  EXPECT_EQ(read_file(openvpn_), "RX bytes:8589934592\n");

  // A link planted at the capture path is removed, not followed.
  unlink(openvpn_.c_str());
  ASSERT_EQ(symlink(net_dev_.c_str(), openvpn_.c_str()), 0);
  EXPECT_EQ(probe_openvpn(), 1);
  EXPECT_EQ(read_file(net_dev_).rfind("Inter-|", 0), 0U) << "the link's target is untouched";
}

TEST_F(Probes, IpsecThroughStrokeOrSwanctl) {
  const auto stroke_prints = [this](const std::string& text) {
    write_script(stroke_, "printf '" + text + "'");
  };
  const auto swanctl_prints = [this](const std::string& text) {
    write_script(swanctl_, "printf '" + text + "'");
  };
  EXPECT_EQ(probe_ipsec(), -1) << "neither tool installed";

  swanctl_prints("ipsec-1: #3, ESTABLISHED, IKEv2\\n");
  EXPECT_EQ(probe_ipsec(), 1);
  swanctl_prints("ipsec-1: #3, CONNECTING, IKEv2\\nother: ESTABLISHED\\n");
  EXPECT_EQ(probe_ipsec(), 0);

  // With both installed only stroke is asked.
  const std::pair<const char*, int> stroke_cases[] = {
      {"Status of IKE charon daemon:\\nSecurity Associations (2 up, 0 connecting):\\n", 1},
      {"Security Associations (0 up, 1 connecting):\\n", 0},
      {"no status\\n", 0},  // no matching line: nothing is up
      // Its pipeline's pattern matches the line without a count, which is no answer.
      {"Security Associations ( up, 0 connecting):\\n", -1},
  };
  for (const auto& [prints, answer] : stroke_cases) {
    stroke_prints(prints);
    EXPECT_EQ(probe_ipsec(), answer) << prints;
    EXPECT_EQ(probe_ipsec_stroke(), answer) << prints;
  }

  stroke_prints("Security Associations (1 up\\n");
  unlink(ipsec_.c_str());
  ASSERT_EQ(mkfifo(ipsec_.c_str(), 0600), 0);
  EXPECT_EQ(probe_ipsec(), 1) << "a FIFO planted at the capture path";
}

// A capture path that someone else took first, holding text that says the
// opposite of the board: the probes still answer what the board shows, and
// never from that text.
TEST_F(Probes, TakenCapturesStillAnswerTheTruth) {
  // Every probe lights its LED; a capture that is not ours reads as off.
  tunnel("tun0", 5000);
  write_script(stroke_, "printf 'Security Associations (1 up, 0 connecting):\\n'");
  write_file(dir_ / "netstat-tlpn", "tcp 0 0 0.0.0.0:443 0.0.0.0:* LISTEN 77/drennic\n");
  const std::string listing = "02:00:00:00:00:01\nflags=[AUTH][ASSOC]\n";
  struct Case {
    const std::string& capture;
    const char* iface;  // the access point with a station
    std::string lie;    // the opposite, planted
    int (*probe)();
  };
  const auto ap = [] { return static_cast<int>(probe_wifi_ap() == LedAction::On); };
  const Case cases[] = {
      {ap_, "wlan0", "\n", ap},
      {ap2_, "wlan02", "\n", ap},
      {openvpn_, "", "RX bytes:0\n", probe_openvpn},
      {ipsec_, "", "Security Associations (0 up, 0 connecting):\n", probe_ipsec},
      {portal_, "", "\n", probe_vpn_portal},
  };
  const std::string planted = dir_ / "planted";
  for (const std::string kind : {"second name", "link", "FIFO", "another user's"}) {
    if (kind == "another user's" && getuid() != 0) continue;
    for (const Case& c : cases) {
      SCOPED_TRACE(kind + " " + c.capture);
      stations("wlan0", std::string(c.iface) == "wlan0" ? listing : "");
      stations("wlan02", std::string(c.iface) == "wlan02" ? listing : "");
      unlink(c.capture.c_str());
      unlink(planted.c_str());
      write_file(kind == "link" ? planted : c.capture, c.lie);
      if (kind == "second name") {
        ASSERT_EQ(link(c.capture.c_str(), planted.c_str()), 0);
      } else if (kind == "link") {
        ASSERT_EQ(symlink(planted.c_str(), c.capture.c_str()), 0);
      } else if (kind == "FIFO") {
        unlink(c.capture.c_str());
        ASSERT_EQ(mkfifo(c.capture.c_str(), 0666), 0);
      } else {
        ASSERT_EQ(chown(c.capture.c_str(), 65534, 65534), 0);
      }
      EXPECT_EQ(c.probe(), 1);
      if (kind == "second name") {
        EXPECT_EQ(read_file(c.capture), c.lie) << "ours: never removed, and not written";
      } else if (kind == "link") {
        EXPECT_EQ(read_file(planted), c.lie) << "not followed";
      }
    }
  }
}

// Our own capture from an earlier tick, when this tick's capture cannot be
// opened (no descriptor left): the old text is not this tick's answer.
TEST_F(Probes, AnEarlierCaptureNeverDecides) {
  write_file(ap_, "02:00:00:00:00:01\nflags=[AUTH][ASSOC]\n");
  write_file(portal_, "tcp 0 0 0.0.0.0:443 0.0.0.0:* LISTEN 77/drennic\n");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowest_free = dup(0);
  ASSERT_GE(lowest_free, 0);
  close(lowest_free);
  rlimit none_left = saved;
  none_left.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none_left), 0);
  const LedAction ap = probe_wifi_ap();
  const int portal = probe_vpn_portal();
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(ap, LedAction::Off);
  EXPECT_EQ(portal, 0);
}

TEST_F(Probes, RemoteManagementAndVpnPortalReadNetstat) {
  const std::string established =
      "tcp        0      0 127.0.0.1:40212         127.0.0.1:5000          ESTABLISHED "
      "812/tessik_clientd\n";
  const std::string listening =
      "tcp        0      0 0.0.0.0:5000            0.0.0.0:*               LISTEN      "
      "812/tessik_clientd\n";
  EXPECT_EQ(probe_remote_management(), 0);
  write_file(dir_ / "netstat-pnat", listening);
  EXPECT_EQ(probe_remote_management(), 0);
  write_file(dir_ / "netstat-pnat", listening + established);
  EXPECT_EQ(probe_remote_management(), 1);

  EXPECT_EQ(probe_vpn_portal(), 0);
  write_file(dir_ / "netstat-tlpn",
             "tcp        0      0 0.0.0.0:443             0.0.0.0:*               LISTEN      "
             "77/drennic\n");
  EXPECT_EQ(probe_vpn_portal(), 1);
  EXPECT_NE(read_file(portal_).find("77/drennic"), std::string::npos);
}

}  // namespace
