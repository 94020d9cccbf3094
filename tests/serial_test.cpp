#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "serial/serial_internal.h"
#include "test_util.h"

namespace {

struct Counts {
  std::int64_t rx;
  std::int64_t tx;
  int expected;
};

// Feeds a sequence of counter reads through one snapshot.
std::vector<int> answers(unsigned selection, const std::vector<Counts>& reads) {
  SerialStat snapshot{};
  std::vector<int> got;
  got.reserve(reads.size());
  for (const Counts& read : reads)
    got.push_back(serial_compare(selection, read.rx, read.tx, snapshot));
  return got;
}

std::vector<int> expected(const std::vector<Counts>& reads) {
  std::vector<int> want;
  want.reserve(reads.size());
  for (const Counts& read : reads) want.push_back(read.expected);
  return want;
}

TEST(SerialSnapshot, AnswersOverSequencesOfReads) {
  struct Sequence {
    const char* what;
    unsigned selection;
    std::vector<Counts> reads;
  };
  const std::vector<Sequence> sequences{
      {"first read only fills the snapshot", serial_both, {{500, 700, 0}, {500, 700, 0}}},
      {"receive only ignores transmit, and keeps up with it",
       serial_receive,
       {{0, 0, 0}, {0, 9, 0}, {0, 9, 0}, {4, 9, 1}, {4, 9, 0}}},
      {"transmit only ignores receive",
       serial_transmit,
       {{0, 0, 0}, {3, 0, 0}, {3, 1, 1}, {3, 1, 0}}},
      // Both counts are stored on every read, so a tick in which both moved is
      // reported once, not again on the next, idle, tick.
      {"both counts moving at once are reported once",
       serial_both,
       {{10, 10, 0}, {11, 12, 1}, {11, 12, 0}, {11, 13, 1}, {11, 13, 0}}},
      {"counts going backwards still count as activity",
       serial_both,
       {{100, 100, 0}, {0, 100, 1}, {0, 100, 0}}},
  };
  for (const Sequence& sequence : sequences) {
    EXPECT_EQ(answers(sequence.selection, sequence.reads), expected(sequence.reads))
        << sequence.what;
  }
}

TEST(SerialSnapshot, FirstReadMarksItValid) {
  SerialStat snapshot{};
  EXPECT_EQ(serial_compare(serial_receive, -5, 6, snapshot), 0);
  EXPECT_EQ(snapshot.valid, 1);
  EXPECT_EQ(snapshot.rx, -5);
  EXPECT_EQ(snapshot.tx, 6);
}

TEST(SerialPort, UnreadablePortsFailAndLeaveTheSnapshot) {
  TempDir dir;
  write_file(dir / "not-a-tty", "");
  struct Port {
    std::string path;
    const char* reported;
  };
  for (const Port& port : {Port{dir / "missing", "open"}, Port{dir / "not-a-tty", "ioctl"}}) {
    SerialStat snapshot{1, 3, 4};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(serial_activity(port.path.c_str(), serial_both, snapshot), -1) << port.path;
    const std::string stderr_text = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(stderr_text.rfind(std::string(port.reported) + ": ", 0), 0U) << stderr_text;
    EXPECT_EQ(snapshot.valid, 1);
    EXPECT_EQ(snapshot.rx, 3);
    EXPECT_EQ(snapshot.tx, 4);
  }
}

// The daemon leads its own session; looking at a port must not make the port
// its controlling terminal, or a hang-up on the line would kill it.
TEST(SerialPort, LookingAtAPortDoesNotTakeItAsControllingTerminal) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string port = ptsname(master);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);  // the pty has no interrupt counters: keep perror quiet
    std::int64_t rx = 0;
    std::int64_t tx = 0;
    (void)read_serial_counters(port.c_str(), rx, tx);
    _exit(open("/dev/tty", O_RDWR) < 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the port became the controlling tty";
}

}  // namespace
