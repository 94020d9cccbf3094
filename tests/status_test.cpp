#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "exec/exec.h"
#include "status/status.h"
#include "status/status_internal.h"
#include "test_util.h"

namespace {

// ---- the daemon's exports, found through its dynamic symbol table ----

std::vector<ElfSymbol> exports() {
  return {{"got_signal", 0, 0, false},
          {"uart1_stat", 0, 0, false},
          {"uart2_stat", 0, 0, false},
          {"set_led1", 0, 0, false}};
}

int lookup(const std::string& path, std::vector<ElfSymbol>& symbols) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -2;
  std::uint64_t first_page = 0;
  const int result = elf_lookup(fd, symbols.data(), symbols.size(), first_page);
  close(fd);
  return result;
}

// AddressSanitizer pads every global with a red zone, which its symbol counts.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool padded_globals = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool padded_globals = true;
#else
constexpr bool padded_globals = false;
#endif
#else
constexpr bool padded_globals = false;
#endif

bool has_size(const ElfSymbol& symbol, std::uint64_t size) {
  return symbol.found && (padded_globals ? symbol.size >= size : symbol.size == size);
}

TEST(ElfLookup, FindsTheDaemonsExportedDataAndNothingElse) {
  std::vector<ElfSymbol> symbols = exports();
  ASSERT_EQ(lookup(NORVASK_DAEMON_FILE, symbols), 0);
  EXPECT_TRUE(has_size(symbols[0], 4));
  EXPECT_TRUE(has_size(symbols[1], sizeof(SerialStat)));
  EXPECT_TRUE(has_size(symbols[2], sizeof(SerialStat)));
  EXPECT_NE(symbols[1].value, symbols[2].value);
  EXPECT_FALSE(symbols[3].found) << "a hidden function was found";
}

Elf64_Shdr* section_header(std::string& file, std::size_t index) {
  auto* header = reinterpret_cast<Elf64_Ehdr*>(file.data());
  return reinterpret_cast<Elf64_Shdr*>(file.data() + header->e_shoff) + index;
}

// The string table that holds the dynamic symbols' names.
Elf64_Shdr* dynamic_names(std::string& file) {
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(file.data());
  for (std::size_t i = 0; i < header->e_shnum; ++i) {
    if (section_header(file, i)->sh_type == SHT_DYNSYM) {
      return section_header(file, section_header(file, i)->sh_link);
    }
  }
  return nullptr;
}

TEST(ElfLookup, DamagedProgramFilesAreRefusedOrYieldNothing) {
  const std::string original = read_file(NORVASK_DAEMON_FILE);
  ASSERT_GT(original.size(), sizeof(Elf64_Ehdr));
  struct Case {
    const char* name;
    std::function<void(std::string&)> damage;
    int result;
  };
  const std::vector<Case> cases{
      {"not a program", [](std::string& f) { f = "#!/bin/sh\nexit 0\n"; }, -1},
      {"32-bit", [](std::string& f) { f[EI_CLASS] = ELFCLASS32; }, -1},
      {"another machine",
       [](std::string& f) { reinterpret_cast<Elf64_Ehdr*>(f.data())->e_machine = EM_RISCV; }, -1},
      {"cut after its first header", [](std::string& f) { f.resize(sizeof(Elf64_Ehdr)); }, -1},
      {"cut before its section headers",
       [](std::string& f) { f.resize(reinterpret_cast<Elf64_Ehdr*>(f.data())->e_shoff); }, -1},
      // A name offset past its table must not reach the bytes beyond it.
      {"names past their table", [](std::string& f) { dynamic_names(f)->sh_size = 1; }, 0},
      {"names in a table of another kind",
       [](std::string& f) { dynamic_names(f)->sh_type = SHT_PROGBITS; }, -1},
  };
  TempDir dir;
  for (const Case& c : cases) {
    std::string file = original;
    c.damage(file);
    write_file(dir / "damaged", file);
    std::vector<ElfSymbol> symbols = exports();
    EXPECT_EQ(lookup(dir / "damaged", symbols), c.result) << c.name;
    for (const ElfSymbol& symbol : symbols) EXPECT_FALSE(symbol.found) << c.name << symbol.name;
  }
}

TEST(MapsLoadStart, TakesThePathsMappingFromTheFilesStart) {
  const char* path = "/opt/norvask/bin/norvaskd";
  const std::string maps =
      "5555aaa00000-5555aaa01000 r--p 00001000 08:01 77    /opt/norvask/bin/norvaskd\n"
      "5555aab00000-5555aab01000 r--p 00000000 08:01 78    /opt/norvask/bin/norvaskd2\n"
      "5555aac00000-5555aac01000 r--p 00000000 08:01 78    /opt/norvask/bin/norvaskd.old\n"
      "7f0000000000-7f0000001000 rw-p 00000000 00:00 0 \n"
      "5555aad00000-5555aad01000 r--p 00000000 08:01 77    /opt/norvask/bin/norvaskd\n";
  struct Case {
    std::string text;
    const char* path;
    int result;
    std::uint64_t start;
  };
  const std::vector<Case> cases{
      {maps, path, 0, 0x5555aad00000},
      {maps, "/opt/norvask/bin/norvaskd (deleted)", -1, 0},
      {"5555aae00000-5555aae01000 r--p 00000000 08:01 77   /a b (deleted)\n", "/a b (deleted)", 0,
       0x5555aae00000},
      {"", path, -1, 0},
      {"garbage\n\n", path, -1, 0},
  };
  for (const Case& c : cases) {
    std::FILE* stream = fmemopen(const_cast<char*>(c.text.data()), c.text.size() + 1, "r");
    ASSERT_NE(stream, nullptr);
    std::uint64_t start = 0;
    EXPECT_EQ(maps_load_start(stream, c.path, start), c.result) << c.text;
    if (c.result == 0) {
      EXPECT_EQ(start, c.start) << c.text;
    }
    (void)std::fclose(stream);
  }
}

// ---- the running daemon, through its pid file ----

class DaemonLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    self_ = exe;
    daemon_pid_file = pid_file_.c_str();
    // The tests stand in for a daemon run by their own user.
    daemon_uid = getuid();
  }
  void TearDown() override {
    daemon_pid_file = "/var/run/norvaskd.pid";
    daemon_exe_path = "/opt/norvask/bin/norvaskd";
    daemon_uid = 0;
    got_signal = 0;
    uart1_stat = {};
    uart2_stat = {};
  }

  TempDir dir_;
  std::string pid_file_ = dir_ / "norvaskd.pid";
  std::string self_;
};

// This test program exports the daemon's three symbols as the daemon does:
// it stands in for a running daemon, read at its own load address.
TEST_F(DaemonLookup, ReadsTheExportsOfTheProcessThePidFileNames) {
  // Looked at through its /proc directory, an emulated process runs the emulator.
  if (std::getenv("NORVASK_TEST_EMULATED")) GTEST_SKIP() << "/proc shows the emulator's program";
  daemon_exe_path = self_.c_str();
  write_file(pid_file_, std::to_string(getpid()) + "\n");
  got_signal = 15;
  uart1_stat = {1, 4412, 98};
  uart2_stat = {0, -3, 1LL << 40};
  StatusReport report{};
  ASSERT_EQ(look_at_daemon(report), 0) << report.problem.data();
  const DaemonReport& daemon = report.daemon;
  EXPECT_EQ(daemon.state, DaemonState::Running);
  EXPECT_EQ(daemon.pid, getpid());
  ASSERT_TRUE(daemon.exports_read);
  EXPECT_EQ(daemon.got_signal, 15);
  EXPECT_EQ(daemon.uart[0].valid, 1);
  EXPECT_EQ(daemon.uart[0].rx, 4412);
  EXPECT_EQ(daemon.uart[0].tx, 98);
  EXPECT_EQ(daemon.uart[1].rx, -3);
  EXPECT_EQ(daemon.uart[1].tx, 1LL << 40);
  EXPECT_GT(daemon.started_ms, 0);
}

TEST_F(DaemonLookup, APidFileWithoutTheDaemonIsAnAnswer) {
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  waitpid(ended, nullptr, 0);
  struct Case {
    const char* name;
    std::string content;  // null: no pid file
    DaemonState state;
    const char* reason;
  };
  const std::vector<Case> cases{
      {"no pid file", "", DaemonState::NotRunning, "no pid file"},
      {"no pid in it", "norvaskd\n", DaemonState::NotRunning, "holds no pid"},
      {"more than a pid", std::to_string(getpid()) + "x\n", DaemonState::NotRunning,
       "holds no pid"},
      {"a pid that ended", std::to_string(ended) + "\n", DaemonState::NotRunning, "has ended"},
      {"another program", std::to_string(getpid()), DaemonState::OtherProgram, ", which is /"},
  };
  for (const Case& c : cases) {
    (void)std::remove(pid_file_.c_str());
    if (!c.content.empty()) write_file(pid_file_, c.content);
    StatusReport report{};
    EXPECT_EQ(look_at_daemon(report), 0) << c.name;
    EXPECT_EQ(report.daemon.state, c.state) << c.name;
    EXPECT_NE(std::strstr(report.daemon.reason.data(), c.reason), nullptr)
        << c.name << ": " << report.daemon.reason.data();
    EXPECT_FALSE(report.daemon.exports_read) << c.name;
  }
}

// A process that runs `program` (with `argument`) until the test ends.
class Running {
 public:
  Running(const std::string& program, const char* argument) : pid_(fork()) {
    if (pid_ == 0) {
      execl(program.c_str(), program.c_str(), argument, nullptr);
      _exit(127);
    }
    // Until it runs the program.
    char exe[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid_) + "/exe";
    for (int i = 0; i < 200; ++i) {
      const ssize_t n = readlink(link.c_str(), exe, sizeof exe);
      if (n > 0 && std::string(exe, static_cast<std::size_t>(n)) == program) break;
      usleep(10000);
    }
  }
  ~Running() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

// The name /proc gives a process's program is no identity: only the daemon's
// user running the installed file is the daemon, and only that file's
// symbols are read.
TEST_F(DaemonLookup, ANameIsNoIdentity) {
  // Each process runs a copy of sleep from the test's folder, natively also
  // when the tests themselves run under an emulator.
  const std::string program = dir_ / "norvaskd";
  const std::string sleeper = read_file("/bin/sleep");
  write_file(program, sleeper);
  chmod(program.c_str(), 0755);
  daemon_exe_path = program.c_str();
  const Running old(program, "60");
  write_file(pid_file_, std::to_string(old.pid()) + "\n");
  daemon_uid = getuid() + 1;
  StatusReport report{};
  EXPECT_EQ(look_at_daemon(report), 0) << report.problem.data();
  EXPECT_EQ(report.daemon.state, DaemonState::OtherProgram);
  EXPECT_NE(std::strstr(report.daemon.reason.data(), ", but not as root"), nullptr)
      << report.daemon.reason.data();
  daemon_uid = getuid();

  // A file put in the place of the one a process runs: when the running file
  // keeps no name it is the daemon's old file, which an update replaced;
  // when it still has one, it is some other file.
  write_file(dir_ / "update", sleeper);
  ASSERT_EQ(rename((dir_ / "update").c_str(), program.c_str()), 0);
  report = {};
  EXPECT_EQ(look_at_daemon(report), 0) << report.problem.data();
  EXPECT_EQ(report.daemon.state, DaemonState::Running);
  EXPECT_TRUE(report.daemon.replaced);
  EXPECT_FALSE(report.daemon.exports_read);

  const std::string linked = dir_ / "linked";
  write_file(linked, sleeper);
  chmod(linked.c_str(), 0755);
  ASSERT_EQ(link(linked.c_str(), (dir_ / "kept").c_str()), 0);
  const Running other(linked, "60");
  write_file(dir_ / "update", sleeper);
  ASSERT_EQ(rename((dir_ / "update").c_str(), linked.c_str()), 0);
  daemon_exe_path = linked.c_str();
  write_file(pid_file_, std::to_string(other.pid()) + "\n");
  report = {};
  EXPECT_EQ(look_at_daemon(report), 0) << report.problem.data();
  EXPECT_EQ(report.daemon.state, DaemonState::OtherProgram) << report.daemon.reason.data();
  EXPECT_FALSE(report.daemon.exports_read);
}

// ---- commands that hang, and stop signals ----

class BoundedCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    bound_commands();
    commands_not_answered = 0;
    status_stop = 0;
  }
  void TearDown() override {
    child_control = nullptr;
    commands_not_answered = 0;
    status_stop = 0;
    (void)signal(SIGALRM, SIG_DFL);
  }

  // Whether the process `pid` is gone (or left as a zombie) within a second.
  static bool gone(pid_t pid) {
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 100; ++i) {
      const std::string text = read_file(stat);
      const std::size_t end = text.rfind(')');
      if (text.empty() || (end != std::string::npos && text.compare(end, 4, ") Z ") == 0)) {
        return true;
      }
      usleep(10000);
    }
    return false;
  }

  std::string pipeline() const {
    return "sleep 60 & echo $! >" + dir_ / "pid" + "; sleep 60 | sleep 60";
  }
  static std::int64_t run_ms(const std::string& command, int& status) {
    const auto started = std::chrono::steady_clock::now();
    status = shell_command(command.c_str());
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 started)
        .count();
  }

  TempDir dir_;
};

// A command that never ends is ended at its bound with everything it
// started, and no other command starts until the next look.
TEST_F(BoundedCommands, ACommandPastItsBoundIsEndedWithItsGroup) {
  int status = 0;
  const std::int64_t ms = run_ms(pipeline(), status);
  EXPECT_EQ(status, -1);
  EXPECT_GE(ms, command_seconds * 1000 - 50);
  EXPECT_LT(ms, command_seconds * 1000 + 1000);
  EXPECT_EQ(commands_not_answered, 1);
  EXPECT_TRUE(gone(std::stoi(read_file(dir_ / "pid")))) << "a program it started runs on";
  const std::string marker = dir_ / "ran";
  EXPECT_EQ(shell_command(("touch " + marker).c_str()), -1);
  EXPECT_FALSE(file_exists(marker.c_str()));
  commands_not_answered = 0;
  EXPECT_EQ(shell_command("exit 0"), 0);
}

void note_stop(int /*signal_number*/) { status_stop = SIGTERM; }

// A stop signal ends the command at once, and none starts after it.
TEST_F(BoundedCommands, AStopEndsTheCommandAtOnce) {
  struct sigaction action {};
  action.sa_handler = note_stop;
  sigaction(SIGALRM, &action, nullptr);
  itimerval timer{};
  timer.it_value.tv_usec = 200000;
  setitimer(ITIMER_REAL, &timer, nullptr);
  int status = 0;
  const std::int64_t ms = run_ms(pipeline(), status);
  EXPECT_EQ(status, -1);
  EXPECT_LT(ms, 1000);
  EXPECT_EQ(commands_not_answered, 0);
  EXPECT_TRUE(gone(std::stoi(read_file(dir_ / "pid")))) << "a program it started runs on";
  const std::string marker = dir_ / "ran";
  EXPECT_EQ(shell_command(("touch " + marker).c_str()), -1);
  EXPECT_FALSE(file_exists(marker.c_str()));
}

// ---- what the captures say ----

TEST(Listings, StationsAndCutProgramNames) {
  const char* hostapd =
      "02:00:5e:00:00:01\nflags=[AUTH][ASSOC][AUTHORIZED]\naid=1\nrx_bytes=77\n"
      "0A:1b:2C:3d:4E:5f\naid=2\n02:00:5e:00:00:0\n02:00:5e:00:00:011\n";
  EXPECT_EQ(count_stations(hostapd), 2);
  EXPECT_EQ(count_stations("\x01\x02 garbage\nRX bytes: none\n"), 0);
  EXPECT_EQ(count_stations(""), 0);

  struct Case {
    const char* netstat;
    const char* cut;  // null: none found
  };
  const Case cases[] = {
      {"tcp 0 0 127.0.0.1:4000 127.0.0.1:4001 ESTABLISHED 12345/tessik_client\n",
       "12345/tessik_client"},
      {"tcp 0 0 127.0.0.1:4000 127.0.0.1:4001 ESTABLISHED 123456/tessik_clien   \n",
       "123456/tessik_clien"},
      // Whole names, other states and other programs are not cut names.
      {"tcp 0 0 127.0.0.1:4000 127.0.0.1:4001 ESTABLISHED 1234/tessik_clientd\n", nullptr},
      {"tcp 0 0 127.0.0.1:4002 0.0.0.0:* LISTEN 12345/tessik_client\n", nullptr},
      {"tcp 0 0 127.0.0.1:4000 127.0.0.1:4001 ESTABLISHED 12345/other_program\n", nullptr},
      {"tcp 0 0 127.0.0.1:4000 127.0.0.1:4001 ESTABLISHED 1234567890123456789/\n", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    char cut[32] = {};
    EXPECT_EQ(find_cut_owner(c.netstat, "tessik_clientd", cut, sizeof cut), c.cut ? 1 : 0)
        << c.netstat;
    if (c.cut) {
      EXPECT_STREQ(cut, c.cut);
    }
  }
}

// ---- rendering ----

std::string rendered(const std::function<void(std::FILE*)>& render) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  render(out);
  (void)std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

TEST(JsonString, EscapesWhatJsonNeedsAndKeepsOnlyValidUtf8) {
  const std::pair<const char*, const char*> cases[] = {
      {"home", R"("home")"},
      {"say \"hi\"\\", R"("say \"hi\"\\")"},
      {"tab\tline\n\x01\x7f", R"("tab\u0009line\u000a\u0001\u007f")"},
      {"Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb6",
       "\"Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb6\""},
      {"\xfe\xff", R"("\ufffd\ufffd")"},
      {"\xc3", R"("\ufffd")"},            // cut short at the end
      {"\xc3(", R"("\ufffd(")"},          // no continuation byte
      {"\xc0\xaf", R"("\ufffd\ufffd")"},  // overlong
      {"\xe0\x80\xaf", R"("\ufffd\ufffd\ufffd")"},
      {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},            // a surrogate
      {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // past U+10FFFF
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rendered([&](std::FILE* out) { json_string(out, c.first); }), c.second) << c.first;
  }
  EXPECT_EQ(rendered([](std::FILE* out) { plain_string(out, "a\x1b[7mb\n"); }), "a?[7mb?");
}

TEST(PlainText, TunnelsWithTheSameStoryShareOnePart) {
  StatusReport report{};
  report.settings = {13, 0};
  LedReport& led = report.leds[0];
  led.mode = 13;
  led.row = mode_row(13);
  led.looked = true;
  led.answer = 1;
  led.step = decide(13, 1);
  led.probes.tunnels = {{{true, 256, -1, 0}, {true, 256, -1, 0}, {true, 0, 0, 5}, {}}};
  report.leds[1].row = mode_row(0);
  report.leds[1].step = decide(0, 0);
  const std::string text = rendered([&](std::FILE* out) { render_plain(report, out); });
  EXPECT_NE(text.find("LED 1  mode 13  OpenVPN tunnel: on\n"
                      "       tun0, tun1: no such interface; tun2: received 5 bytes; "
                      "tun3: not looked at\n"),
            std::string::npos)
      << text;
}

}  // namespace
