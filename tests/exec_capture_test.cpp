// Capture files: what the runner writes into and what the probes read back,
// and the planted paths it must neither follow, nor wait on, nor believe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "exec/exec.h"
#include "exec/exec_internal.h"
#include "test_util.h"

namespace {

class Capture : public ::testing::Test {
 protected:
  void TearDown() override { reset_child_fds(); }
  TempDir dir_;
};

TEST_F(Capture, PlantedPathsAreNeverFollowedOrWaitedOn) {
  const std::string victim = dir_ / "victim";
  write_file(victim, "precious\n");
  const std::string link = dir_ / "link.txt";
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  const std::string hard = dir_ / "hard.txt";
  ASSERT_EQ(::link(victim.c_str(), hard.c_str()), 0);
  const std::string fifo = dir_ / "fifo.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int fifo_reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // a reader is waiting
  const std::string foreign = dir_ / "foreign.txt";
  write_file(foreign, "another user's\n");
  std::vector<std::string> planted{link, hard, fifo, dir_.path()};
  if (getuid() != 65534 && chown(foreign.c_str(), 65534, 65534) == 0) planted.push_back(foreign);
  for (const std::string& path : planted) {
    EXPECT_EQ(capture_command(path.c_str(), "echo overwritten"), 0) << path;
    EXPECT_FALSE(capture_written()) << path;
    EXPECT_EQ(read_file(victim), "precious\n") << path;
  }
  EXPECT_EQ(read_file(foreign), "another user's\n");
  EXPECT_EQ(capture_command((dir_ / "ours.txt").c_str(), "echo ours"), 0);
  EXPECT_TRUE(capture_written());
  std::array<char, 16> buf{};
  EXPECT_LE(read(fifo_reader, buf.data(), buf.size()), 0);
  close(fifo_reader);
  EXPECT_EQ(capture_command(fifo.c_str(), "echo x"), 0);  // no reader: no hang either
}

TEST_F(Capture, FilesArePlainFilesWithMode0644) {
  const mode_t old_umask = umask(022);
  const std::string out = dir_ / "out.txt";
  EXPECT_EQ(capture_command(out.c_str(), "echo 1"), 0);
  EXPECT_EQ(read_file(out), "1\n");
  umask(old_umask);
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644U);
}

TEST(FileQueries, ExistenceSizeAndReadBack) {
  TempDir dir;
  const std::string file = dir / "capture.txt";
  write_file(file, "RX bytes:42\nmore\n");
  const std::string link = dir / "link.txt";
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  const std::string fifo = dir / "fifo.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Text that someone else can have put there: a second name, another owner.
  const std::string named = dir / "named.txt";
  write_file(named, "RX bytes:42\n");
  ASSERT_EQ(::link(named.c_str(), (dir / "second-name").c_str()), 0);
  std::vector<std::string> refused{link, fifo, named, dir / "missing", dir.path()};
  const std::string foreign = dir / "foreign.txt";
  write_file(foreign, "RX bytes:42\n");
  if (getuid() != 65534 && chown(foreign.c_str(), 65534, 65534) == 0) refused.push_back(foreign);

  EXPECT_EQ(file_exists(file.c_str()), 1);
  EXPECT_EQ(file_exists(dir.path().c_str()), 1);
  EXPECT_EQ(file_exists((dir / "missing").c_str()), 0);

  EXPECT_EQ(file_size(file.c_str()), 17);
  for (const std::string& path : refused) EXPECT_EQ(file_size(path.c_str()), 0) << path;

  std::array<char, 8> buf{};
  EXPECT_EQ(read_capture(file.c_str(), buf.data(), buf.size()), 7);
  EXPECT_STREQ(buf.data(), "RX byte");
  for (const std::string& path : refused) {
    EXPECT_EQ(read_capture(path.c_str(), buf.data(), buf.size()), -1) << path;
  }
  write_file(file, "");
  EXPECT_EQ(read_capture(file.c_str(), buf.data(), buf.size()), 0);
  EXPECT_STREQ(buf.data(), "");
}

}  // namespace

// Read-back of a capture around the buffer's size: everything up to cap - 1
// bytes, then NUL; what does not fit is left unread.
TEST(ReadCapture, SizesAroundTheBuffer) {
  TempDir dir;
  const std::string path = dir / "capture.txt";
  constexpr std::size_t cap = 16;
  const struct {
    std::size_t size;
    int expected;
  } cases[] = {
      {0, 0}, {1, 1}, {cap - 2, cap - 2}, {cap - 1, cap - 1}, {cap, cap - 1}, {3 * cap, cap - 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string text(c.size, 'r');
    write_file(path, text);
    std::array<char, cap> buffer;
    buffer.fill('#');
    ASSERT_EQ(read_capture(path.c_str(), buffer.data(), buffer.size()), c.expected);
    EXPECT_EQ(std::string(buffer.data()), text.substr(0, static_cast<std::size_t>(c.expected)));
  }
}
