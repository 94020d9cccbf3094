// The settings rewrite behind POST /settings: only the value the daemon
// reads changes, and a failure at any step leaves the old file as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/settings_internal.h"
#include "test_util.h"
#include "web/cgi/cgi.h"

namespace {

int rewrite(const std::string& path, std::uint32_t led1, std::uint32_t led2) {
  const LedChange changes[] = {{"MOD_NORVASK_MODE", led1}, {"MOD_NORVASK_MODE2", led2}};
  const char* why = nullptr;
  return rewrite_settings(path.c_str(), changes, 2, why);
}

// What the daemon reads from `path`.
LedSettings daemon_reads(const std::string& path) {
  const char* saved = settings_path;
  settings_path = path.c_str();
  LedSettings settings{};
  (void)read_settings(settings);
  settings_path = saved;
  return settings;
}

// The names in `dir` but the settings file and its lock: temporary files left behind.
int strays(const TempDir& dir) {
  int count = 0;
  if (DIR* d = opendir(dir.path().c_str())) {
    while (const dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      count += name != "." && name != ".." && name != "settings" && name != ".settings.lock";
    }
    closedir(d);
  }
  return count;
}

struct RewriteCase {
  const char* what;
  std::string before;
  std::string after;  // with LED 1 set to 11 and LED 2 to 13
};

void PrintTo(const RewriteCase& c, std::ostream* out) { *out << c.what; }

class Rewrite : public ::testing::TestWithParam<RewriteCase> {};

TEST_P(Rewrite, ChangesOnlyTheValueTheDaemonReads) {
  TempDir dir;
  write_file(dir / "settings", GetParam().before);
  ASSERT_EQ(rewrite(dir / "settings", 11, 13), 0);
  EXPECT_EQ(read_file(dir / "settings"), GetParam().after);
  const LedSettings read = daemon_reads(dir / "settings");
  EXPECT_EQ(read.mode1, 11U);
  EXPECT_EQ(read.mode2, 13U);
  EXPECT_EQ(strays(dir), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Rewrite,
    ::testing::Values(
        RewriteCase{
            "every other line kept",
            "# LEDs\n\nOTHER=4\nMOD_NORVASK_MODE=1\n  # note\nMOD_NORVASK_MODE2=2\nLAST=x\n",
            "# LEDs\n\nOTHER=4\nMOD_NORVASK_MODE=11\n  # note\nMOD_NORVASK_MODE2=13\nLAST=x\n"},
        RewriteCase{"quotes and a comment after the number kept",
                    "MOD_NORVASK_MODE=\"1\" # one\nMOD_NORVASK_MODE2=2 # two\n",
                    "MOD_NORVASK_MODE=\"11\" # one\nMOD_NORVASK_MODE2=13 # two\n"},
        RewriteCase{"CRLF line endings kept, an appended line ended alike",
                    "# LEDs\r\nMOD_NORVASK_MODE=1\r\nOTHER=2\r\n",
                    "# LEDs\r\nMOD_NORVASK_MODE=11\r\nOTHER=2\r\nMOD_NORVASK_MODE2=13\r\n"},
        RewriteCase{"lower-case names are the daemon's too",
                    "mod_norvask_mode=1\nMod_Norvask_Mode2=\"2\"\n",
                    "mod_norvask_mode=11\nMod_Norvask_Mode2=\"13\"\n"},
        RewriteCase{"a key set twice: the first line, which the daemon reads",
                    "MOD_NORVASK_MODE=1\nMOD_NORVASK_MODE=5\nMOD_NORVASK_MODE2=2\n",
                    "MOD_NORVASK_MODE=11\nMOD_NORVASK_MODE=5\nMOD_NORVASK_MODE2=13\n"},
        RewriteCase{"a line the daemon does not read is not it",
                    " MOD_NORVASK_MODE=1\nMOD_NORVASK_MODE =2\nMOD_NORVASK_MODE2x=3\n",
                    " MOD_NORVASK_MODE=1\nMOD_NORVASK_MODE =2\nMOD_NORVASK_MODE2x=3\n"
                    "MOD_NORVASK_MODE=11\nMOD_NORVASK_MODE2=13\n"},
        RewriteCase{"no value, or no number in it: the value is replaced",
                    "MOD_NORVASK_MODE=\nMOD_NORVASK_MODE2=\"off\"\n",
                    "MOD_NORVASK_MODE=11\nMOD_NORVASK_MODE2=\"13\"\n"},
        RewriteCase{"a sign, blanks and a number too large are the number",
                    "MOD_NORVASK_MODE= -4\nMOD_NORVASK_MODE2=99999999999x\n",
                    "MOD_NORVASK_MODE=11\nMOD_NORVASK_MODE2=13x\n"},
        RewriteCase{"a last line without its ending gets one before the new line",
                    "OTHER=1\nMOD_NORVASK_MODE2=2",
                    "OTHER=1\nMOD_NORVASK_MODE2=13\nMOD_NORVASK_MODE=11\n"},
        RewriteCase{"an empty file", "", "MOD_NORVASK_MODE=11\nMOD_NORVASK_MODE2=13\n"},
        RewriteCase{"the Wi-Fi interfaces' lines kept, refused ones too",
                    "MOD_NORVASK_WIFI_AP=\"phy0-ap0 phy1-ap0\"\nMOD_NORVASK_MODE=1\n"
                    "MOD_NORVASK_WIFI_CLIENT=a/b\nMOD_NORVASK_MODE2=2\n",
                    "MOD_NORVASK_WIFI_AP=\"phy0-ap0 phy1-ap0\"\nMOD_NORVASK_MODE=11\n"
                    "MOD_NORVASK_WIFI_CLIENT=a/b\nMOD_NORVASK_MODE2=13\n"},
        RewriteCase{"a NUL byte on another line kept",
                    std::string("A=") + '\0' + "x\nMOD_NORVASK_MODE=1\nMOD_NORVASK_MODE2=2\n",
                    std::string("A=") + '\0' + "x\nMOD_NORVASK_MODE=11\nMOD_NORVASK_MODE2=13\n"}));

// The lines that name each LED's kernel LED are the owner's, set beside the
// modes: they stay as they were, and the daemon reads the same LEDs.
TEST(RewriteLedNames, TheLinesNamingKernelLedsAreKept) {
  struct Case {
    const char* what;
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"beside the modes",
       "MOD_NORVASK_LED=green:wlan\nMOD_NORVASK_MODE=1\nMOD_NORVASK_LED2=\"red:two\" # vpn\n"
       "MOD_NORVASK_MODE2=2\n",
       "MOD_NORVASK_LED=green:wlan\nMOD_NORVASK_MODE=11\nMOD_NORVASK_LED2=\"red:two\" # vpn\n"
       "MOD_NORVASK_MODE2=13\n"},
      {"without the modes, which are added after them",
       "mod_norvask_led2=red:two\r\nMOD_NORVASK_LED=\"\"\r\n",
       "mod_norvask_led2=red:two\r\nMOD_NORVASK_LED=\"\"\r\nMOD_NORVASK_MODE=11\r\n"
       "MOD_NORVASK_MODE2=13\r\n"},
      {"a name that holds a mode's line is a name",
       "MOD_NORVASK_LED=MOD_NORVASK_MODE=4\nMOD_NORVASK_MODE=1\n",
       "MOD_NORVASK_LED=MOD_NORVASK_MODE=4\nMOD_NORVASK_MODE=11\nMOD_NORVASK_MODE2=13\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_file(dir / "settings", c.before);
    const LedSettings before = daemon_reads(dir / "settings");
    ASSERT_EQ(rewrite(dir / "settings", 11, 13), 0) << c.what;
    EXPECT_EQ(read_file(dir / "settings"), c.after) << c.what;
    const LedSettings after = daemon_reads(dir / "settings");
    EXPECT_EQ(after.led1.given, before.led1.given) << c.what;
    EXPECT_STREQ(after.led1.text.data(), before.led1.text.data()) << c.what;
    EXPECT_EQ(after.led2.given, before.led2.given) << c.what;
    EXPECT_STREQ(after.led2.text.data(), before.led2.text.data()) << c.what;
  }
}

// A line longer than the daemon's 16 KiB buffer reaches it in pieces, each
// read as a line of its own: a key at the start of a later piece is set
// there, and one inside a piece is not.
TEST(RewriteLongLines, FindsTheKeyWhereTheDaemonsPiecesPutIt) {
  TempDir dir;
  const std::string filler(settings_line_size - 1, 'x');
  const std::string before =
      "# " + filler + "MOD_NORVASK_MODE=3\n" + filler + "MOD_NORVASK_MODE2=4\nEND=1\n";
  write_file(dir / "settings", before);
  // The first piece holds "# " and the filler less two bytes: the key starts
  // inside the second piece and is not read; the second line's key starts a piece.
  ASSERT_EQ(daemon_reads(dir / "settings").mode2, 4U);
  ASSERT_EQ(daemon_reads(dir / "settings").mode1, 0U);
  ASSERT_EQ(rewrite(dir / "settings", 11, 13), 0);
  // Compared whole, not printed: 32 KiB of filler says nothing.
  const std::string after = read_file(dir / "settings");
  EXPECT_TRUE(after == "# " + filler + "MOD_NORVASK_MODE=3\n" + filler +
                           "MOD_NORVASK_MODE2=13\nEND=1\nMOD_NORVASK_MODE=11\n")
      << "the file is not the old one with the second line's value changed: " << after.size()
      << " bytes";
  EXPECT_EQ(daemon_reads(dir / "settings").mode1, 11U);
  EXPECT_EQ(daemon_reads(dir / "settings").mode2, 13U);
}

// A value that grows near the start of a long line moves where its later
// pieces start: a key that began one would no longer be read. Such a file
// is left as it is.
TEST(RewriteLongLines, RefusesWhatWouldMoveAKeyOutOfTheDaemonsSight) {
  TempDir dir;
  const std::string first = "MOD_NORVASK_MODE=1";
  const std::string before =
      first + std::string(settings_line_size - 1 - first.size(), 'x') + "MOD_NORVASK_MODE2=4\n";
  write_file(dir / "settings", before);
  ASSERT_EQ(daemon_reads(dir / "settings").mode1, 1U);
  ASSERT_EQ(daemon_reads(dir / "settings").mode2, 4U);
  EXPECT_EQ(rewrite(dir / "settings", 11, 13), EINVAL);
  EXPECT_TRUE(read_file(dir / "settings") == before);
  // Values that keep their length move nothing.
  EXPECT_EQ(rewrite(dir / "settings", 9, 5), 0);
  EXPECT_EQ(daemon_reads(dir / "settings").mode1, 9U);
  EXPECT_EQ(daemon_reads(dir / "settings").mode2, 5U);
}

TEST(RewriteLongLines, KeepsA16KiBValueLineWhole) {
  TempDir dir;
  const std::string padding(std::size_t{16} * 1024, ' ');
  write_file(dir / "settings", "MOD_NORVASK_MODE=1" + padding + "#\nMOD_NORVASK_MODE2=2\n");
  ASSERT_EQ(rewrite(dir / "settings", 11, 13), 0);
  EXPECT_TRUE(read_file(dir / "settings") ==
              "MOD_NORVASK_MODE=11" + padding + "#\nMOD_NORVASK_MODE2=13\n");
}

TEST(RewriteFile, AMissingFileIsMadeWithMode0644) {
  TempDir dir;
  const mode_t saved = umask(077);
  ASSERT_EQ(rewrite(dir / "settings", 11, 13), 0);
  umask(saved);
  EXPECT_EQ(read_file(dir / "settings"), "MOD_NORVASK_MODE=11\nMOD_NORVASK_MODE2=13\n");
  struct stat st {};
  ASSERT_EQ(stat((dir / "settings").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644U);
}

TEST(RewriteFile, KeepsOwnerAndMode) {
  TempDir dir;
  write_file(dir / "settings", "MOD_NORVASK_MODE=1\n");
  ASSERT_EQ(chmod((dir / "settings").c_str(), 0640), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown((dir / "settings").c_str(), 1234, 4321), 0);
  }
  struct stat before {};
  ASSERT_EQ(stat((dir / "settings").c_str(), &before), 0);
  ASSERT_EQ(rewrite(dir / "settings", 11, 13), 0);
  struct stat after {};
  ASSERT_EQ(stat((dir / "settings").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  // A new file, put in place by a rename: a reader holding the old one
  // never sees it half written.
  EXPECT_NE(after.st_ino, before.st_ino);
}

// What stands at the path is not trusted: a link is not followed nor
// replaced, a FIFO is not waited on, a huge file is not read.
TEST(RewriteFile, RefusesWhatIsNotAPlainFile) {
  TempDir dir;
  write_file(dir / "elsewhere", "MOD_NORVASK_MODE=1\n");
  ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "settings").c_str()), 0);
  EXPECT_EQ(rewrite(dir / "settings", 11, 13), ELOOP);
  EXPECT_EQ(read_file(dir / "elsewhere"), "MOD_NORVASK_MODE=1\n");
  struct stat st {};
  ASSERT_EQ(lstat((dir / "settings").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  ASSERT_EQ(unlink((dir / "settings").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "settings").c_str(), 0644), 0);
  EXPECT_EQ(rewrite(dir / "settings", 11, 13), EINVAL);
  ASSERT_EQ(lstat((dir / "settings").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  ASSERT_EQ(unlink((dir / "settings").c_str()), 0);
  const std::string huge = "MOD_NORVASK_MODE=1\n" + std::string(std::size_t{300} * 1024, '#');
  write_file(dir / "settings", huge);
  EXPECT_EQ(rewrite(dir / "settings", 11, 13), EFBIG);
  EXPECT_EQ(read_file(dir / "settings"), huge);
  EXPECT_EQ(strays(dir), 1);  // "elsewhere"
}

class RewriteFailure : public ::testing::TestWithParam<RewriteStep> {
 protected:
  void TearDown() override { rewrite_failing_step = RewriteStep::None; }
};

TEST_P(RewriteFailure, LeavesTheOldFileAsItWas) {
  TempDir dir;
  const std::string before = "# mine\r\nMOD_NORVASK_MODE=\"1\"\nOTHER=2\n";
  write_file(dir / "settings", before);
  struct stat old {};
  ASSERT_EQ(stat((dir / "settings").c_str(), &old), 0);
  rewrite_failing_step = GetParam();
  const LedChange changes[] = {{"MOD_NORVASK_MODE", 11}, {"MOD_NORVASK_MODE2", 13}};
  const char* why = nullptr;
  EXPECT_NE(rewrite_settings((dir / "settings").c_str(), changes, 2, why), 0);
  EXPECT_NE(why, nullptr);
  EXPECT_EQ(read_file(dir / "settings"), before);
  struct stat now {};
  ASSERT_EQ(stat((dir / "settings").c_str(), &now), 0);
  EXPECT_EQ(now.st_ino, old.st_ino);
  EXPECT_EQ(strays(dir), 0);
}

std::string step_name(const ::testing::TestParamInfo<RewriteStep>& step) {
  constexpr std::array<const char*, 9> names = {"None", "Lock",  "Read",   "Create",       "Write",
                                                "Sync", "Owner", "Rename", "SyncDirectory"};
  return names[static_cast<std::size_t>(step.param)];
}

INSTANTIATE_TEST_SUITE_P(EachStep, RewriteFailure,
                         ::testing::Values(RewriteStep::Lock, RewriteStep::Read,
                                           RewriteStep::Create, RewriteStep::Write,
                                           RewriteStep::Owner, RewriteStep::Sync,
                                           RewriteStep::Rename),
                         step_name);

// Runs `body` in a child with a mount namespace of its own, with a small
// tmpfs on `dir`: the child's exit status, or -1 when no namespace can be had.
int in_private_tmpfs(const std::string& dir, const char* options, int (*body)(const std::string&)) {
  if (std::getenv("NORVASK_TEST_EMULATED")) return -1;
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 && (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)) _exit(100);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(100);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options) != 0) _exit(100);
    _exit(body(dir));
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -2;
  return WEXITSTATUS(status) == 100 ? -1 : WEXITSTATUS(status);
}

constexpr const char* full_before = "# full\nMOD_NORVASK_MODE=1\nMOD_NORVASK_MODE2=2\n";

// Exit 0 when the rewrite on a full file system failed with ENOSPC and the
// file is as it was; else a number saying what went wrong.
int full_file_system(const std::string& dir) {
  write_file(dir + "/settings", full_before);
  // Fill what is left, so that the new file gets no block.
  const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
  const std::string block(4096, 'f');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  while (write(fd, block.data(), 1) > 0) {
  }
  close(fd);
  const int error = rewrite(dir + "/settings", 11, 13);
  if (error != ENOSPC) return 10 + (error > 80 ? 80 : error);
  return read_file(dir + "/settings") == full_before ? 0 : 2;
}

TEST(RewriteFileSystem, AFullFileSystemLeavesTheFileAsItWas) {
  TempDir dir;
  const int result = in_private_tmpfs(dir.path(), "size=64k", full_file_system);
  if (result == -1) GTEST_SKIP() << "no private mount namespace here, or under qemu-user";
  EXPECT_EQ(result, 0) << "10 + errno when not ENOSPC; 2: the file changed";
}

int read_only_directory(const std::string& dir) {
  write_file(dir + "/settings", full_before);
  if (mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 3;
  const int error = rewrite(dir + "/settings", 11, 13);
  if (error != EROFS) return 10 + (error > 80 ? 80 : error);
  return read_file(dir + "/settings") == full_before ? 0 : 2;
}

TEST(RewriteFileSystem, AReadOnlyDirectoryLeavesTheFileAsItWas) {
  TempDir dir;
  const int result = in_private_tmpfs(dir.path(), "size=64k", read_only_directory);
  if (result == -1) GTEST_SKIP() << "no private mount namespace here, or under qemu-user";
  EXPECT_EQ(result, 0) << "10 + errno when not EROFS; 2: the file changed; 3: no remount";
}

// Writers take turns through the lock beside the file: one that comes while
// another holds it waits, then writes on top of what the other wrote.
TEST(RewriteWriters, TakeTurnsAndTheLastWins) {
  if (std::getenv("NORVASK_TEST_EMULATED")) GTEST_SKIP() << "forks under qemu-user";
  TempDir dir;
  write_file(dir / "settings", "MOD_NORVASK_MODE=1\nMOD_NORVASK_MODE2=2\n");
  const int lock = open((dir / ".settings.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  const pid_t child = fork();
  if (child == 0) _exit(rewrite(dir / "settings", 5, 6) == 0 ? 0 : 1);
  usleep(200 * 1000);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the second writer did not wait";
  EXPECT_EQ(read_file(dir / "settings"), "MOD_NORVASK_MODE=1\nMOD_NORVASK_MODE2=2\n");
  ASSERT_EQ(flock(lock, LOCK_UN), 0);
  close(lock);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_file(dir / "settings"), "MOD_NORVASK_MODE=5\nMOD_NORVASK_MODE2=6\n");
}

// Many writes at once: every file a reader sees is one writer's whole
// file, and the one left is the last writer's.
TEST(RewriteWriters, NoWriteIsTorn) {
  if (std::getenv("NORVASK_TEST_EMULATED")) GTEST_SKIP() << "forks under qemu-user";
  TempDir dir;
  const std::string other = "# kept\n" + std::string(8000, '#') + "\n";
  write_file(dir / "settings", other);
  pid_t children[2];
  for (std::uint32_t i = 0; i < 2; ++i) {
    children[i] = fork();
    if (children[i] == 0) {
      for (int n = 0; n < 40; ++n) {
        if (rewrite(dir / "settings", 3 + i, 3 + i) != 0) _exit(1);
      }
      _exit(0);
    }
  }
  const std::string first = other + "MOD_NORVASK_MODE=3\nMOD_NORVASK_MODE2=3\n";
  const std::string second = other + "MOD_NORVASK_MODE=4\nMOD_NORVASK_MODE2=4\n";
  for (int n = 0; n < 200; ++n) {
    const std::string seen = read_file(dir / "settings");
    ASSERT_TRUE(seen == other || seen == first || seen == second) << "torn: " << seen.size();
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(strays(dir), 0);
  // The last rewrite wins: one more, alone, is what the file holds.
  ASSERT_EQ(rewrite(dir / "settings", 9, 10), 0);
  EXPECT_EQ(read_file(dir / "settings"), other + "MOD_NORVASK_MODE=9\nMOD_NORVASK_MODE2=10\n");
}

// ---- what killed writers left ----

enum class Kind : std::uint8_t { File, Link, Directory, Foreign };

struct Leftover {
  const char* name;
  Kind kind;
  bool stale;  // removed: a new file of ours a writer never renamed
};

constexpr Leftover leftovers[] = {
    {".settings.0123456789abcdef", Kind::File, true},
    {".settings.ffffffffffffffff", Kind::File, true},
    {".settings.0123456789ABCDEF", Kind::File, false},  // not a name we make
    {".settings.0123456789abcde", Kind::File, false},
    {".settings.0123456789abcdef0", Kind::File, false},
    {".settings.lock", Kind::File, false},
    {".other.0123456789abcdef", Kind::File, false},
    {"settings.0123456789abcdef", Kind::File, false},
    {".settings.1111111111111111", Kind::Link, false},
    {".settings.2222222222222222", Kind::Directory, false},
    {".settings.3333333333333333", Kind::Foreign, false},
};

// Makes each leftover in `dir`; a link points at `target`. Another user's
// file needs root: without it there is none.
void make_leftovers(const TempDir& dir, const std::string& target) {
  for (const Leftover& l : leftovers) {
    const std::string path = dir / l.name;
    if (l.kind == Kind::Link) {
      ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    } else if (l.kind == Kind::Directory) {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else if (l.kind == Kind::File || geteuid() == 0) {
      write_file(path, "MOD_NORVASK_MODE=9\n");
      if (l.kind == Kind::Foreign) {
        ASSERT_EQ(chown(path.c_str(), 12345, 12345), 0);
      }
    }
  }
}

void expect_only_stale_removed(const TempDir& dir, const std::string& target) {
  for (const Leftover& l : leftovers) {
    struct stat st {};
    const bool there = lstat((dir / l.name).c_str(), &st) == 0;
    if (l.kind == Kind::Foreign && geteuid() != 0) continue;
    EXPECT_EQ(there, !l.stale) << l.name;
  }
  EXPECT_EQ(read_file(target), "not ours");
}

// A writer killed between its create and its rename leaves its new file:
// the next write removes it, as does any run that finds no writer at work.
TEST(RewriteLeftovers, StaleNewFilesAreRemovedAndNothingElse) {
  for (const bool by_write : {true, false}) {
    SCOPED_TRACE(by_write ? "by the next write" : "by a run that finds no writer");
    TempDir dir;
    TempDir outside;
    write_file(outside / "target", "not ours");
    write_file(dir / "settings", "MOD_NORVASK_MODE=1\n");
    make_leftovers(dir, outside / "target");
    if (by_write) {
      ASSERT_EQ(rewrite(dir / "settings", 3, 4), 0);
    } else {
      remove_stale_settings_files((dir / "settings").c_str());
    }
    expect_only_stale_removed(dir, outside / "target");
  }
}

// The new file of a writer at work is not stale: it holds the lock until its
// rename, and a run that cannot take the lock leaves every file alone.
TEST(RewriteLeftovers, AWriterAtWorkKeepsItsNewFile) {
  TempDir dir;
  write_file(dir / "settings", "MOD_NORVASK_MODE=1\n");
  const std::string working = dir / ".settings.0123456789abcdef";
  write_file(working, "MOD_NORVASK_MODE=5\n");
  const int lock = open((dir / ".settings.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  remove_stale_settings_files((dir / "settings").c_str());
  EXPECT_EQ(read_file(working), "MOD_NORVASK_MODE=5\n");
  close(lock);
  remove_stale_settings_files((dir / "settings").c_str());
  EXPECT_NE(access(working.c_str(), F_OK), 0) << "left once the writer was gone";
}

}  // namespace
