// The private capture directories that looks killed before their end left
// in the temporary directory (RAM on a router): found and removed by the
// next look, ours alone, never one that a live look still uses.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "status/status.h"
#include "status/status_internal.h"

namespace {

// "norvask-status." and the six characters mkdtemp puts in.
bool capture_dir_name(const char* name) {
  constexpr const char prefix[] = "norvask-status.";
  constexpr std::size_t length = sizeof prefix - 1;
  constexpr const char* letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  return std::strncmp(name, prefix, length) == 0 && std::strlen(name + length) == 6 &&
         std::strspn(name + length, letters) == 6;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the directory open on `fd` (locked by us, so no look holds it) is
// stale: its look marked it as locked and has ended, or it never got so far
// and has been left for longer than a look takes to lock it.
bool stale(int fd, const struct stat& st) {
  struct stat marker {};
  if (fstatat(fd, capture_lock_marker, &marker, AT_SYMLINK_NOFOLLOW) == 0) return true;
  const std::time_t now = std::time(nullptr);
  const std::time_t age = now > st.st_mtime ? now - st.st_mtime : st.st_mtime - now;
  return age > unlocked_capture_seconds;
}

// Removes every name in the directory open on `fd` (unlinkat follows no
// link), then the directory.
void remove_dir(int parent, const char* name, int fd) {
  const int listing_fd = dup(fd);
  DIR* listing = listing_fd >= 0 ? fdopendir(listing_fd) : nullptr;
  if (!listing && listing_fd >= 0) close(listing_fd);
  while (const dirent* entry = listing ? readdir(listing) : nullptr) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      (void)unlinkat(fd, entry->d_name, 0);
    }
  }
  if (listing) closedir(listing);
  (void)unlinkat(parent, name, AT_REMOVEDIR);
}

// One entry of the temporary directory: removed when it is a capture
// directory of ours that no live look holds and that is stale.
void look_at_entry(int parent, const char* name) {
  struct stat st {};
  if (!capture_dir_name(name) || fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    return;
  }
  const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  struct stat opened {};
  struct stat now {};
  // A live look holds its lock to its end; with ours held, the name is
  // checked again: the look may have ended and another taken the name.
  if (fstat(fd, &opened) == 0 && same_file(opened, st) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      stale(fd, opened) && fstatat(parent, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
      same_file(now, opened)) {
    remove_dir(parent, name, fd);
  }
  close(fd);
}

}  // namespace

void remove_stale_captures(const char* tmp_dir) {
  const int parent = open(tmp_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return;
  const int listing_fd = dup(parent);
  DIR* listing = listing_fd >= 0 ? fdopendir(listing_fd) : nullptr;
  if (!listing && listing_fd >= 0) close(listing_fd);
  while (const dirent* entry = listing ? readdir(listing) : nullptr) {
    look_at_entry(parent, entry->d_name);
  }
  if (listing) closedir(listing);
  close(parent);
}
