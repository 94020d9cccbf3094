// The private capture directories that killed looks leave in the temporary
// directory: which ones the next look removes, and which it must not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "status/status_internal.h"
#include "test_util.h"

namespace {

enum class Kind : std::uint8_t {
  Marked,    // its look held the lock and marked it
  Unmarked,  // its look never got as far as the lock
  Link,      // a link to a directory of someone else's
  File,
  Foreign,  // marked, but another user's
};

struct Found {
  const char* name;
  Kind kind;
  bool held;     // a live look holds its lock
  bool old;      // last changed an hour ago
  bool removed;  // what the next look must do with it
};

constexpr Found found[] = {
    {"norvask-status.aB3xYz", Kind::Marked, false, false, true},
    {"norvask-status.000000", Kind::Marked, false, true, true},
    {"norvask-status.live01", Kind::Marked, true, true, false},
    {"norvask-status.young1", Kind::Unmarked, false, false, false},
    {"norvask-status.lost01", Kind::Unmarked, false, true, true},
    {"norvask-status.heldUn", Kind::Unmarked, true, true, false},
    {"norvask-status.link01", Kind::Link, false, true, false},
    {"norvask-status.file01", Kind::File, false, true, false},
    {"norvask-status.other1", Kind::Foreign, false, true, false},
    {"norvask-status.abcde", Kind::Marked, false, true, false},
    {"norvask-status.abcdefg", Kind::Marked, false, true, false},
    {"norvask-status.ab-def", Kind::Marked, false, true, false},
    {"norvask-statusXabcdef", Kind::Marked, false, true, false},
    {"norvaskd-status.abcdef", Kind::Marked, false, true, false},
};

class StaleCaptures : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const int fd : held_) close(fd);
  }

  // Makes the entry `f` describes in tmp_; a link points at elsewhere_.
  void make(const Found& f) {
    const std::string path = tmp_ / f.name;
    if (f.kind == Kind::Link) {
      ASSERT_EQ(symlink(elsewhere_.path().c_str(), path.c_str()), 0);
    } else if (f.kind == Kind::File) {
      write_file(path, "");
    } else {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
      write_file(path + "/wifi_ap.txt", "capture");
      // A link left in it is removed as a name; what it points at stays.
      ASSERT_EQ(symlink((elsewhere_ / "kept").c_str(), (path + "/link").c_str()), 0);
      if (f.kind != Kind::Unmarked) write_file(path + "/" + capture_lock_marker, "");
      if (f.kind == Kind::Foreign) {
        ASSERT_EQ(chown(path.c_str(), 12345, 12345), 0);
      }
    }
    if (f.held) {
      const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(flock(fd, LOCK_EX), 0);
      held_.push_back(fd);
    }
    if (f.old) {
      const timespec hour_ago[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), hour_ago, AT_SYMLINK_NOFOLLOW), 0);
    }
  }

  TempDir tmp_;
  TempDir elsewhere_;
  std::vector<int> held_;
};

TEST_F(StaleCaptures, OnlyOursThatNoLiveLookHoldsAreRemoved) {
  write_file(elsewhere_ / "kept", "not ours");
  for (const Found& f : found) {
    if (f.kind == Kind::Foreign && geteuid() != 0) continue;  // chown needs root
    make(f);
  }
  remove_stale_captures(tmp_.path().c_str());
  for (const Found& f : found) {
    if (f.kind == Kind::Foreign && geteuid() != 0) continue;
    struct stat st {};
    EXPECT_EQ(lstat((tmp_ / f.name).c_str(), &st) != 0, f.removed) << f.name;
  }
  EXPECT_EQ(read_file(elsewhere_ / "kept"), "not ours");
  // Once its look has ended, a held one is stale too.
  for (const int fd : held_) close(fd);
  held_.clear();
  remove_stale_captures(tmp_.path().c_str());
  struct stat st {};
  EXPECT_NE(lstat((tmp_ / "norvask-status.live01").c_str(), &st), 0);
  EXPECT_EQ(lstat((tmp_ / "norvask-status.young1").c_str(), &st), 0) << "too young to tell";
}

}  // namespace
