// The command runner: what it runs, what it returns, and the slots and
// descriptors it hands over and takes back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "exec/exec.h"
#include "exec/exec_internal.h"
#include "test_util.h"

namespace {

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

class Runner : public ::testing::Test {
 protected:
  void TearDown() override { reset_child_fds(); }
  std::string capture(const std::string& command) {
    const std::string path = dir_ / "out.txt";
    status_ = capture_command(path.c_str(), command.c_str());
    return read_file(path);
  }
  TempDir dir_;
  int status_ = -2;
};

TEST_F(Runner, CapturesOutputAndGivesTheRestDevNull) {
  EXPECT_EQ(capture("echo hello; echo noise >&2"), "hello\n");
  EXPECT_EQ(status_, 0);
  // Standard input and error are /dev/null.
  EXPECT_EQ(capture("readlink /proc/self/fd/0 /proc/self/fd/2; cat"), "/dev/null\n/dev/null\n");
  // A capture is truncated first.
  EXPECT_EQ(capture("echo x"), "x\n");
}

TEST_F(Runner, ReturnsTheRawWaitStatus) {
  EXPECT_EQ(shell_command("exit 0"), 0);
  EXPECT_EQ(exit_code(shell_command("exit 3")), 3);
  EXPECT_EQ(exit_code(shell_command("exit 255")), 255);
  // The shell reports a missing program in bits 8 to 15.
  const int missing_in_shell = shell_command("no_such_program_nvtest");
  EXPECT_EQ(exit_code(missing_in_shell), 127);
  EXPECT_EQ((missing_in_shell >> 8) & 0xff, 127);
  // A program that cannot be executed ends the child with status 1.
  EXPECT_EQ(exit_code(run_command((dir_ / "missing").c_str(), nullptr)), 1);
  EXPECT_EQ(exit_code(run_command("no_such_program_nvtest", "a", nullptr)), 1);
  const int killed = shell_command("kill -9 $$");
  EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL);
}

TEST_F(Runner, PassesAtMost62Arguments) {
  std::array<std::string, 67> extra;
  for (std::size_t i = 0; i < extra.size(); ++i) extra[i] = 'a' + std::to_string(i);
  set_child_stdout(open_capture((dir_ / "args.txt").c_str()));
  // "-c", the script and "$0" are three of the 62; 70 in all are given.
#define E(i) extra[i].c_str()
  run_command("/bin/sh", "-c", "echo $# $1 ${59}", "sh", E(0), E(1), E(2), E(3), E(4), E(5), E(6),
              E(7), E(8), E(9), E(10), E(11), E(12), E(13), E(14), E(15), E(16), E(17), E(18),
              E(19), E(20), E(21), E(22), E(23), E(24), E(25), E(26), E(27), E(28), E(29), E(30),
              E(31), E(32), E(33), E(34), E(35), E(36), E(37), E(38), E(39), E(40), E(41), E(42),
              E(43), E(44), E(45), E(46), E(47), E(48), E(49), E(50), E(51), E(52), E(53), E(54),
              E(55), E(56), E(57), E(58), E(59), E(60), E(61), E(62), E(63), E(64), E(65), E(66),
              nullptr);
#undef E
  EXPECT_EQ(read_file(dir_ / "args.txt"), "59 a0 a58\n");
}

TEST_F(Runner, SlotsAreEmptiedAfterEveryRun) {
  const std::string first = dir_ / "first.txt";
  set_child_stdout(open_capture(first.c_str()));
  EXPECT_GT(child_stdout_slot(), 2);
  EXPECT_EQ(shell_command("echo one"), 0);
  EXPECT_EQ(child_stdout_slot(), -1);
  // Without a new capture the output goes nowhere, not to the last file.
  EXPECT_EQ(shell_command("echo two"), 0);
  EXPECT_EQ(read_file(first), "one\n");
  // Standard input and error cannot be handed over: 0 and 2 are ignored.
  set_child_stdout(0);
  EXPECT_EQ(child_stdout_slot(), -1);
  set_child_stdout(2);
  EXPECT_EQ(child_stdout_slot(), -1);
}

void ignore_alarm(int /*signal_number*/) {}

// Found by fuzzing the pin check: libFuzzer's timer signal, caught without
// SA_RESTART, cut the wait short, so the runner answered -1 while the child
// still ran (never reaped) and a pin check read from a pipe still open.
TEST_F(Runner, ASignalWithoutRestartDoesNotCutTheWaitShort) {
  struct sigaction alarm_action {};
  alarm_action.sa_handler = ignore_alarm;  // no SA_RESTART
  struct sigaction saved {};
  ASSERT_EQ(sigaction(SIGALRM, &alarm_action, &saved), 0);
  const itimerval every_20ms{{0, 20000}, {0, 20000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every_20ms, nullptr), 0);
  const int status = shell_command("sleep 0.2; exit 3");
  const itimerval stop{};
  setitimer(ITIMER_REAL, &stop, nullptr);
  sigaction(SIGALRM, &saved, nullptr);
  const int left = waitpid(-1, nullptr, WNOHANG);
  const int left_errno = errno;
  EXPECT_EQ(exit_code(status), 3);
  EXPECT_EQ(left, -1) << "a child was left behind";
  EXPECT_EQ(left_errno, ECHILD);
}

TEST_F(Runner, NoDescriptorReachesTheChildOrStaysInTheParent) {
  const int before = count_open_fds();
  const int stray = open("/dev/null", O_RDONLY);  // no close-on-exec
  ASSERT_GT(stray, 2);
  // ls lists the shell's descriptors (no pipeline: its pipe would show up).
  EXPECT_EQ(capture("ls /proc/$$/fd"), "0\n1\n2\n");
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  set_child_stdout(pipe_fds[1]);
  EXPECT_EQ(shell_command("echo 1"), 0);
  close(pipe_fds[0]);
  for (int i = 0; i < 20; ++i) (void)capture("true");
  close(stray);
  EXPECT_EQ(count_open_fds(), before);
}

// A control that lets `starts` commands start and notes what it waited for.
int starts = 0;
pid_t waited_for = 0;
pid_t waited_group = 0;
bool may_start() { return starts-- > 0; }
int wait_noting(pid_t pid) {
  waited_for = pid;
  waited_group = getpgid(pid);
  int status = 0;
  return waitpid(pid, &status, 0) == pid ? status : -1;
}
constexpr ChildControl noting{may_start, wait_noting};

}  // namespace

// The daemon sets no control: its children share its process group. With
// one, each child leads a group of its own, the control waits for it, and a
// command it refuses never runs.
TEST_F(Runner, AChildControlStartsWaitsAndGroups) {
  const std::string marker = dir_ / "ran";
  const std::string touch = "touch " + marker;
  EXPECT_EQ(exit_code(shell_command("exit $(( $(cut -d' ' -f5 /proc/$$/stat) == $(cut -d' ' "
                                    "-f5 /proc/$PPID/stat) ? 7 : 0 ))")),
            7);
  child_control = &noting;
  starts = 1;
  const int status = shell_command("exit 5");
  EXPECT_EQ(exit_code(status), 5);
  EXPECT_GT(waited_for, 0);
  EXPECT_EQ(waited_group, waited_for);
  waited_for = 0;
  EXPECT_EQ(shell_command(touch.c_str()), -1);
  EXPECT_EQ(waited_for, 0);
  EXPECT_FALSE(file_exists(marker.c_str()));
  child_control = nullptr;
  EXPECT_EQ(shell_command(touch.c_str()), 0);
  EXPECT_TRUE(file_exists(marker.c_str()));
}
