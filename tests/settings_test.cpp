#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <cstdint>
#include <string>
#include <vector>

#include "settings/settings_internal.h"
#include "test_util.h"

namespace {

std::uint32_t lookup(const std::string& content, const char* key) {
  TempDir dir;
  write_file(dir / "settings", content);
  std::FILE* stream = std::fopen((dir / "settings").c_str(), "r");
  const std::uint32_t value = settings_get_uint(stream, key);
  settings_close(stream);
  return value;
}

struct LookupCase {
  const char* content;
  std::uint32_t expected;
};

void PrintTo(const LookupCase& c, std::ostream* out) {
  for (const char* p = c.content; *p; ++p) {
    if (*p == '\n') {
      *out << "\\n";
    } else if (*p == '\r') {
      *out << "\\r";
    } else {
      *out << *p;
    }
  }
}

class SettingsLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(SettingsLookup, ReadsModeOfLedOne) {
  EXPECT_EQ(lookup(GetParam().content, "MOD_NORVASK_MODE"), GetParam().expected)
      << "file: " << GetParam().content;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SettingsLookup,
    ::testing::Values(
        LookupCase{"MOD_NORVASK_MODE=12\n", 12}, LookupCase{"MOD_NORVASK_MODE=\"12\"\n", 12},
        LookupCase{"MOD_NORVASK_MODE=12\r\n", 12}, LookupCase{"MOD_NORVASK_MODE=12", 12},
        LookupCase{"mod_norvask_mode=12\n", 12},
        // Blanks belong to the name; after '=' the number scan skips them,
        // but a quote that does not follow '=' directly is not skipped.
        LookupCase{" MOD_NORVASK_MODE=12\n", 0}, LookupCase{"MOD_NORVASK_MODE =12\n", 0},
        LookupCase{"MOD_NORVASK_MODE= 12\n", 12}, LookupCase{"MOD_NORVASK_MODE= \"12\"\n", 0},
        // Names are compared whole.
        LookupCase{"MOD_NORVASK_MODE2=5\n", 0}, LookupCase{"MOD_NORVASK_MOD=5\n", 0},
        LookupCase{"MOD_NORVASK_MODE2=5\nMOD_NORVASK_MODE=6\n", 6},
        LookupCase{"MOD_NORVASK_MODE=7 # LED one\n", 7}, LookupCase{"MOD_NORVASK_MODE=abc\n", 0},
        LookupCase{"MOD_NORVASK_MODE=\n", 0}, LookupCase{"MOD_NORVASK_MODE=\"\"\n", 0},
        LookupCase{"MOD_NORVASK_MODE=3\nMOD_NORVASK_MODE=4\n", 3},
        LookupCase{"# comment\n\nOTHER=1\nMOD_NORVASK_MODE=9\n", 9},
        LookupCase{"MOD_NORVASK_MODE=+8\n", 8},
        // Out of range saturates to a mode that selects nothing; negatives wrap.
        LookupCase{"MOD_NORVASK_MODE=4294967295\n", 4294967295U},
        LookupCase{"MOD_NORVASK_MODE=4294967296\n", 4294967295U},
        LookupCase{"MOD_NORVASK_MODE=99999999999999999999999999\n", 4294967295U},
        LookupCase{"MOD_NORVASK_MODE=-1\n", 4294967295U},
        LookupCase{"MOD_NORVASK_MODE=-5\n", 4294967291U},
        LookupCase{"MOD_NORVASK_MODE=-99999999999\n", 4294967295U},
        LookupCase{"MOD_NORVASK_MODE=-\n", 0}));

TEST(Settings, LookupsSeeTheWholeFileInAnyOrder) {
  TempDir dir;
  write_file(dir / "settings", "MOD_NORVASK_MODE=3\nMOD_NORVASK_MODE2=14\n");
  std::FILE* stream = std::fopen((dir / "settings").c_str(), "r");
  EXPECT_EQ(settings_get_uint(stream, "MOD_NORVASK_MODE2"), 14U);
  EXPECT_EQ(settings_get_uint(stream, "MOD_NORVASK_MODE"), 3U);
  EXPECT_EQ(settings_get_uint(stream, "MOD_NORVASK_MODE2"), 14U);
  settings_close(stream);
  EXPECT_EQ(settings_get_uint(nullptr, "MOD_NORVASK_MODE"), 0U);
}

TEST(Settings, LongLinesAreReadInPiecesOfTheBuffer) {
  // The rest of an over-long line is a line of its own.
  const std::string filler(settings_line_size - 1, 'x');
  EXPECT_EQ(lookup(filler + "MOD_NORVASK_MODE=6\n", "MOD_NORVASK_MODE"), 6U);
  EXPECT_EQ(lookup("MOD_NORVASK_MODE=" + filler + "\nMOD_NORVASK_MODE=6\n", "MOD_NORVASK_MODE"),
            0U);
  // A megabyte of one line, then the key.
  std::string megabyte(1 << 20, '=');
  megabyte.append("\nMOD_NORVASK_MODE=5\n");
  EXPECT_EQ(lookup(megabyte, "MOD_NORVASK_MODE"), 5U);
}

TEST(Settings, BinaryContentAndNulBytesDoNotHideLaterLines) {
  std::string content("X=1\0garbage\n", 12);
  content += std::string("\x01\xff\x80=\"\"\"\n", 8);
  content += "MOD_NORVASK_MODE=9\n";
  EXPECT_EQ(lookup(content, "MOD_NORVASK_MODE"), 9U);
}

TEST(Settings, LedNamesAreReadByTheModesRules) {
  struct Case {
    const char* what;
    std::string content;
    bool given;
    std::string name;
    std::size_t length;
  };
  const std::string long_name(70, 'g');
  const Case cases[] = {
      {"bare", "MOD_NORVASK_LED=green:wlan\n", true, "green:wlan", 10},
      {"quoted, CRLF", "MOD_NORVASK_LED=\"green:wlan\"\r\n", true, "green:wlan", 10},
      {"the key in any case", "mod_norvask_led=green:wlan", true, "green:wlan", 10},
      {"the first line wins", "MOD_NORVASK_LED=a\nMOD_NORVASK_LED=b\n", true, "a", 1},
      {"LED 2's key is another", "MOD_NORVASK_LED2=red:two\n", false, "", 0},
      {"no such line", "MOD_NORVASK_MODE=1\n", false, "", 0},
      {"empty", "MOD_NORVASK_LED=\n", true, "", 0},
      {"empty quotes", "MOD_NORVASK_LED=\"\"\n", true, "", 0},
      {"blanks are the name's", "MOD_NORVASK_LED= green \n", true, " green ", 7},
      {"too long: cut, its length kept", "MOD_NORVASK_LED=" + long_name + "\n", true,
       long_name.substr(0, 63), 70},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_file(dir / "settings", c.content);
    std::FILE* stream = std::fopen((dir / "settings").c_str(), "r");
    LedName name{};
    name.text[0] = 'x';
    settings_get_name(stream, "MOD_NORVASK_LED", name);
    settings_close(stream);
    EXPECT_EQ(name.given, c.given) << c.what;
    EXPECT_EQ(name.text.data(), c.name) << c.what;
    EXPECT_EQ(name.length, c.length) << c.what;
  }
}

// The kernel's rule for an interface name, with printable ASCII only.
TEST(IfaceNames, WhatTheKernelTakesAndNothingElse) {
  const struct {
    std::string name;
    NameFault fault;
  } cases[] = {
      {"wlan0", NameFault::None},
      {"phy0-ap0", NameFault::None},
      {"wlan0-1", NameFault::None},
      {"a", NameFault::None},
      {"abcdefghijklmno", NameFault::None},  // 15 bytes
      // Shell characters are the kernel's to take, and so ours: quoted later.
      {"a;b", NameFault::None},
      {"$(x)", NameFault::None},
      {"'", NameFault::None},
      {"`x`\\\"*?~#&|<>!", NameFault::None},
      {"...", NameFault::None},
      {".x", NameFault::None},
      {"", NameFault::Empty},
      {"abcdefghijklmnop", NameFault::TooLong},  // 16 bytes
      {"a/bcdefghijklmnopq", NameFault::TooLong},
      {".", NameFault::Dots},
      {"..", NameFault::Dots},
      {"a/b", NameFault::Slash},
      {"/", NameFault::Slash},
      {"wlan0:1", NameFault::Colon},
      {"a b", NameFault::Blank},
      {"a\tb", NameFault::Blank},
      {"a\nb", NameFault::Control},
      {"a\x1b[2J", NameFault::Control},
      {"a\x7f", NameFault::Control},
      {std::string("a\0b", 3), NameFault::Control},
      {"caf\xc3\xa9", NameFault::NotAscii},
      {"\xa0", NameFault::NotAscii},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(iface_name_fault(c.name), c.fault) << "\"" << c.name << "\"";
  }
}

// A Wi-Fi key's value as the reader takes it, by the same rules as the modes'.
TEST(IfaceNames, ReadFromTheSettings) {
  struct Case {
    std::string content;
    std::vector<std::string> access_points;  // empty: refused
    std::vector<std::string> client;
    const char* refusal;  // the access points' reason, or the client's when those are read
  };
  const std::vector<std::string> aps{"wlan0", "wlan02"};
  const std::vector<std::string> wlan1{"wlan1"};
  const std::vector<Case> cases{
      {"", aps, wlan1, ""},
      {"MOD_NORVASK_MODE=11\n", aps, wlan1, ""},
      {"MOD_NORVASK_WIFI_AP=phy0-ap0 phy1-ap0\nMOD_NORVASK_WIFI_CLIENT=phy0-sta0\n",
       {"phy0-ap0", "phy1-ap0"},
       {"phy0-sta0"},
       ""},
      {"mod_norvask_wifi_ap=\"  a\t b  c   d \"\r\n", {"a", "b", "c", "d"}, wlan1, ""},
      {"MOD_NORVASK_WIFI_AP=wlan0-1\nMOD_NORVASK_WIFI_AP=x\n", {"wlan0-1"}, wlan1, ""},
      {"MOD_NORVASK_WIFI_AP= a;b $(x) ' \n", {"a;b", "$(x)", "'"}, wlan1, ""},
      {"MOD_NORVASK_WIFI_CLIENT=\"a\"b\"\n", aps, {"a\"b"}, ""},
      // Blank or empty: as if unset.
      {"MOD_NORVASK_WIFI_AP=\nMOD_NORVASK_WIFI_CLIENT=\" \t\"\n", aps, wlan1, ""},
      // A refused key names nothing: no default stands in for what was meant.
      {"MOD_NORVASK_WIFI_AP=a b c d e\n", {}, wlan1, "names more than 4 interfaces"},
      {"MOD_NORVASK_WIFI_AP=wlan0 phy0/ap0\n", {}, wlan1, "\"phy0/ap0\" holds '/'"},
      {"MOD_NORVASK_WIFI_AP=wlan0 ..\n", {}, wlan1, "\"..\" is not a name an interface can have"},
      {"MOD_NORVASK_WIFI_AP=abcdefghijklmnopqrstuvwxyz0123\n",
       {},
       wlan1,
       "\"abcdefghijklmnopqrstuvw...\" is longer than 15 bytes"},
      {"MOD_NORVASK_WIFI_AP=wlan0:1\n", {}, wlan1, "\"wlan0:1\" holds ':'"},
      {"MOD_NORVASK_WIFI_AP=\"a\x1b[2J\"\\\xff\"\n",
       {},
       wlan1,
       "\"a\\x1b[2J\\\"\\\\\\xff\" holds a control character"},
      {"MOD_NORVASK_WIFI_CLIENT=wlan 1\n", aps, {}, "\"wlan 1\" holds a blank"},
      {"MOD_NORVASK_WIFI_CLIENT=\"caf\xc3\xa9\"\n",
       aps,
       {},
       "\"caf\\xc3\\xa9\" holds a byte outside ASCII"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    TempDir dir;
    write_file(dir / "settings", c.content);
    std::FILE* stream = std::fopen((dir / "settings").c_str(), "r");
    LedSettings got{};
    settings_get_ifaces(stream, "MOD_NORVASK_WIFI_AP", wifi_ap_limit, got.wifi_ap);
    settings_get_ifaces(stream, "MOD_NORVASK_WIFI_CLIENT", 1, got.wifi_client);
    settings_close(stream);
    for (const auto& [ifaces, expected] :
         {std::pair{&got.wifi_ap, &c.access_points}, std::pair{&got.wifi_client, &c.client}}) {
      std::vector<std::string> names;
      for (std::size_t i = 0; i < ifaces->count; ++i) names.emplace_back(ifaces->names[i].data());
      EXPECT_EQ(names, *expected);
      EXPECT_EQ(ifaces->fault == NameFault::None, !expected->empty());
    }
    char why[160];
    iface_refusal(c.access_points.empty() ? got.wifi_ap : got.wifi_client, why, sizeof why);
    EXPECT_STREQ(why, c.refusal);
  }
}

TEST(IfaceNames, TheRefusalAsTheDaemonLogsIt) {
  LedSettings settings{};
  TempDir dir;
  write_file(dir / "settings", "MOD_NORVASK_WIFI_AP=a/b\nMOD_NORVASK_WIFI_CLIENT=wlan1 \n");
  std::FILE* stream = std::fopen((dir / "settings").c_str(), "r");
  settings_get_ifaces(stream, wifi_ap_key, wifi_ap_limit, settings.wifi_ap);
  settings_get_ifaces(stream, wifi_client_key, 1, settings.wifi_client);
  settings_close(stream);
  char message[256];
  wifi_key_refusal(settings.wifi_ap, wifi_ap_key, message, sizeof message);
  EXPECT_STREQ(message,
               "MOD_NORVASK_WIFI_AP refused: \"a/b\" holds '/'; mode 11 keeps its LED off");
  wifi_key_refusal(settings.wifi_client, wifi_client_key, message, sizeof message);
  EXPECT_STREQ(message, "");
  settings.wifi_client.fault = NameFault::Dots;
  wifi_key_refusal(settings.wifi_client, wifi_client_key, message, 40);
  EXPECT_STREQ(message, "MOD_NORVASK_WIFI_CLIENT refused: \"\" is ") << "cut to its buffer";
}

class ReadSettings : public ::testing::Test {
 protected:
  void TearDown() override { settings_path = saved_; }
  struct Read {
    LedSettings settings;
    int error;
  };
  // In a child that is killed after two seconds: a reader that never ends
  // fails the test (error -2) instead of hanging it.
  static Read read_from(const std::string& path) {
    settings_path = path.c_str();
    int channel[2];
    if (pipe(channel) != 0) return {{77, 77}, -1};
    const pid_t child = fork();
    if (child == 0) {
      Read read{{77, 77}, 0};
      read.error = read_settings(read.settings);
      _exit(write(channel[1], &read, sizeof read) == sizeof read ? 0 : 1);
    }
    close(channel[1]);
    Read read{{77, 77}, -2};
    pollfd ready{channel[0], POLLIN, 0};
    if (child > 0 && poll(&ready, 1, 2000) == 1) {
      if (::read(channel[0], &read, sizeof read) != sizeof read) read.error = -3;
    }
    close(channel[0]);
    if (child > 0) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    return read;
  }
  TempDir dir_;

 private:
  const char* saved_ = settings_path;
};

TEST_F(ReadSettings, FillsBothModesAndTheWifiInterfaces) {
  write_file(dir_ / "settings",
             "MOD_NORVASK_MODE2=\"13\"\r\nMOD_NORVASK_WIFI_CLIENT=phy0-sta0\r\n"
             "MOD_NORVASK_MODE=11\r\nMOD_NORVASK_WIFI_AP=a b c/d\r\n");
  const Read read = read_from(dir_ / "settings");
  EXPECT_EQ(read.settings.mode1, 11U);
  EXPECT_EQ(read.settings.mode2, 13U);
  EXPECT_EQ(read.settings.wifi_ap.count, 0U);
  EXPECT_EQ(read.settings.wifi_ap.fault, NameFault::Slash);
  EXPECT_EQ(read.settings.wifi_client.count, 1U);
  EXPECT_STREQ(read.settings.wifi_client.names[0].data(), "phy0-sta0");
  EXPECT_EQ(read.error, 0);
}

TEST_F(ReadSettings, FillsBothLedNames) {
  write_file(dir_ / "settings", "MOD_NORVASK_LED2=\"red:two\"\nMOD_NORVASK_LED=green:one\n");
  const Read read = read_from(dir_ / "settings");
  EXPECT_STREQ(read.settings.led1.text.data(), "green:one");
  EXPECT_STREQ(read.settings.led2.text.data(), "red:two");
  EXPECT_TRUE(read.settings.led1.given && read.settings.led2.given);
  // Without the keys, both LEDs are the board's.
  write_file(dir_ / "settings", "MOD_NORVASK_MODE=1\n");
  const Read without = read_from(dir_ / "settings");
  EXPECT_FALSE(without.settings.led1.given || without.settings.led2.given);
}

// Only a regular file, after links, is read; anything else reads as a file
// that cannot be read, at once, whatever it would give.
TEST_F(ReadSettings, WhatIsNotARegularFileCannotBeRead) {
  const std::string text = "MOD_NORVASK_MODE=11\nMOD_NORVASK_MODE2=13\n";
  write_file(dir_ / "real", text);
  const std::string fifo = dir_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string fed = dir_ / "fed-fifo";  // a writer has already put modes in it
  ASSERT_EQ(mkfifo(fed.c_str(), 0600), 0);
  const int reader = open(fed.c_str(), O_RDONLY | O_NONBLOCK);
  const int writer = open(fed.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_EQ(write(writer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ASSERT_EQ(mkdir((dir_ / "dir").c_str(), 0700), 0);
  ASSERT_EQ(symlink("/dev/zero", (dir_ / "zero").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", (dir_ / "null").c_str()), 0);
  ASSERT_EQ(symlink((dir_ / "real").c_str(), (dir_ / "link").c_str()), 0);
  const struct {
    const char* name;
    int error;  // 0: read, both modes as written
  } cases[] = {
      {"real", 0},      {"link", 0},          {"missing", ENOENT}, {"dir", EISDIR},
      {"fifo", EINVAL}, {"fed-fifo", EINVAL}, {"zero", EINVAL},    {"null", EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Read read = read_from(dir_ / c.name);
    if (read.error == -2) {
      ADD_FAILURE() << "read_settings did not return within 2 s";
      continue;
    }
    EXPECT_EQ(read.error, c.error);
    const bool readable = c.error == 0;
    EXPECT_EQ(read.settings.mode1, readable ? 11U : 0U);
    EXPECT_EQ(read.settings.mode2, readable ? 13U : 0U);
    EXPECT_EQ(read.settings.wifi_ap.count, 2U) << "the default access points";
    EXPECT_STREQ(read.settings.wifi_ap.names[1].data(), "wlan02");
    EXPECT_STREQ(read.settings.wifi_client.names[0].data(), "wlan1");
  }
  close(writer);
  close(reader);
}

}  // namespace
