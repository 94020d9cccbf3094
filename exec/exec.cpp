#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "exec/exec.h"
#include "exec/exec_internal.h"

namespace {

constexpr int max_arguments = 62;

// A capture is written and believed only when it is a plain file of our own
// with no other name: anything else can hold text that another user put
// there, or be read by one.
const uid_t our_uid = geteuid();

bool capture_is_ours(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == our_uid;
}

// Whether the last capture_command's output went to its capture file.
thread_local bool last_capture_written = false;

// The next child's standard input, output and error; -1 means /dev/null.
thread_local int child_fds[3] = {-1, -1, -1};

void close_from_3() {
  // One system call instead of one per possible descriptor: with a limit of
  // 1048576 the loop alone would cost most of a second.
  if (close_range(3, ~0U, 0) == 0) return;
  for (int fd = getdtablesize() - 1; fd >= 3; --fd) close(fd);
}

// Everything the child needs, prepared by the parent: the child shares the
// parent's memory until it execs, so it only reads this and makes system calls.
struct ChildStart {
  const char* argv[max_arguments + 2];
  int fds[3];
  sigset_t parent_mask;
  bool own_group;
};

// The child runs in the parent's memory, so a handler of ours must not run in
// it: handled signals go back to their default action (ignored ones stay
// ignored, as exec would leave them).
void default_signal_handlers() {
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    struct sigaction action {};
    if (sigaction(signal_number, nullptr, &action) != 0) continue;
    if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = SIG_DFL;
    sigaction(signal_number, &action, nullptr);
  }
}

[[noreturn]] int exec_child(void* argument) {
  const ChildStart& start = *static_cast<const ChildStart*>(argument);
  default_signal_handlers();
  int null_fd = open("/dev/null", O_RDWR);
  // Keep it clear of the three streams so that wiring one cannot clobber it.
  if (null_fd >= 0 && null_fd < 3) null_fd = fcntl(null_fd, F_DUPFD, 3);
  for (int stream = 0; stream < 3; ++stream) {
    const int slot = start.fds[stream];
    // A stream that is already the slot's file was opened close-on-exec.
    if (slot == stream) {
      (void)fcntl(stream, F_SETFD, 0);
      continue;
    }
    const int source = slot >= 0 ? slot : null_fd;
    if (source < 0 || dup2(source, stream) < 0) close(stream);
  }
  close_from_3();
  if (start.own_group) (void)setpgid(0, 0);
  pthread_sigmask(SIG_SETMASK, &start.parent_mask, nullptr);
  execvp(start.argv[0], const_cast<char* const*>(start.argv));
  _exit(1);
}

// Room for the child's calls up to exec: execvp's search buffer is at most
// PATH_MAX plus a name.
constexpr std::size_t child_stack_size = std::size_t{32} * 1024;

// A vfork-style child: no copy of our page tables, which fork would make and
// exec would throw away at once. We stay suspended until the child has
// exec'd or exited, so its stack can be a buffer in this frame.
pid_t start_child(ChildStart& start) {
  sigset_t all;
  sigfillset(&all);
  // No signal may reach a handler of ours while the child borrows our memory.
  pthread_sigmask(SIG_BLOCK, &all, &start.parent_mask);
  alignas(16) unsigned char stack[child_stack_size];
  const pid_t pid =
      clone(exec_child, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
  pthread_sigmask(SIG_SETMASK, &start.parent_mask, nullptr);
  return pid;
}

// Opens `path` for writing, truncated, when it is a plain file of ours with
// one name; -1 otherwise. Not O_TRUNC: a planted FIFO, device or hard link
// must be refused before anything is written. O_NOFOLLOW refuses links,
// O_NONBLOCK a FIFO with no reader.
int open_own(const char* path, int flags) {
  const int fd = open(path, O_WRONLY | O_SYNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | flags, 0644);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !capture_is_ours(st) || ftruncate(fd, 0) != 0) {
    close(fd);
    errno = EEXIST;  // something that is not ours holds the path
    return -1;
  }
  return fd;
}

// How often the way to a capture is cleared before giving up on its path:
// another user can make something there again after each removal.
constexpr int reclaim_attempts = 4;

// The capture paths are the daemon's, fixed, in a directory that everyone
// may write to. Whatever another user put there first (a file, a FIFO, a
// link, a directory) is removed, never read or followed, and the file made
// afresh, exclusively. A file of our own is never removed, even with a
// second name, nor a directory with something in it: its tree is not ours
// to walk. Returns the descriptor, or -1; `taken` says whether something
// not ours was in the way.
int reclaim(const char* path, bool& taken) {
  for (int attempt = 0; attempt < reclaim_attempts; ++attempt) {
    struct stat st {};
    if (lstat(path, &st) != 0) {
      if (errno != ENOENT) return -1;
      const int fd = open_own(path, O_CREAT | O_EXCL);
      if (fd >= 0 || errno != EEXIST) return fd;
      continue;  // made again before us
    }
    if (capture_is_ours(st)) {
      const int fd = open_own(path, 0);
      if (fd >= 0) return fd;
      continue;
    }
    taken = true;
    if (S_ISREG(st.st_mode) && st.st_uid == our_uid) return -1;
    if ((S_ISDIR(st.st_mode) ? rmdir(path) : unlink(path)) != 0 && errno != ENOENT) return -1;
  }
  return -1;
}

// A capture path that stays taken gets a private file instead: unnamed, in
// the path's directory, that file_size and read_capture answer from for as
// long as the path's last capture went there. The daemon's five paths
// always find a slot.
struct Substitute {
  std::array<char, 128> path;  // empty: a free slot
  int fd;
  bool has_fd;
  bool active;  // the last capture of `path` went to `fd`
  bool told;    // the taking was logged: once per path and run
};

std::array<Substitute, 8> substitutes{};

Substitute* find_substitute(const char* path) {
  for (Substitute& substitute : substitutes) {
    if (substitute.path[0] != '\0' && std::strcmp(substitute.path.data(), path) == 0) {
      return &substitute;
    }
  }
  return nullptr;
}

Substitute* take_slot(const char* path) {
  const std::size_t length = std::strlen(path);
  if (length == 0 || length >= sizeof Substitute::path) return nullptr;
  for (Substitute& substitute : substitutes) {
    if (substitute.path[0] != '\0') continue;
    std::memcpy(substitute.path.data(), path, length + 1);
    return &substitute;
  }
  return nullptr;
}

void drop_private_file(Substitute& substitute) {
  if (substitute.has_fd) close(substitute.fd);
  substitute.has_fd = false;
  substitute.active = false;
}

// The substitute's file emptied, and a descriptor of it for the child.
int private_capture(Substitute& substitute) {
  if (!substitute.has_fd) {
    std::array<char, sizeof Substitute::path> dir{};
    const char* path = substitute.path.data();
    const char* slash = std::strrchr(path, '/');
    if (!slash) {
      dir[0] = '.';
    } else {
      std::memcpy(dir.data(), path, slash == path ? 1 : static_cast<std::size_t>(slash - path));
    }
    // O_EXCL: it can never be given a name.
    const int fd = open(dir.data(), O_TMPFILE | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    substitute.fd = fd;
    substitute.has_fd = true;
  }
  // The child writes at the offset it shares with us.
  if (lseek(substitute.fd, 0, SEEK_SET) != 0 || ftruncate(substitute.fd, 0) != 0) return -1;
  const int fd = fcntl(substitute.fd, F_DUPFD_CLOEXEC, 3);
  substitute.active = fd >= 0;
  return fd;
}

// The private file that stands for `path` now, or -1.
int active_substitute(const char* path) {
  const Substitute* substitute = find_substitute(path);
  return substitute && substitute->active ? substitute->fd : -1;
}

}  // namespace

const ChildControl* child_control = nullptr;

void reset_child_fds() {
  for (int& fd : child_fds) {
    if (fd > 2) close(fd);
    fd = -1;
  }
}

int child_stdout_slot() { return child_fds[1]; }

void set_child_stdout(int fd) {
  if (fd == 0 || fd == 2) return;
  child_fds[1] = fd;
}

int run_command(const char* program, ...) {
  ChildStart start;
  int count = 0;
  start.argv[count++] = program;
  va_list arguments;
  va_start(arguments, program);
  while (count <= max_arguments) {
    const char* argument = va_arg(arguments, const char*);
    if (!argument) break;
    start.argv[count++] = argument;
  }
  va_end(arguments);
  start.argv[count] = nullptr;
  for (int stream = 0; stream < 3; ++stream) start.fds[stream] = child_fds[stream];
  const ChildControl* control = child_control;
  start.own_group = control != nullptr;
  if (control && !control->may_start()) {
    reset_child_fds();
    return -1;
  }

  const pid_t pid = start_child(start);
  reset_child_fds();
  if (pid < 0) return -1;
  if (control) {
    // An emulator may make the clone a plain fork, which does not wait for
    // the child's own setpgid: the group is set from both sides.
    (void)setpgid(pid, pid);
    return control->wait(pid);
  }
  int status = 0;
  // The daemon's own handlers restart the wait, but one installed without
  // SA_RESTART must not cut it short either: the child would run on unreaped.
  pid_t waited = 0;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return waited == pid ? status : -1;
}

int open_capture(const char* path) {
  Substitute* substitute = find_substitute(path);
  if (substitute) substitute->active = false;
  int fd = open_own(path, O_CREAT);
  if (fd >= 0) {
    if (substitute) drop_private_file(*substitute);
    return fd;
  }
  bool taken = false;
  fd = reclaim(path, taken);
  if (!taken) return fd;
  if (!substitute) substitute = take_slot(path);
  if (!substitute) return fd;
  if (fd < 0) fd = private_capture(*substitute);
  if (!substitute->told) {
    substitute->told = true;
    syslog(LOG_NOTICE, "capture %s was taken by another user: %s", path,
           !substitute->active ? (fd >= 0 ? "replaced" : "cannot be replaced")
                               : "left as it is, output kept in a private file");
  }
  return fd;
}

void forget_capture_substitutes() {
  for (Substitute& substitute : substitutes) {
    drop_private_file(substitute);
    substitute = {};
  }
}

int capture_command(const char* path, const char* command) {
  const int fd = open_capture(path);
  last_capture_written = fd >= 0;
  set_child_stdout(fd);
  return shell_command(command);
}

bool capture_written() { return last_capture_written; }

int shell_command(const char* command) { return run_command("/bin/sh", "-c", command, nullptr); }

int file_exists(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 ? 1 : 0;
}

std::int64_t file_size(const char* path) {
  struct stat st {};
  if (const int fd = active_substitute(path); fd >= 0) {
    return fstat(fd, &st) == 0 ? st.st_size : 0;
  }
  if (lstat(path, &st) != 0 || !capture_is_ours(st)) return 0;
  return st.st_size;
}

namespace {

int read_start(int fd, char* buf, std::size_t cap) {
  std::size_t total = 0;
  ssize_t got = 0;
  while (total < cap - 1) {
    const std::size_t wanted = cap - 1 - total;
    if ((got = read(fd, buf + total, wanted)) <= 0) break;
    total += static_cast<std::size_t>(got);
    // A plain file gives less than asked for only at its end: no read for EOF.
    if (static_cast<std::size_t>(got) < wanted) break;
  }
  if (got < 0) return -1;
  buf[total] = '\0';
  return static_cast<int>(total);
}

}  // namespace

int read_capture(const char* path, char* buf, std::size_t cap) {
  if (cap == 0) return -1;
  if (const int fd = active_substitute(path); fd >= 0) {
    return lseek(fd, 0, SEEK_SET) == 0 ? read_start(fd, buf, cap) : -1;
  }
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  const int got = fstat(fd, &st) == 0 && capture_is_ours(st) ? read_start(fd, buf, cap) : -1;
  close(fd);
  return got;
}
