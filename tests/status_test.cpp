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
#include <thread>
#include <vector>

#include "exec/exec.h"
#include "settings/settings_internal.h"
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

void note_stop(int signal_number) { status_stop = signal_number; }

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

// ---- whose process a service's line names ----

// Runs /bin/sleep under the program name `argv0` until the test ends; the
// constructor returns once it runs it.
class Named {
 public:
  explicit Named(const char* argv0) {
    int exec_done[2] = {-1, -1};
    if (pipe2(exec_done, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      execl("/bin/sleep", argv0, "60", nullptr);
      _exit(127);
    }
    close(exec_done[1]);
    // The exec closes the child's end: nothing to read means it happened.
    char byte = 0;
    while (pid_ > 0 && read(exec_done[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(exec_done[0]);
  }
  ~Named() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Named(const Named&) = delete;
  Named& operator=(const Named&) = delete;
  [[nodiscard]] std::string pid() const { return std::to_string(pid_); }

 private:
  pid_t pid_ = -1;
};

TEST(ServiceOwner, OnlyAProcessThatStillBearsTheNameNetstatShowedIsBelieved) {
  TempDir dir;
  const std::string passwd = dir / "passwd";
  write_file(passwd, "someone:x:" + std::to_string(geteuid()) +
                         ":100::/home/someone:/bin/sh\nroot:x:0:0:root:/root:/bin/sh\n");
  passwd_path = passwd.c_str();
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  waitpid(ended, nullptr, 0);
  // netstat shows a path's last part, other names whole, all cut to 19 characters.
  const Named path("/usr/sbin/tessik_clientd");
  const Named blanks("my  drennic");
  const Named relative("./drennic");
  const std::string line =
      "tcp        0      0 127.0.0.1:4003          0.0.0.0:*               "
      "LISTEN      ";
  const auto column = [](const std::string& pid, const std::string& name) {
    return (pid + "/" + name).substr(0, 19);
  };
  struct Case {
    std::string line;
    pid_t pid;  // 0: none
    bool found;
  };
  const Case cases[] = {
      {line + column(path.pid(), "tessik_clientd") + "  \n", std::stoi(path.pid()), true},
      {line + column(blanks.pid(), "my  drennic"), std::stoi(blanks.pid()), true},
      {line + column(relative.pid(), "./drennic"), std::stoi(relative.pid()), true},
      // The pid runs another program than netstat showed, or none.
      {line + column(path.pid(), "drennic"), std::stoi(path.pid()), false},
      {line + column(relative.pid(), "drennic"), std::stoi(relative.pid()), false},
      {line + std::to_string(ended) + "/drennic", ended, false},
      // No pid to look at.
      {line + "-", 0, false},
      {"tcp 0 0 127.0.0.1:4003 0.0.0.0:* LISTEN", 0, false},
      {line + "0/drennic", 0, false},
      {line + "+" + path.pid() + "/tessik_clientd", 0, false},
      {line + "99999999999/drennic", 0, false},
  };
  for (const Case& c : cases) {
    ServiceOwner owner{};
    find_service_owner(c.line.c_str(), owner);
    EXPECT_TRUE(owner.seen) << c.line;
    EXPECT_EQ(owner.pid, c.pid) << c.line;
    EXPECT_EQ(owner.found, c.found) << c.line;
    if (c.found) {
      EXPECT_EQ(owner.uid, geteuid()) << c.line;
      EXPECT_STREQ(owner.user.data(), "someone") << c.line;
    } else {
      EXPECT_STREQ(owner.user.data(), "") << c.line;
    }
  }
  passwd_path = "/etc/passwd";
}

TEST(ServiceOwner, UserNamesComeOnlyFromWholeLinesOfARegularFile) {
  TempDir dir;
  const std::string passwd = dir / "passwd";
  const std::string long_line = std::string(1100, 'x') + "ghost:x:7:7::/:/bin/sh\n";
  struct Case {
    const char* what;
    std::string text;
    const char* name;  // null: none
  };
  const Case cases[] = {
      {"its line", "root:x:0:0::/:\nseven:x:7:7::/:\n", "seven"},
      {"the first line for the uid", "first:x:7:7::/:\nsecond:x:7:7::/:\n", "first"},
      {"a last line without its newline", "last:x:7:", "last"},
      {"other uids", "a:x:17:7::/:\nb:x:70:7::/:\nc:x:-7:7::/:\nd:x: 7:7::/:\ne:x:7\n", nullptr},
      {"the tail of a line too long to read", long_line + "real:x:7:7::/:\n", "real"},
      {"a name too long to keep", std::string(64, 'n') + ":x:7:7::/:\n", nullptr},
      {"an empty name", ":x:7:7::/:\n", nullptr},
      {"a NUL in the name", std::string("ev\0il:x:7:7::/:\n", 16), nullptr},
      // Shown escaped, wherever it is shown.
      {"control characters", "\x1b[2J:x:7:7::/:\n", "\x1b[2J"},
  };
  for (const Case& c : cases) {
    write_file(passwd, c.text);
    char name[64] = "unchanged";
    EXPECT_EQ(user_name(passwd.c_str(), 7, name, sizeof name), c.name ? 1 : 0) << c.what;
    if (c.name) {
      EXPECT_STREQ(name, c.name) << c.what;
    }
  }
  char name[64];
  EXPECT_EQ(user_name((dir / "missing").c_str(), 0, name, sizeof name), -1);
  EXPECT_EQ(user_name(dir.path().c_str(), 0, name, sizeof name), -1) << "a directory";
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(user_name((dir / "fifo").c_str(), 0, name, sizeof name), -1) << "a FIFO, not waited on";
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
  EXPECT_EQ(rendered([](std::FILE* out) { plain_string(out, "a\x1b[7mb\n"); }), "a\\x1b[7mb\\n");
}

TEST(PlainText, TunnelsWithTheSameStoryShareOnePart) {
  StatusReport report{};
  report.settings = {13, 0};
  LedReport& led = report.leds[0];
  led.mode = 13;
  led.row = mode_row(13);
  led.looked = true;
  led.answer = tri_answer(TriState::Yes);
  led.step = decide(13, led.answer);
  led.probes.tunnels = {{{true, 256, -1, 0}, {true, 256, -1, 0}, {true, 0, 0, 5}, {}}};
  report.leds[1].row = mode_row(0);
  report.leds[1].step = decide(0, ModeAnswer{});
  const std::string text = rendered([&](std::FILE* out) { render_plain(report, out); });
  EXPECT_NE(text.find("LED 1  mode 13  OpenVPN tunnel: on\n"
                      "       tun0, tun1: no such interface; tun2: received 5 bytes; "
                      "tun3: not looked at\n"),
            std::string::npos)
      << text;
}

// ---- outside text on its way to a terminal or a web page ----

TEST(TerminalText, ControlsAndBytesThatAreNotUtf8AreShownEscaped) {
  const std::pair<const char*, const char*> cases[] = {
      {"\x1b[2J", R"(\x1b[2J)"},
      {"a\nLED 1", R"(a\nLED 1)"},
      {"a\rb\tc\x01", R"(a\rb\tc\x01)"},
      {"del\x7f", R"(del\x7f)"},
      {"\x9bK", R"(\x9bK)"},        // C1's CSI, raw
      {"\xc2\x9bK", R"(\u009bK)"},  // and as UTF-8
      {"\xc2\x85\xc2\x80\xc2\x9f", R"(\u0085\u0080\u009f)"},
      {"\xc0\xaf", R"(\xc0\xaf)"},                  // overlong
      {"\xed\xa0\x80", R"(\xed\xa0\x80)"},          // a surrogate
      {"\xf4\x90\x80\x80", R"(\xf4\x90\x80\x80)"},  // past U+10FFFF
      {"\xff\xfe", R"(\xff\xfe)"},
      {"ok\xe2\x82", R"(ok\xe2\x82)"},  // cut short at the end
      // A right-to-left override, the hostile input itself.
      {"\xe2\x80\xaegnp.exe", R"(\u202egnp.exe)"},  // NOLINT(misc-misleading-bidirectional)
      {"a\xe2\x80\xa8z", R"(a\u2028z)"},
      // The escapes' own characters are escaped: no text can pass for an escape.
      {R"(\x1b "q")", R"(\\x1b \"q\")"},
      {"Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb6 <&>",
       "Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb6 <&>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rendered([&](std::FILE* out) { plain_string(out, c.first); }), c.second) << c.second;
  }
}

// A line that would forge the report, with every kind of hostile byte.
constexpr const char* forged = "x\x1b[2J\r\nLED 1  mode 11  Wi-Fi hotspot: on\xc2\x9b\x9b\x7f\nz";

StatusReport quiet_report(std::uint32_t mode) {
  StatusReport report{};
  report.settings = {mode, 0};
  LedReport& led = report.leds[0];
  led.mode = mode;
  led.row = mode_row(mode);
  led.looked = true;
  if (led.row.source == Source::WifiAp) led.wifi = report.settings.wifi_ap;
  if (led.row.source == Source::WifiClient) led.wifi = report.settings.wifi_client;
  report.leds[1].row = mode_row(0);
  report.leds[1].step = decide(0, ModeAnswer{});
  report.daemon.state = DaemonState::NotRunning;
  format_text(report.daemon.reason.data(), report.daemon.reason.size(), "no pid file");
  return report;
}

void set_text(std::array<char, status_text_size>& field, const char* text) {
  format_text(field.data(), field.size(), "%s", text);
}

// `text` with every byte outside printable ASCII as \xHH, for a failure's message.
std::string visible(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 0x20 && byte < 0x7f) || byte == '\n') {
      shown += c;
    } else {
      char hex[8];
      format_text(hex, sizeof hex, "\\x%02x", byte);
      shown += hex;
    }
  }
  return shown;
}

TEST(TerminalText, EveryOutsideTextInThePlainReportIsEscaped) {
  struct Case {
    const char* name;
    std::uint32_t mode;
    std::function<void(StatusReport&)> plant;
  };
  const std::vector<Case> cases{
      {"an ssid", 12,
       [](StatusReport& r) {
         set_text(r.leds[0].text, forged);
         r.leds[0].probes.traffic[client_watch] = {"wlan1", 1, {}};
         r.leds[0].answer = action_answer(LedAction::Blink);
       }},
      {"netstat's line of a connection", 15,
       [](StatusReport& r) {
         set_text(r.leds[0].text, forged);
         r.leds[0].answer = tri_answer(TriState::Yes);
       }},
      {"netstat's cut owner column", 15,
       [](StatusReport& r) { set_text(r.leds[0].cut_name, forged); }},
      {"netstat's line of a listener", 16,
       [](StatusReport& r) {
         set_text(r.leds[0].text, forged);
         r.leds[0].answer = tri_answer(TriState::Yes);
       }},
      {"the name of the listener's user", 16,
       [](StatusReport& r) {
         set_text(r.leds[0].text, "tcp 0 0 0.0.0.0:443 0.0.0.0:* LISTEN 7/drennic");
         r.leds[0].answer = tri_answer(TriState::Yes);
         r.leds[0].owner = {true, 7, true, 1000, {}};
         format_text(r.leds[0].owner.user.data(), r.leds[0].owner.user.size(), "%s", forged);
       }},
      {"the program the pid file names", 0,
       [](StatusReport& r) {
         r.daemon.state = DaemonState::OtherProgram;
         format_text(r.daemon.reason.data(), r.daemon.reason.size(),
                     "/var/run/norvaskd.pid names pid 7, which is %s, not x", forged);
       }},
      {"a problem", 0, [](StatusReport& r) { set_text(r.problem, forged); }},
  };
  for (const Case& c : cases) {
    StatusReport report = quiet_report(c.mode);
    c.plant(report);
    report.leds[0].step = decide(c.mode, report.leds[0].answer);
    const std::string text = rendered([&](std::FILE* out) { render_plain(report, out); });
    EXPECT_NE(text.find(R"(x\x1b[2J\r\nLED 1  mode 11  Wi-Fi hotspot: on\u009b\x9b\x7f\nz)"),
              std::string::npos)
        << c.name << ":\n"
        << visible(text);
    EXPECT_EQ(text.find_first_of("\x1b\r\x7f\x9b"), std::string::npos) << c.name << ":\n"
                                                                       << visible(text);
    EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << c.name << ":\n" << visible(text);
    EXPECT_EQ(text.find("\nLED 1  mode 11"), std::string::npos) << c.name << ":\n" << visible(text);
  }
}

TEST(JsonString, WebPageAndTerminalCharactersAreEscapedToo) {
  const std::pair<const char*, const char*> cases[] = {
      {"</script><b>&amp;", R"("\u003c/script\u003e\u003cb\u003e\u0026amp;")"},
      {"a\xe2\x80\xa8z\xe2\x80\xa9", R"("a\u2028z\u2029")"},
      {"\xc2\x9bK\xc2\x85", R"("\u009bK\u0085")"},
      {"\xe2\x80\xaetxt", R"("\u202etxt")"},  // NOLINT(misc-misleading-bidirectional)
      {"\x9b", R"("\ufffd")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rendered([&](std::FILE* out) { json_string(out, c.first); }), c.second) << c.second;
  }
}

// ---- looks at the board through stand-in commands ----

// norvask-status's look at the LEDs, with its settings, commands and private
// directory in a directory of the test's own.
class Look : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_path = settings_.c_str();
    status_tmp_dir = dir_.path().c_str();
    setenv("NORVASK_TEST_PID", std::to_string(getpid()).c_str(), 1);
    struct sigaction action {};
    action.sa_handler = note_stop;
    sigaction(SIGUSR1, &action, &saved_);
    iface_forget_snapshots();
  }
  void TearDown() override {
    sigaction(SIGUSR1, &saved_, nullptr);
    status_stop = 0;
    settings_path = "/opt/norvask/etc/settings";
    status_tmp_dir = "/tmp";
    iface_forget_snapshots();
  }

  // Looks with the LEDs on `modes`: the plain report and the JSON one.
  std::pair<std::string, std::string> look(std::uint32_t mode1, std::uint32_t mode2,
                                           int expected = 0, const std::string& more = "") {
    write_file(settings_, "MOD_NORVASK_MODE=" + std::to_string(mode1) +
                              "\nMOD_NORVASK_MODE2=" + std::to_string(mode2) + "\n" + more);
    report_ = StatusReport{};
    EXPECT_EQ(look_at_leds(report_), expected) << report_.problem.data();
    report_.daemon.state = DaemonState::NotRunning;
    return {rendered([&](std::FILE* out) { render_plain(report_, out); }),
            rendered([&](std::FILE* out) { render_json(report_, out); })};
  }

  void command(const std::string& name, const std::string& body) {
    write_script(bin_ / name, body);
  }

  TempDir dir_;
  TempDir bin_;
  PathPrefix path_{bin_.path()};
  std::string settings_ = dir_ / "settings";
  struct sigaction saved_ {};
  StatusReport report_{};
};

TEST_F(Look, AStationListingLongerThanWhatIsReadIsSaidToBeCut) {
  // 1024 stations of about 150 bytes each, on wlan0 alone.
  command("hostapd_cli",
          "[ \"$2\" = wlan0 ] || exit 0\n"
          "s='02:00:5e:00:00:01\\nflags=[AUTH][ASSOC][AUTHORIZED]\\naid=1\\n"
          "rx_packets=4711 tx_packets=4712 rx_bytes=1234567 tx_bytes=7654321\\n"
          "connected_time=3600 signal=-40 inactive_msec=120\\n'\n"
          "for twice in 1 2 3 4 5 6 7 8 9 10; do s=\"$s$s\"; done\n"
          "printf \"$s\"");
  const auto [plain, json] = look(11, 0);
  const StationsSeen& seen = report_.leds[0].stations[0];
  EXPECT_GT(seen.listing_bytes, 100000);
  EXPECT_LT(seen.stations, 1024);
  EXPECT_NE(plain.find("wlan0: at least " + std::to_string(seen.stations) +
                       " devices connected (listing cut: " + std::to_string(seen.listing_bytes) +
                       " bytes)"),
            std::string::npos)
      << plain;
  EXPECT_NE(json.find(R"("iface":"wlan0","stations":)" + std::to_string(seen.stations) +
                      R"(,"listing_bytes":)" + std::to_string(seen.listing_bytes) +
                      R"(,"listing_cut":true)"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("iface":"wlan02","stations":0,"listing_bytes":0,"listing_cut":false)"),
            std::string::npos)
      << json;
}

TEST_F(Look, AStopSignalLeavesNoStateThatItsEvidenceContradicts) {
  // Each command sends the stop signal when its name is in STOP_IN.
  const std::string stop =
      "case \" $STOP_IN \" in *\" $(basename \"$0\") \"*) "
      "kill -USR1 \"$NORVASK_TEST_PID\";; esac\n";
  command("ifconfig", stop + "echo '    RX bytes:5 (5.0 B)  TX bytes:9 (9.0 B)'");
  command("netstat", stop + "echo 'tcp 0 0 0.0.0.0:443 0.0.0.0:* LISTEN 77/drennic'");
  command("wpa_cli", stop + "echo ssid=home");
  struct Case {
    const char* name;
    std::uint32_t mode1, mode2;
    const char* stop_in;
    std::array<bool, 2> interrupted;
  };
  const Case cases[] = {
      {"during LED 1's look", 13, 13, "ifconfig", {true, true}},
      {"during LED 2's look", 16, 13, "ifconfig", {false, true}},
      {"during the first of two looks", 12, 17, "wpa_cli", {true, false}},
      {"after both looks", 16, 13, "", {false, false}},
  };
  for (const Case& c : cases) {
    setenv("STOP_IN", c.stop_in, 1);
    status_stop = 0;
    const bool stopped = c.interrupted[0] || c.interrupted[1];
    const auto [plain, json] = look(c.mode1, c.mode2, stopped ? -1 : 0);
    // Each LED's part of both reports.
    const std::size_t led2_json = json.find(R"({"led":2,)");
    const std::size_t led2_plain = plain.find("\nLED 2  mode ");
    ASSERT_NE(led2_json, std::string::npos) << json;
    ASSERT_NE(led2_plain, std::string::npos) << plain;
    const std::array<std::string, 2> jsons{json.substr(0, led2_json), json.substr(led2_json)};
    const std::array<std::string, 2> plains{plain.substr(0, led2_plain + 1),
                                            plain.substr(led2_plain + 1)};
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(jsons[i].find(R"("unknown_because":"interrupted","state":null,"value":null,)"
                              R"("evidence":null})") != std::string::npos,
                c.interrupted[i])
          << c.name << ", LED " << i + 1 << ":\n"
          << json;
      EXPECT_EQ(plains[i].find(": not looked at (interrupted)\n") != std::string::npos,
                c.interrupted[i])
          << c.name << ", LED " << i + 1 << ":\n"
          << plain;
    }
    EXPECT_EQ(std::string(report_.problem.data()),
              stopped ? "interrupted before every LED was looked at" : "")
        << c.name;
  }
}

// The interfaces the settings name, and a key refused, as both reports and
// the modes' words give them.
TEST_F(Look, TheWifiInterfacesTheSettingsNameAndARefusal) {
  command("hostapd_cli", "[ \"$2\" = phy2-ap0 ] && echo 02:00:5e:00:00:01");
  command("wpa_cli", "echo ssid=home");
  const std::string more =
      "MOD_NORVASK_WIFI_AP=phy0-ap0 phy1-ap0 phy2-ap0\nMOD_NORVASK_WIFI_CLIENT=wlan/1\n";
  const auto [plain, json] = look(11, 12, 0, more);
  for (const char* expected : {
           "settings: MOD_NORVASK_WIFI_CLIENT refused: \"wlan/1\" holds '/'; mode 12 keeps its "
           "LED off\n",
           "LED 1  mode 11  Wi-Fi hotspot: on\n"
           "       phy0-ap0: none; phy1-ap0: none; phy2-ap0: 1 device connected; "
           "phy2-ap0's counters cannot be read\n",
           "LED 2  mode 12  Wi-Fi client: off\n"
           "       MOD_NORVASK_WIFI_CLIENT refused: \"wlan/1\" holds '/'; the LED stays off\n",
       }) {
    EXPECT_NE(plain.find(expected), std::string::npos) << expected << "\nin:\n" << plain;
  }
  EXPECT_EQ(plain.find("settings: MOD_NORVASK_WIFI_AP"), std::string::npos) << plain;
  for (const char* expected : {
           R"("wifi_ap":{"ifaces":["phy0-ap0","phy1-ap0","phy2-ap0"],"refused":null})",
           R"("wifi_client":{"ifaces":[],"refused":"\"wlan/1\" holds '/'"})",
           R"({"iface":"phy2-ap0","stations":1,"listing_bytes":18,"listing_cut":false,)"
           R"("traffic":"unreadable"}]})",
           R"("evidence":{"kind":"wifi_client","refused":"\"wlan/1\" holds '/'","iface":null,)"
           R"("ssid":null,"traffic":"not checked"})",
       }) {
    EXPECT_NE(json.find(expected), std::string::npos) << expected << "\nin:\n" << json;
  }
  const std::string modes =
      rendered([&](std::FILE* out) { render_modes_plain(out, report_.settings); });
  for (const char* expected : {
           "on when: a Wi-Fi access point (phy0-ap0, phy1-ap0 or phy2-ap0) has devices connected",
           "on when: never: MOD_NORVASK_WIFI_CLIENT is refused (\"wlan/1\" holds '/')",
       }) {
    EXPECT_NE(modes.find(expected), std::string::npos) << expected << "\nin:\n" << modes;
  }
  // Alone, the refused key's LED is off: nothing ran, so no capture is
  // missing, even in a thread that has made none (which the tool's is).
  std::string alone;
  std::thread([&] { alone = look(12, 0, 0, more).first; }).join();
  EXPECT_NE(alone.find("LED 1  mode 12  Wi-Fi client: off\n"), std::string::npos) << alone;
  const LedSettings defaults{};
  EXPECT_NE(rendered([&](std::FILE* out) {
              render_modes_json(out, defaults);
            }).find(R"("on":"a Wi-Fi access point (wlan0 or wlan02) has devices connected")"),
            std::string::npos);
}

}  // namespace

namespace {

// Each LED's device as the report names it, and what the kernel shows of
// a kernel LED; the LEDs' directory and the settings in the test's own.
TEST(Devices, EachLedsDeviceAndWhatTheKernelShowsOfIt) {
  TempDir dir;
  const std::string settings = dir / "settings";
  const std::string leds = dir / "leds";
  const char* saved_leds = leds_class_path;
  settings_path = settings.c_str();
  leds_class_path = leds.c_str();
  const auto kernel_led = [&](const std::string& name, const std::string& brightness,
                              const std::string& trigger) {
    make_dirs(leds + "/" + name);
    write_file(leds + "/" + name + "/brightness", brightness + "\n");
    write_file(leds + "/" + name + "/max_brightness", "255\n");
    write_file(leds + "/" + name + "/trigger", trigger + "\n");
  };
  kernel_led("green:wlan", "255", "[none] timer netdev");
  kernel_led("red:vpn", "0", "none timer [netdev]");
  struct Case {
    const char* what;
    std::string line;  // naming LED 1
    std::string json;
    std::string plain;
  };
  const Case cases[] = {
      {"the board's", "",
       R"("device":{"kind":"gpio","name":null,"path":"/dev/gpio","refused_because":null,)"
       R"("brightness":null,"max_brightness":null,"trigger":null})",
       "device: the board's GPIO LED (/dev/gpio)\n"},
      {"a kernel LED", "MOD_NORVASK_LED=green:wlan",
       R"("device":{"kind":"kernel","name":"green:wlan","path":")" + leds +
           R"(/green:wlan","refused_because":null,"brightness":255,"max_brightness":255,)"
           R"("trigger":"none"})",
       "device: kernel LED \"green:wlan\": brightness 255 of 255, no trigger\n"},
      {"a kernel LED another program's trigger drives", "MOD_NORVASK_LED=\"red:vpn\"",
       R"("brightness":0,"max_brightness":255,"trigger":"netdev"})",
       "device: kernel LED \"red:vpn\": brightness 0 of 255, trigger netdev: the kernel's "
       "trigger drives it, not the daemon\n"},
      {"a name with '/'", "MOD_NORVASK_LED=../leds/green:wlan",
       R"("device":{"kind":"refused","name":"../leds/green:wlan","path":null,)"
       R"("refused_because":"the name holds '/'","brightness":null,)",
       "device: none, the daemon leaves this LED alone: the name \"../leds/green:wlan\" is "
       "refused: the name holds '/'\n"},
      {"no such LED", "MOD_NORVASK_LED=white:wan",
       R"("refused_because":"its brightness cannot be opened for writing: No such file or )"
       R"(directory")",
       "the name \"white:wan\" is refused: its brightness cannot be opened for writing: No such "
       "file or directory\n"},
      {"a name that would move the cursor", "MOD_NORVASK_LED=\x1b[2J",
       R"("name":"\u001b[2J","path":null,"refused_because":"the name holds a control character")",
       "the name \"\\x1b[2J\" is refused: the name holds a control character\n"},
  };
  for (const Case& c : cases) {
    write_file(settings, "MOD_NORVASK_MODE=0\nMOD_NORVASK_MODE2=0\n" + c.line + "\n");
    StatusReport report{};
    EXPECT_EQ(look_at_leds(report), 0) << c.what;
    report.daemon.state = DaemonState::NotRunning;
    const std::string json = rendered([&](std::FILE* out) { render_json(report, out); });
    const std::string plain = rendered([&](std::FILE* out) { render_plain(report, out); });
    const std::size_t led1 = json.find(R"({"led":1,"device":{)");
    EXPECT_LT(json.find(c.json, led1), json.find(R"({"led":2,)")) << c.what << ":\n" << json;
    EXPECT_NE(plain.find(c.plain), std::string::npos) << c.what << ":\n" << plain;
    // LED 2, named by no line, is the board's.
    EXPECT_NE(json.find(R"({"led":2,"device":{"kind":"gpio")"), std::string::npos) << c.what;
    EXPECT_EQ(plain.find('\x1b'), std::string::npos) << c.what;
  }
  // A preview is of a mode on neither LED: no device, and the JSON as before.
  StatusReport preview{};
  EXPECT_EQ(look_at_mode(preview, 17), 0);
  EXPECT_NE(rendered([&](std::FILE* out) {
              render_preview_json(preview, out);
            }).find(R"({"preview":{"led":null,"mode":17,)"),
            std::string::npos);
  EXPECT_EQ(rendered([&](std::FILE* out) { render_preview_plain(preview, out); }).find("device"),
            std::string::npos);
  settings_path = "/opt/norvask/etc/settings";
  leds_class_path = saved_leds;
}

}  // namespace
