// The command runner: what its child inherits and what it must not, and
// that the parent comes back unchanged. The child shares the parent's memory
// until it execs, so these pin what that must not disturb.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "exec/exec.h"
#include "exec/exec_internal.h"
#include "test_util.h"

namespace {

std::string read_back(const std::string& path) {
  std::array<char, 512> buffer{};
  const int got = read_capture(path.c_str(), buffer.data(), buffer.size());
  return got < 0 ? "<unreadable>" : std::string(buffer.data(), static_cast<std::size_t>(got));
}

// Where our handler ran: the child shares our memory until it execs, so a
// run inside it shows up here.
std::atomic<int> handled_here{0};
std::atomic<int> handled_in_child{0};
pid_t handler_owner = 0;
void count_signal(int /*signal_number*/) {
  (getpid() == handler_owner ? handled_here : handled_in_child).fetch_add(1);
}

void handle_with(int signal_number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  sigaction(signal_number, &action, nullptr);
}

}  // namespace

// A burst of a handled signal at our process group while many children
// start: none of it may reach our handler inside a child, which would run it
// on the child's stack in our memory. Without the child's reset of the
// handlers, or the parent's blocking around the clone, it does.
TEST(ExecChild, NoHandlerOfOursRunsInAChild) {
  const bool emulated = std::getenv("NORVASK_TEST_EMULATED") != nullptr;
  const int commands = emulated ? 200 : 1000;
  // Not a real-time signal: those queue up, and a burst of them would use up
  // the pending-signal allowance of every process of this user.
  const int signal_number = SIGWINCH;  // reset late among the signals
  // In a process group of its own, so that the burst reaches nothing else.
  const pid_t experiment = fork();
  ASSERT_GE(experiment, 0);
  if (experiment == 0) {
    setpgid(0, 0);
    handler_owner = getpid();
    handle_with(signal_number, count_signal);
    const pid_t sender = fork();
    if (sender == 0) {
      handle_with(signal_number, SIG_IGN);
      for (;;) {
        kill(-handler_owner, signal_number);
        sched_yield();
      }
    }
    int failed = 0;
    for (int i = 0; i < commands; ++i) failed += run_command("/bin/true", nullptr) == -1;
    kill(sender, SIGKILL);
    waitpid(sender, nullptr, 0);
    std::printf("%d commands, %d failed to start; handler ran %d times here, %d in a child\n",
                commands, failed, handled_here.load(), handled_in_child.load());
    (void)std::fflush(stdout);
    _exit(handled_in_child.load() == 0 && failed == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(experiment, &status, 0), experiment);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// An ignored signal stays ignored in the child, as exec would leave it, and
// our own dispositions and mask are as they were afterwards.
TEST(ExecChild, IgnoredSignalsStayIgnoredAndOursAreRestored) {
  TempDir dir;
  struct sigaction saved_usr1 {};
  struct sigaction saved_usr2 {};
  sigaction(SIGUSR1, nullptr, &saved_usr1);
  sigaction(SIGUSR2, nullptr, &saved_usr2);
  handle_with(SIGUSR1, SIG_IGN);
  handle_with(SIGUSR2, count_signal);
  handler_owner = getpid();
  handled_here = 0;
  const std::string out = dir / "signal.txt";
  EXPECT_EQ(capture_command(out.c_str(), "kill -USR1 $$; echo alive"), 0);
  EXPECT_EQ(read_back(out), "alive\n");
  const int status = shell_command("kill -USR2 $$; exit 0");
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGUSR2) << status;
  EXPECT_EQ(handled_here, 0);
  struct sigaction now {};
  sigaction(SIGUSR1, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  sigaction(SIGUSR2, nullptr, &now);
  EXPECT_EQ(now.sa_handler, count_signal);
  sigaction(SIGUSR1, &saved_usr1, nullptr);
  sigaction(SIGUSR2, &saved_usr2, nullptr);
  // The child must not keep the signals blocked that we block only while
  // starting it.
  EXPECT_TRUE(WIFSIGNALED(shell_command("kill -TERM $$; exit 0")));
  sigset_t mask;
  sigemptyset(&mask);
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  EXPECT_EQ(sigismember(&mask, SIGTERM), 0);
  EXPECT_EQ(sigismember(&mask, SIGCHLD), 0);
}

// Descriptors from 3 up are closed in the child, also far above 1024, and the
// handed-over output descriptor is closed in the parent.
TEST(ExecChild, ClosesDescriptorsFromThree) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlimit saved = limit;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  getrlimit(RLIMIT_NOFILE, &limit);
  const int high = static_cast<int>(limit.rlim_cur) - 1;
  ASSERT_GT(high, 3);
  const int fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 3);
  ASSERT_EQ(dup2(fd, high), high);

  TempDir dir;
  const std::string out = dir / "fds.txt";
  const std::string command = "for fd in 3 " + std::to_string(fd) + " " + std::to_string(high) +
                              "; do [ -e /proc/$$/fd/$fd ] && echo open $fd; done; echo done";
  const int capture = open_capture(out.c_str());
  ASSERT_GT(capture, 2);
  set_child_stdout(capture);
  EXPECT_EQ(shell_command(command.c_str()), 0);
  EXPECT_EQ(read_back(out), "done\n");
  EXPECT_EQ(fcntl(capture, F_GETFD), -1);
  EXPECT_EQ(child_stdout_slot(), -1);
  close(high);
  close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
}

// Each thread's slots and child stack are its own.
TEST(ExecChild, ThreadsRunCommandsSideBySide) {
  if (std::getenv("NORVASK_TEST_EMULATED")) {
    GTEST_SKIP() << "qemu-user can hang when a program with several running threads forks";
  }
  TempDir dir;
  constexpr int threads = 4;
  std::array<int, threads> failures{};
  std::array<std::thread, threads> workers;
  for (int t = 0; t < threads; ++t) {
    workers[static_cast<std::size_t>(t)] = std::thread([&dir, &failures, t] {
      const std::string out = dir / ("thread" + std::to_string(t));
      const std::string command = "echo " + std::to_string(t);
      for (int i = 0; i < 20; ++i) {
        set_child_stdout(open_capture(out.c_str()));
        if (shell_command(command.c_str()) != 0 || read_back(out) != command.substr(5) + "\n") {
          ++failures[static_cast<std::size_t>(t)];
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  for (int t = 0; t < threads; ++t) EXPECT_EQ(failures[static_cast<std::size_t>(t)], 0) << t;
}

// Started with descriptor 1 closed, a process gets its capture there, opened
// close-on-exec: the child must still write into it, not into nothing.
TEST(ExecChild, AStreamThatIsAlreadyItsSlotsFileSurvivesExec) {
  TempDir dir;
  const std::string out = dir / "out.txt";
  const pid_t experiment = fork();
  ASSERT_GE(experiment, 0);
  if (experiment == 0) {
    close(1);
    const int capture = open_capture(out.c_str());
    set_child_stdout(capture);
    _exit(capture == 1 && shell_command("echo kept") == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(experiment, &status, 0), experiment);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_back(out), "kept\n");
}
