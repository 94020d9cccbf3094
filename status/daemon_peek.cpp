#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "status/status.h"
#include "status/status_internal.h"

const char* daemon_pid_file = "/var/run/norvaskd.pid";
const char* daemon_exe_path = "/opt/norvask/bin/norvaskd";
uid_t daemon_uid = 0;

namespace {

using Text = std::array<char, status_text_size>;

void set_reason(DaemonReport& daemon, DaemonState state, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void set_reason(DaemonReport& daemon, DaemonState state, const char* format, ...) {
  daemon.state = state;
  va_list arguments;
  va_start(arguments, format);
  (void)std::vsnprintf(daemon.reason.data(), daemon.reason.size(), format, arguments);
  va_end(arguments);
}

// -1 when the file cannot be read, 0 when it names no pid, else the pid.
pid_t read_pid_file(const char* path) {
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[32] = {};
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got < 0) return -1;
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  if (end == text || (*end != '\0' && *end != '\n') || pid <= 0 || pid > INT32_MAX) return 0;
  return static_cast<pid_t>(pid);
}

// The path a process runs from, as /proc shows it, " (deleted)" cut off and
// noted. 0, or -1 with errno set.
int process_program(int proc, Text& program, bool& replaced) {
  const ssize_t n = readlinkat(proc, "exe", program.data(), program.size() - 1);
  if (n < 0) return -1;
  program[static_cast<std::size_t>(n)] = '\0';
  constexpr const char deleted[] = " (deleted)";
  const std::size_t length = static_cast<std::size_t>(n);
  replaced = length > sizeof deleted - 1 &&
             std::strcmp(program.data() + length - (sizeof deleted - 1), deleted) == 0;
  if (replaced) program[length - (sizeof deleted - 1)] = '\0';
  return 0;
}

// The process's real, effective, saved and file-system user IDs all equal
// to `uid`: 1, 0 when not, -1 when its status cannot be read.
int runs_as(int proc, uid_t uid) {
  char text[2048];
  if (read_proc_file(proc, "status", text, sizeof text) <= 0) return -1;
  const char* line = std::strstr(text, "\nUid:");
  if (!line) return -1;
  const char* p = line + 5;
  for (int i = 0; i < 4; ++i) {
    char* end = nullptr;
    const unsigned long id = std::strtoul(p, &end, 10);
    if (end == p) return -1;
    if (id != uid) return 0;
    p = end;
  }
  return 1;
}

// When the process started, in clock ticks since boot, or -1.
std::int64_t start_ticks(int proc) {
  char stat_text[1024];
  const ssize_t got = read_proc_file(proc, "stat", stat_text, sizeof stat_text);
  // After "pid (comm)", which may hold blanks: the state is field 3, the
  // start time field 22.
  const char* rest = got > 0 ? std::strrchr(stat_text, ')') : nullptr;
  const char* field = rest ? skip_fields(rest + 1, 19) : nullptr;
  char* end = nullptr;
  const unsigned long long ticks = field ? std::strtoull(field, &end, 10) : 0;
  if (!field || end == field || ticks > INT64_MAX) return -1;
  return static_cast<std::int64_t>(ticks);
}

// A start in clock ticks since boot, in milliseconds since the epoch, or -1:
// moved to the wall clock by how long ago boot was.
std::int64_t start_time(std::int64_t ticks) {
  if (ticks < 0) return -1;
  const long hertz = sysconf(_SC_CLK_TCK);
  timespec now{};
  timespec since_boot{};
  if (hertz <= 0 || clock_gettime(CLOCK_REALTIME, &now) != 0 ||
      clock_gettime(CLOCK_BOOTTIME, &since_boot) != 0) {
    return -1;
  }
  const auto milliseconds = [](const timespec& t) {
    return std::int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
  };
  const auto started = static_cast<std::int64_t>(static_cast<unsigned long long>(ticks) * 1000 /
                                                 static_cast<unsigned long long>(hertz));
  return milliseconds(now) - (milliseconds(since_boot) - started);
}

bool read_memory(pid_t pid, int proc, std::uint64_t address, void* out, std::size_t size) {
  iovec local{out, size};
  // NOLINTNEXTLINE(performance-no-int-to-ptr): an address in the other process
  iovec remote{reinterpret_cast<void*>(address), size};
  if (process_vm_readv(pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size)) return true;
  // Kernels built without it still have the memory file.
  const int fd = openat(proc, "mem", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = address <= INT64_MAX &&
                  pread(fd, out, size, static_cast<off_t>(address)) == static_cast<ssize_t>(size);
  const int error = errno;
  close(fd);
  errno = error;
  return ok;
}

int load_start(int proc, const char* program, std::uint64_t& start) {
  const int fd = openat(proc, "maps", O_RDONLY | O_CLOEXEC);
  std::FILE* maps = fd >= 0 ? fdopen(fd, "re") : nullptr;
  if (!maps) {
    if (fd >= 0) close(fd);
    return -1;
  }
  const int found = maps_load_start(maps, program, start);
  (void)std::fclose(maps);
  return found;
}

// Reads got_signal, uart1_stat and uart2_stat from the daemon's memory, where
// the dynamic symbol table of `program`, the installed file that it runs,
// says they are.
int read_exports(StatusReport& report, pid_t pid, int proc, int program) {
  DaemonReport& daemon = report.daemon;
  ElfSymbol symbols[] = {
      {"got_signal", 0, 0, false}, {"uart1_stat", 0, 0, false}, {"uart2_stat", 0, 0, false}};
  const std::uint64_t sizes[] = {sizeof daemon.got_signal, sizeof(SerialStat), sizeof(SerialStat)};
  void* targets[] = {&daemon.got_signal, daemon.uart.data(), &daemon.uart[1]};
  std::uint64_t first_page = 0;
  std::uint64_t start = 0;
  if (elf_lookup(program, symbols, 3, first_page) != 0 ||
      load_start(proc, daemon_exe_path, start) != 0) {
    add_problem(report, "cannot read the daemon's program %s: %s", daemon_exe_path,
                std::strerror(errno));
    return -1;
  }
  for (std::size_t i = 0; i < 3; ++i) {
    // A sanitizer build pads each with a red zone behind it.
    if (!symbols[i].found || symbols[i].size < sizes[i]) {
      add_problem(report, "the daemon exports no %s of %" PRIu64 " bytes", symbols[i].name,
                  sizes[i]);
      return -1;
    }
    if (!read_memory(pid, proc, start - first_page + symbols[i].value, targets[i], sizes[i])) {
      add_problem(report, "cannot read the daemon's memory: %s", std::strerror(errno));
      return -1;
    }
  }
  daemon.exports_read = true;
  return 0;
}

// What a failed read of /proc/PID says: the process has ended, or we may not look.
int cannot_tell(StatusReport& report, pid_t pid) {
  DaemonReport& daemon = report.daemon;
  if (errno == ENOENT || errno == ESRCH) {
    set_reason(daemon, DaemonState::NotRunning, "pid %d from %s has ended", static_cast<int>(pid),
               daemon_pid_file);
    return 0;
  }
  set_reason(daemon, DaemonState::Unknown, "cannot tell what pid %d is: %s", static_cast<int>(pid),
             std::strerror(errno));
  add_problem(report, "%s", daemon.reason.data());
  return -1;
}

// Whether the process behind `proc` runs the installed daemon as root: its
// name alone proves nothing, since a user can run the daemon's file, or show
// any program under its name in a mount namespace of their own. `program`
// is left open on the installed file when it does.
int identify(StatusReport& report, pid_t pid, int proc, int& program) {
  DaemonReport& daemon = report.daemon;
  const char* pid_file = daemon_pid_file;
  const int number = static_cast<int>(pid);
  if (process_program(proc, daemon.program, daemon.replaced) != 0) return cannot_tell(report, pid);
  if (std::strcmp(daemon.program.data(), daemon_exe_path) != 0) {
    set_reason(daemon, DaemonState::OtherProgram, "%s names pid %d, which is %s, not %s", pid_file,
               number, daemon.program.data(), daemon_exe_path);
    return 0;
  }
  const int as_root = runs_as(proc, daemon_uid);
  if (as_root < 0) return cannot_tell(report, pid);
  if (as_root == 0) {
    set_reason(daemon, DaemonState::OtherProgram, "%s names pid %d, which runs %s, but not as root",
               pid_file, number, daemon_exe_path);
    return 0;
  }
  struct stat running {};
  struct stat installed {};
  if (fstatat(proc, "exe", &running, 0) != 0) return cannot_tell(report, pid);
  program = open(daemon_exe_path, O_RDONLY | O_CLOEXEC);
  if (program >= 0 && fstat(program, &installed) == 0 && running.st_dev == installed.st_dev &&
      running.st_ino == installed.st_ino) {
    daemon.replaced = false;
    daemon.state = DaemonState::Running;
    return 0;
  }
  if (program >= 0) close(program);
  program = -1;
  // Root runs a file that is gone from that path: an update left the running
  // daemon on its old file, whose symbols the installed one does not tell.
  if (daemon.replaced && running.st_nlink == 0) {
    daemon.state = DaemonState::Running;
    return 0;
  }
  set_reason(daemon, DaemonState::OtherProgram, "%s names pid %d, which runs another file at %s",
             pid_file, number, daemon_exe_path);
  return 0;
}

// Everything below is read through `proc`, the open /proc/PID directory: it
// stays bound to the process it was opened on, and reads through it fail
// once that process has ended, even when its pid is taken again.
int look_at_process(StatusReport& report, pid_t pid, int proc) {
  DaemonReport& daemon = report.daemon;
  const std::int64_t ticks = start_ticks(proc);
  if (ticks < 0) return cannot_tell(report, pid);
  int program = -1;
  const int identified = identify(report, pid, proc, program);
  if (identified != 0 || daemon.state != DaemonState::Running) return identified;
  daemon.started_ms = start_time(ticks);
  const std::size_t problems = std::strlen(report.problem.data());
  const int read = program >= 0 ? read_exports(report, pid, proc, program) : 0;
  if (program >= 0) close(program);
  // The memory was read by pid: it was the daemon's only if the daemon still
  // runs now.
  if (start_ticks(proc) != ticks) {
    report.problem[problems] = '\0';
    daemon.exports_read = false;
    daemon.got_signal = 0;
    daemon.uart = {};
    daemon.started_ms = -1;
    daemon.replaced = false;
    errno = ESRCH;
    return cannot_tell(report, pid);
  }
  return read;
}

}  // namespace

ssize_t read_proc_file(int proc, const char* name, char* text, std::size_t size) {
  const int fd = openat(proc, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t got = read(fd, text, size - 1);
  const int error = errno;
  close(fd);
  errno = error;
  text[got > 0 ? got : 0] = '\0';
  return got;
}

int look_at_daemon(StatusReport& report) {
  DaemonReport& daemon = report.daemon;
  daemon = {};
  daemon.started_ms = -1;
  const pid_t pid = read_pid_file(daemon_pid_file);
  if (pid < 0 && errno == ENOENT) {
    set_reason(daemon, DaemonState::NotRunning, "no pid file %s", daemon_pid_file);
    return 0;
  }
  if (pid < 0) {
    set_reason(daemon, DaemonState::Unknown, "cannot read %s: %s", daemon_pid_file,
               std::strerror(errno));
    add_problem(report, "%s", daemon.reason.data());
    return -1;
  }
  if (pid == 0) {
    set_reason(daemon, DaemonState::NotRunning, "%s holds no pid", daemon_pid_file);
    return 0;
  }
  daemon.pid = pid;
  std::array<char, 32> path{};
  format_text(path.data(), path.size(), "/proc/%d", static_cast<int>(pid));
  const int proc = open(path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return cannot_tell(report, pid);
  const int looked = look_at_process(report, pid, proc);
  close(proc);
  return looked;
}
