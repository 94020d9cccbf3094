// Rewriting the settings file: only the value the daemon reads changes,
// and the file is replaced whole or not at all.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "settings/settings.h"
#include "settings/settings_internal.h"
#include "web/cgi/cgi.h"

RewriteStep rewrite_failing_step = RewriteStep::None;

namespace {

// A settings file is a few lines; a larger one is refused rather than read.
constexpr std::size_t settings_file_limit = std::size_t{256} * 1024;
constexpr std::size_t max_changes = 2;

// Where one key's value is replaced.
struct Replacement {
  std::size_t start;
  std::size_t end;
  std::array<char, 16> text;
};

struct Buffer {
  char* data;
  std::size_t size;
};

// Tests make one step fail as the system would.
bool failing(RewriteStep step) {
  if (rewrite_failing_step != step) return false;
  errno = step == RewriteStep::Write ? ENOSPC : EIO;
  return true;
}

int fail(const char*& why, const char* what) {
  const int error = errno != 0 ? errno : EIO;
  why = what;
  return error;
}

// The directory part of `path` into `dir`, and the name in it.
// Reads the `size` bytes of the file open on `fd` into a new buffer.
int read_whole(int fd, std::size_t size, Buffer& old, const char*& why) {
  // One more byte than it said: a file that grows is seen to.
  const std::size_t cap = size + 1;
  old.data = static_cast<char*>(std::malloc(cap));
  old.size = 0;
  if (!old.data) return fail(why, "no memory to read the settings file");
  while (old.size < cap) {
    const ssize_t n = read(fd, old.data + old.size, cap - old.size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(why, "cannot read the settings file");
    if (n == 0) break;
    old.size += static_cast<std::size_t>(n);
  }
  if (old.size != size) {
    errno = EAGAIN;
    return fail(why, "the settings file changed while it was read");
  }
  return 0;
}

// The whole old file, when it is a regular file of sensible size; a link,
// a FIFO or a device there is not read (nor waited on) and not replaced.
int read_old(int dir, const char* name, Buffer& old, struct stat& st, bool& missing,
             const char*& why) {
  missing = false;
  const int fd = failing(RewriteStep::Read)
                     ? -1
                     : openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    missing = true;
    return 0;
  }
  if (fd < 0 && errno == ELOOP) return fail(why, "the settings file is a symbolic link");
  if (fd < 0) return fail(why, "cannot open the settings file");
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = fail(why, "cannot read the settings file");
  } else if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    error = fail(why, "the settings file is not a regular file");
  } else if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > settings_file_limit) {
    errno = EFBIG;
    error = fail(why, "the settings file is larger than 256 KiB");
  }
  if (error == 0) error = read_whole(fd, static_cast<std::size_t>(st.st_size), old, why);
  close(fd);
  return error;
}

// Finds where the daemon reads `key` in `old`: the same reader, fed the
// same pieces (fgets with the daemon's line size), so that a line too long
// for it splits here as it does there. False when no line sets it.
bool find_value(const Buffer& old, const char* key, Replacement& where) {
  if (old.size == 0) return false;
  std::FILE* stream = fmemopen(old.data, old.size, "r");
  if (!stream) return false;
  static std::array<char, settings_line_size> line;
  bool found = false;
  for (long at = 0; !found; at = std::ftell(stream)) {
    if (at < 0 || !std::fgets(line.data(), static_cast<int>(line.size()), stream)) break;
    char* value = settings_line_value(line.data(), key);
    if (!value) continue;
    // The number the daemon reads is replaced, with what follows it (a
    // closing quote, a comment) kept; a value with no number is replaced whole.
    std::uint64_t ignored = 0;
    const char* number_end = scan_unsigned(value, UINT32_MAX, ignored);
    const char* end = number_end ? number_end : value + std::strlen(value);
    where.start = static_cast<std::size_t>(at) + static_cast<std::size_t>(value - line.data());
    where.end = static_cast<std::size_t>(at) + static_cast<std::size_t>(end - line.data());
    found = true;
  }
  (void)std::fclose(stream);
  return found;
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = failing(RewriteStep::Write) ? -1 : write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void append(Buffer& out, const char* data, std::size_t size) {
  if (size == 0) return;
  std::memcpy(out.data + out.size, data, size);
  out.size += size;
}

// The new content: the old bytes with the replacements made, then a line
// for each key that no line sets, ended as the file's last line is. `out`
// has room for the old bytes and 64 more per change.
void build_new(const Buffer& old, const Replacement* replacements, std::size_t count,
               const LedChange* appended, std::size_t appended_count, Buffer& out) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Replacement& r = replacements[i];
    append(out, old.data + at, r.start - at);
    append(out, r.text.data(), std::strlen(r.text.data()));
    at = r.end;
  }
  append(out, old.data + at, old.size - at);
  if (appended_count == 0) return;
  const char* last_newline =
      old.size > 0 ? static_cast<const char*>(memrchr(old.data, '\n', old.size)) : nullptr;
  const char* ending =
      last_newline && last_newline > old.data && last_newline[-1] == '\r' ? "\r\n" : "\n";
  // A last line without its ending would run into the new one.
  if (old.size > 0 && old.data[old.size - 1] != '\n') append(out, ending, std::strlen(ending));
  for (std::size_t i = 0; i < appended_count; ++i) {
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%s=%" PRIu32 "%s", appended[i].key,
                                appended[i].value, ending);
    if (n > 0) append(out, line, static_cast<std::size_t>(n));
  }
}

// Whether the daemon's reader finds the new values in the new content. A
// value that grew inside a line longer than the daemon's buffer moves where
// that line's later pieces start, and with them what they set.
bool reads_back(const Buffer& fresh, const LedChange* changes, std::size_t count) {
  std::FILE* stream = fresh.size > 0 ? fmemopen(fresh.data, fresh.size, "r") : nullptr;
  bool same = stream != nullptr;
  for (std::size_t i = 0; same && i < count; ++i) {
    same = settings_get_uint(stream, changes[i].key) == changes[i].value;
  }
  if (stream) (void)std::fclose(stream);
  return same;
}

// A new file beside the old one, under a name nobody holds: O_EXCL does not
// follow a link someone put there, and fails instead.
int create_temporary(int dir, const char* name, char* temporary, std::size_t cap) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::uint64_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
      random = static_cast<std::uint64_t>(getpid()) * 2654435761U + static_cast<unsigned>(attempt);
    }
    (void)std::snprintf(temporary, cap, ".%s.%016" PRIx64, name, random);
    if (failing(RewriteStep::Create)) return -1;
    const int fd =
        openat(dir, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Whether `entry` is named as create_temporary names the new files of `name`.
bool temporary_name(const char* entry, const char* name) {
  const std::size_t length = std::strlen(name);
  if (entry[0] != '.' || std::strncmp(entry + 1, name, length) != 0 || entry[length + 1] != '.') {
    return false;
  }
  const char* digits = entry + length + 2;
  return std::strlen(digits) == 16 && std::strspn(digits, "0123456789abcdef") == 16;
}

int open_lock(int dir, const char* name, int flags) {
  char lock_name[300];
  (void)std::snprintf(lock_name, sizeof lock_name, ".%s.lock", name);
  return openat(dir, lock_name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | flags, 0600);
}

// Takes the lock beside the file: writers take turns, so that each reads
// what the one before it wrote and the last one wins.
int lock_beside(int dir, const char* name, const char*& why) {
  const int fd = failing(RewriteStep::Lock) ? -1 : open_lock(dir, name, O_CREAT);
  if (fd < 0) {
    (void)fail(why, "cannot open the lock beside the settings file");
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    (void)fail(why, "the lock beside the settings file is not a regular file");
    return -1;
  }
  while (flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    close(fd);
    (void)fail(why, "cannot lock the settings file");
    return -1;
  }
  return fd;
}

int replace_file(int dir, const char* name, const Buffer& fresh, const struct stat& st,
                 bool missing, const char*& why) {
  char temporary[300];
  const int fd = create_temporary(dir, name, temporary, sizeof temporary);
  if (fd < 0) return fail(why, "cannot create a new file beside the settings file");
  int error = 0;
  if (!write_all(fd, fresh.data, fresh.size)) {
    error = fail(why, "cannot write the new settings");
  } else if (!missing && (failing(RewriteStep::Owner) || fchown(fd, st.st_uid, st.st_gid) != 0 ||
                          fchmod(fd, st.st_mode & 07777) != 0)) {
    error = fail(why, "cannot give the new file the old one's owner and mode");
  } else if (missing && fchmod(fd, 0644) != 0) {
    error = fail(why, "cannot give the new file mode 0644");
  } else if (failing(RewriteStep::Sync) || fsync(fd) != 0) {
    error = fail(why, "cannot sync the new settings to disk");
  }
  if (close(fd) != 0 && error == 0) error = fail(why, "cannot write the new settings");
  if (error == 0 && (failing(RewriteStep::Rename) || renameat(dir, temporary, dir, name) != 0)) {
    error = fail(why, "cannot put the new settings file in place");
  }
  if (error != 0) {
    unlinkat(dir, temporary, 0);
    return error;
  }
  // The rename stands; the directory is synced so that it survives a power
  // cut. Should that fail, the new file is in place all the same.
  if (!failing(RewriteStep::SyncDirectory)) (void)fsync(dir);
  return 0;
}

}  // namespace

int rewrite_settings(const char* path, const LedChange* changes, std::size_t count,
                     const char*& why) {
  why = nullptr;
  if (count > max_changes) return EINVAL;
  char dir_path[4096];
  const char* name = split_path(path, dir_path, sizeof dir_path);
  const int dir = open(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return fail(why, "cannot open the settings file's directory");
  const int lock = lock_beside(dir, name, why);
  if (lock < 0) {
    const int error = errno;
    close(dir);
    return error;
  }
  remove_own_files(dir, name, temporary_name);
  Buffer old{nullptr, 0};
  struct stat st {};
  bool missing = false;
  int error = read_old(dir, name, old, st, missing, why);
  if (error == 0) {
    std::array<Replacement, max_changes> replacements{};
    std::array<LedChange, max_changes> appended{};
    std::size_t replaced = 0;
    std::size_t appended_count = 0;
    for (std::size_t i = 0; i < count; ++i) {
      Replacement r{};
      if (find_value(old, changes[i].key, r)) {
        (void)std::snprintf(r.text.data(), r.text.size(), "%" PRIu32, changes[i].value);
        // In file order: each replacement comes after the one before it.
        std::size_t at = replaced++;
        for (; at > 0 && replacements[at - 1].start > r.start; --at) {
          replacements[at] = replacements[at - 1];
        }
        replacements[at] = r;
      } else {
        appended[appended_count++] = changes[i];
      }
    }
    Buffer fresh{static_cast<char*>(std::malloc(old.size + 64 * max_changes)), 0};
    if (!fresh.data) {
      error = fail(why, "no memory for the new settings");
    } else {
      build_new(old, replacements.data(), replaced, appended.data(), appended_count, fresh);
      if (!reads_back(fresh, changes, count)) {
        errno = EINVAL;
        error =
            fail(why, "lines longer than 16 KiB in the settings file would hide the new values");
      } else {
        error = replace_file(dir, name, fresh, st, missing, why);
      }
    }
    std::free(fresh.data);
  }
  std::free(old.data);
  close(lock);
  close(dir);
  return error;
}

const char* split_path(const char* path, char* dir, std::size_t cap) {
  const char* slash = std::strrchr(path, '/');
  if (!slash) {
    (void)std::snprintf(dir, cap, ".");
    return path;
  }
  const auto length = static_cast<int>(slash == path ? 1 : slash - path);
  (void)std::snprintf(dir, cap, "%.*s", length, path);
  return slash + 1;
}

void remove_own_files(int dir, const char* name,
                      bool (*stale)(const char* entry, const char* name)) {
  const int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!listing) {
    if (fd >= 0) close(fd);
    return;
  }
  while (const dirent* entry = readdir(listing)) {
    struct stat st {};
    if (!stale(entry->d_name, name) || fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    if (S_ISREG(st.st_mode) && st.st_uid == geteuid()) (void)unlinkat(dir, entry->d_name, 0);
  }
  closedir(listing);
}

void remove_stale_settings_files(const char* path) {
  char dir_path[4096];
  const char* name = split_path(path, dir_path, sizeof dir_path);
  const int dir = open(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  // No lock: no writer has been here. A writer at work now: its file is
  // not stale, and the next run looks again.
  const int lock = open_lock(dir, name, 0);
  if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) == 0) remove_own_files(dir, name, temporary_name);
  if (lock >= 0) close(lock);
  close(dir);
}
