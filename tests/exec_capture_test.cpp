// Capture files: what the runner writes into and what the probes read back,
// and the planted paths it must neither follow, nor wait on, nor believe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "exec/exec.h"
#include "exec/exec_internal.h"
#include "test_util.h"

namespace {

class Capture : public ::testing::Test {
 protected:
  void TearDown() override {
    reset_child_fds();
    forget_capture_substitutes();
  }
  TempDir dir_;
};

// What another user can have put at a capture path before us, in a
// directory that everyone may write to, and what becomes of it: removed
// (never followed, opened or read) and the capture made afresh, or, for
// what is not ours to remove, left as it is with the output in a private
// file. Either way the command's output is what is read back.
TEST_F(Capture, TakenPathsAreRecoveredWithoutFollowingOrReadingThem) {
  const std::string victim = dir_ / "victim";
  write_file(victim, "RX bytes:42\n");
  const bool root = getuid() == 0;
  struct Case {
    const char* kind;
    bool removed;  // else left as it is
    bool needs_root;
  };
  const Case cases[] = {
      {"link to a file", true, false},
      {"dangling link", true, false},
      {"FIFO", true, false},
      {"FIFO with a reader", true, false},
      {"empty directory", true, false},
      {"directory with a file", false, false},
      {"second name of ours", false, false},
      {"another user's file", true, true},
      {"second name of another user's file", true, true},
  };
  const mode_t old_umask = umask(022);
  int reader = -1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    if (c.needs_root && !root) continue;
    const std::string path = dir_ / (std::string(c.kind) + ".txt");
    const std::string kind = c.kind;
    if (kind == "link to a file") {
      ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    } else if (kind == "dangling link") {
      ASSERT_EQ(symlink((dir_ / "made-through-the-link").c_str(), path.c_str()), 0);
    } else if (kind.starts_with("FIFO")) {
      ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
      if (kind == "FIFO with a reader") reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    } else if (kind.ends_with("directory")) {
      ASSERT_EQ(mkdir(path.c_str(), 0777), 0);
    } else if (kind == "directory with a file") {
      ASSERT_EQ(mkdir(path.c_str(), 0777), 0);
      write_file(path + "/inside", "theirs\n");
    } else if (kind == "second name of ours") {
      ASSERT_EQ(link(victim.c_str(), path.c_str()), 0);
    } else {
      write_file(path, "RX bytes:42\n");
      ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
      if (kind != "another user's file") {
        ASSERT_EQ(link(path.c_str(), (path + ".2").c_str()), 0);
      }
    }
    struct stat planted {};
    ASSERT_EQ(lstat(path.c_str(), &planted), 0);

    // Twice: the second output replaces the first, in the private file too.
    for (const char* output : {"ours, longer", "2"}) {
      SCOPED_TRACE(output);
      EXPECT_EQ(capture_command(path.c_str(), (std::string("echo '") + output + "'").c_str()), 0);
      EXPECT_TRUE(capture_written());
      const std::string expected = std::string(output) + "\n";
      EXPECT_EQ(file_size(path.c_str()), static_cast<std::int64_t>(expected.size()));
      std::array<char, 64> buf{};
      EXPECT_EQ(read_capture(path.c_str(), buf.data(), buf.size()),
                static_cast<int>(expected.size()));
      EXPECT_EQ(buf.data(), expected);
    }

    struct stat now {};
    ASSERT_EQ(lstat(path.c_str(), &now), 0);
    if (c.removed) {
      // Never opened when it is not a plain file: a FIFO would block.
      ASSERT_TRUE(S_ISREG(now.st_mode)) << "still there: mode " << std::oct << now.st_mode;
      EXPECT_TRUE(now.st_nlink == 1 && now.st_uid == geteuid());
      EXPECT_EQ(now.st_mode & 0777, 0644U);
      EXPECT_EQ(read_file(path), "2\n");
    } else {
      EXPECT_EQ(now.st_ino, planted.st_ino) << "ours, or not ours to walk: left as it is";
    }
    EXPECT_EQ(read_file(victim), "RX bytes:42\n");
  }
  umask(old_umask);
  EXPECT_NE(access((dir_ / "made-through-the-link").c_str(), F_OK), 0);
  EXPECT_EQ(read_file(dir_ / "directory with a file.txt/inside"), "theirs\n");
  if (root) {
    EXPECT_EQ(read_file(dir_ / "second name of another user's file.txt.2"), "RX bytes:42\n");
  }
  std::array<char, 16> buf{};
  EXPECT_LE(read(reader, buf.data(), buf.size()), 0) << "nothing written into the FIFO";
  close(reader);
}

// Another user who makes something at the path again as soon as it is
// removed: the daemon gives up on the path after a few tries, never hangs,
// never follows, and the output is still the command's.
TEST_F(Capture, ARaceForThePathNeverWins) {
  const std::string victim = dir_ / "victim";
  write_file(victim, "precious\n");
  const std::string path = dir_ / "raced.txt";
  std::atomic<bool> done{false};
  std::thread racer([&] {
    for (unsigned round = 0; !done; ++round) {
      // Most attempts find the path taken already.
      const int made =
          round % 2 == 0 ? symlink(victim.c_str(), path.c_str()) : mkfifo(path.c_str(), 0666);
      static_cast<void>(made);
    }
  });
  for (int run = 0; run < 40; ++run) {
    SCOPED_TRACE(run);
    struct stat st {};
    // Ours from the run before: out of the way, so that the racer gets a chance.
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(path.c_str());
    const std::string output = "run " + std::to_string(run) + "\n";
    EXPECT_EQ(capture_command(path.c_str(), ("echo run " + std::to_string(run)).c_str()), 0);
    EXPECT_TRUE(capture_written());
    std::array<char, 32> buf{};
    EXPECT_EQ(read_capture(path.c_str(), buf.data(), buf.size()), static_cast<int>(output.size()));
    EXPECT_EQ(buf.data(), output);
  }
  done = true;
  racer.join();
  EXPECT_EQ(read_file(victim), "precious\n");
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
