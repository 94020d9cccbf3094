// The stand-in commands, run as built against the state the board writes:
// what the daemon's probes look for in their output, and the calls log that
// the system tests read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "sim/board.h"
#include "tests/test_util.h"

namespace {

struct Result {
  std::string out;
  int status;
};

class Standin : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(mkdir((dir_ / "bin").c_str(), 0755), 0);
    for (const char* tool :
         {"hostapd_cli", "wpa_cli", "io", "stroke", "swanctl", "ifconfig", "netstat"}) {
      ASSERT_EQ(symlink(NORVASK_SIM_STANDIN, (dir_ / "bin/" + tool).c_str()), 0);
    }
    ASSERT_EQ(setenv("NORVASK_STANDIN_STATE", dir_.path().c_str(), 1), 0);
  }

  void TearDown() override { unsetenv("NORVASK_STANDIN_STATE"); }

  void write(const BoardState& board) {
    ASSERT_EQ(write_board_state(board, dir_.path().c_str()), 0);
  }

  // Runs "tool args..." (split on blanks); its standard output and status.
  Result run(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    words[0] = dir_ / ("bin/" + words[0]);
    std::vector<char*> argv(words.size() + 1, nullptr);
    std::transform(words.begin(), words.end(), argv.begin(),
                   [](std::string& word) { return word.data(); });
    Result result{"", -1};
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
      result.out.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
      result.status = WEXITSTATUS(status);
    }
    return result;
  }

  std::string calls() const { return read_file(dir_ / "calls"); }

 private:
  TempDir dir_;
};

int count_lines_starting(const std::string& text, const std::string& start) {
  int count = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(start, 0) == 0) ++count;
  }
  return count;
}

TEST_F(Standin, WifiToolsFollowStationsAndAssociation) {
  BoardState board = initial_board();
  write(board);
  // The daemon takes any output of hostapd_cli for "stations present".
  EXPECT_EQ(run("hostapd_cli -i wlan0 all_sta").out, "");
  EXPECT_EQ(count_lines_starting(run("wpa_cli -i wlan1 status").out, "ssid="), 0);
  board.stations = {2, 1};
  board.ssid = "home";
  write(board);
  const Result two = run("hostapd_cli -i wlan0 all_sta");
  EXPECT_EQ(two.status, 0);
  EXPECT_EQ(count_lines_starting(two.out, "02:00:5e:00:"), 2);
  EXPECT_EQ(count_lines_starting(run("hostapd_cli -iwlan02 all_sta").out, "aid="), 1);
  EXPECT_EQ(count_lines_starting(run("wpa_cli -i wlan1 status").out, "ssid=home"), 1);
  EXPECT_EQ(run("hostapd_cli -i wlan0 status").status, 1);
}

TEST_F(Standin, IoPrintsThePinAndExitsWithIt) {
  BoardState board = initial_board();
  find_pin(board, "bin1")->value = 0;
  find_pin(board, "out1")->present = false;
  write(board);
  const Result high = run("io get bin0");
  EXPECT_EQ(high.out, "1\n");
  EXPECT_EQ(high.status, 1);
  const Result low = run("io get bin1");
  EXPECT_EQ(low.out, "0\n");
  EXPECT_EQ(low.status, 0);
  // The daemon's support check wants a first character of 0 or 1: not this.
  const Result missing = run("io get out1");
  EXPECT_EQ(missing.out, "unknown pin: out1\n");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(run("io set bin0 1").status, 2);
}

TEST_F(Standin, IpsecToolsCountTheAssociations) {
  BoardState board = initial_board();
  write(board);
  EXPECT_EQ(count_lines_starting(run("stroke statusall").out,
                                 "Security Associations (0 up, 0 connecting):"),
            1);
  EXPECT_EQ(run("swanctl --list-sas").out, "");
  board.sas = 3;
  write(board);
  EXPECT_EQ(count_lines_starting(run("stroke statusall").out, "Security Associations (3 up,"), 1);
  const Result sas = run("swanctl --list-sas");
  EXPECT_EQ(count_lines_starting(sas.out, "ipsec-"), 3);
  EXPECT_NE(sas.out.find("ESTABLISHED"), std::string::npos);
  EXPECT_EQ(run("stroke status").status, 1);
  EXPECT_EQ(run("swanctl --list-conns").status, 1);
}

// As the real tools answer when the program behind them is not running:
// nothing on standard output and their own exit statuses.
TEST_F(Standin, ToolsOfAProgramThatIsDownFail) {
  BoardState board = initial_board();
  board.stations = {1, 1};
  board.ssid = "home";
  board.sas = 1;
  for (const char* state : {"stopped", "killed"}) {
    SCOPED_TRACE(state);
    for (ProgramState& program : board.programs) program.state = state;
    write(board);
    for (const auto& [call, status] : {std::pair{"hostapd_cli -i wlan0 all_sta", 255},
                                       {"wpa_cli -i wlan1 status", 255},
                                       {"stroke statusall", 255},
                                       {"swanctl --list-sas", 111}}) {
      const Result result = run(call);
      EXPECT_EQ(std::make_pair(result.out, result.status), std::make_pair(std::string(), status))
          << call;
    }
  }
  for (ProgramState& program : board.programs) program.state = "running";
  write(board);
  EXPECT_EQ(count_lines_starting(run("hostapd_cli -i wlan0 all_sta").out, "aid="), 1);
}

TEST_F(Standin, IfconfigShowsTheTunnelsReceivedBytes) {
  BoardState board = initial_board();
  board.tunnel_rx = {-1, 123456, 0, -1};
  write(board);
  const Result tun1 = run("ifconfig tun1");
  EXPECT_EQ(tun1.status, 0);
  EXPECT_NE(tun1.out.find("RX bytes:123456 ("), std::string::npos);
  EXPECT_NE(run("ifconfig tun2").out.find("RX bytes:0 ("), std::string::npos);
  for (const char* iface : {"tun0", "tun3", "tun4", "wlan0"}) {
    const Result none = run(std::string("ifconfig ") + iface);
    EXPECT_EQ(none.status, 1) << iface;
    EXPECT_EQ(none.out, "") << iface;
  }
}

TEST_F(Standin, NetstatShowsTheServicesAsNetToolsDoes) {
  BoardState board = initial_board();
  *find_service(board, "tessik_clientd") = {"tessik_clientd", "connected", 812};
  *find_service(board, "drennic") = {"drennic", "listening", 911};
  write(board);
  const std::string all = run("netstat -pnat").out;
  EXPECT_NE(all.find("ESTABLISHED 812/tessik_clientd\n"), std::string::npos);
  EXPECT_NE(all.find("LISTEN      911/drennic\n"), std::string::npos);
  const std::string servers = run("netstat -tlpn").out;
  EXPECT_EQ(servers.find("tessik_clientd"), std::string::npos);
  EXPECT_NE(servers.find("911/drennic"), std::string::npos);
  // "PID/program" is cut to 19 characters: a five-digit PID hides the last letter.
  *find_service(board, "tessik_clientd") = {"tessik_clientd", "listening", 28034};
  *find_service(board, "drennic") = {"drennic", "down", -1};
  write(board);
  const std::string listening = run("netstat -tlpn").out;
  EXPECT_NE(listening.find("LISTEN      28034/tessik_client\n"), std::string::npos);
  EXPECT_EQ(listening.find("drennic"), std::string::npos);
  EXPECT_EQ(run("netstat -pnat").out.find("ESTABLISHED"), std::string::npos);
}

TEST_F(Standin, EveryCallIsLogged) {
  write(initial_board());
  run("io get bin0");
  run("hostapd_cli -i wlan02 all_sta");
  run("swanctl --list-sas");
  EXPECT_EQ(calls(), "io get bin0\nhostapd_cli -i wlan02 all_sta\nswanctl --list-sas\n");
}

}  // namespace
