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

// /proc/PID/NAME.
using ProcPath = std::array<char, 64>;
ProcPath proc_path(pid_t pid, const char* name) {
  ProcPath path{};
  format_text(path.data(), path.size(), "/proc/%d/%s", static_cast<int>(pid), name);
  return path;
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
int process_program(pid_t pid, Text& program, bool& replaced) {
  const ssize_t n = readlink(proc_path(pid, "exe").data(), program.data(), program.size() - 1);
  if (n < 0) return -1;
  program[static_cast<std::size_t>(n)] = '\0';
  constexpr const char deleted[] = " (deleted)";
  const std::size_t length = static_cast<std::size_t>(n);
  replaced = length > sizeof deleted - 1 &&
             std::strcmp(program.data() + length - (sizeof deleted - 1), deleted) == 0;
  if (replaced) program[length - (sizeof deleted - 1)] = '\0';
  return 0;
}

// When `pid` started, in milliseconds since the epoch, or -1: its start in
// clock ticks since boot, moved to the wall clock by how long ago boot was.
std::int64_t start_time(pid_t pid) {
  char stat_text[1024] = {};
  const int fd = open(proc_path(pid, "stat").data(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t got = read(fd, stat_text, sizeof stat_text - 1);
  close(fd);
  // After "pid (comm)", which may hold blanks: the state is field 3, the
  // start time field 22.
  const char* rest = got > 0 ? std::strrchr(stat_text, ')') : nullptr;
  const char* field = rest ? skip_fields(rest + 1, 19) : nullptr;
  char* end = nullptr;
  const unsigned long long ticks = field ? std::strtoull(field, &end, 10) : 0;
  if (!field || end == field) return -1;
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
  const auto started =
      static_cast<std::int64_t>(ticks * 1000 / static_cast<unsigned long long>(hertz));
  return milliseconds(now) - (milliseconds(since_boot) - started);
}

bool read_memory(pid_t pid, std::uint64_t address, void* out, std::size_t size) {
  iovec local{out, size};
  // NOLINTNEXTLINE(performance-no-int-to-ptr): an address in the other process
  iovec remote{reinterpret_cast<void*>(address), size};
  if (process_vm_readv(pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size)) return true;
  // Kernels built without it still have the memory file.
  const int fd = open(proc_path(pid, "mem").data(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = address <= INT64_MAX &&
                  pread(fd, out, size, static_cast<off_t>(address)) == static_cast<ssize_t>(size);
  const int error = errno;
  close(fd);
  errno = error;
  return ok;
}

int load_start(pid_t pid, const char* program, std::uint64_t& start) {
  std::FILE* maps = std::fopen(proc_path(pid, "maps").data(), "re");
  if (!maps) return -1;
  const int found = maps_load_start(maps, program, start);
  (void)std::fclose(maps);
  return found;
}

// Reads got_signal, uart1_stat and uart2_stat from the daemon's memory, where
// its dynamic symbol table says they are.
int read_exports(StatusReport& report, pid_t pid, const char* maps_path) {
  DaemonReport& daemon = report.daemon;
  ElfSymbol symbols[] = {
      {"got_signal", 0, 0, false}, {"uart1_stat", 0, 0, false}, {"uart2_stat", 0, 0, false}};
  const std::uint64_t sizes[] = {sizeof daemon.got_signal, sizeof(SerialStat), sizeof(SerialStat)};
  void* targets[] = {&daemon.got_signal, daemon.uart.data(), &daemon.uart[1]};
  const ProcPath exe = proc_path(pid, "exe");
  const int fd = open(exe.data(), O_RDONLY | O_CLOEXEC);
  std::uint64_t first_page = 0;
  const int looked = fd >= 0 ? elf_lookup(fd, symbols, 3, first_page) : -1;
  if (fd >= 0) close(fd);
  std::uint64_t start = 0;
  if (looked != 0 || load_start(pid, maps_path, start) != 0) {
    add_problem(report, "cannot read the daemon's program %s: %s", exe.data(),
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
    if (!read_memory(pid, start - first_page + symbols[i].value, targets[i], sizes[i])) {
      add_problem(report, "cannot read the daemon's memory: %s", std::strerror(errno));
      return -1;
    }
  }
  daemon.exports_read = true;
  return 0;
}

}  // namespace

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
  if (process_program(pid, daemon.program, daemon.replaced) != 0) {
    if (errno == ENOENT || errno == ESRCH) {
      set_reason(daemon, DaemonState::NotRunning, "pid %d from %s has ended", static_cast<int>(pid),
                 daemon_pid_file);
      return 0;
    }
    set_reason(daemon, DaemonState::Unknown, "cannot tell what pid %d is: %s",
               static_cast<int>(pid), std::strerror(errno));
    add_problem(report, "%s", daemon.reason.data());
    return -1;
  }
  if (std::strcmp(daemon.program.data(), daemon_exe_path) != 0) {
    set_reason(daemon, DaemonState::OtherProgram, "%s names pid %d, which is %s, not %s",
               daemon_pid_file, static_cast<int>(pid), daemon.program.data(), daemon_exe_path);
    return 0;
  }
  daemon.state = DaemonState::Running;
  daemon.started_ms = start_time(pid);
  // The maps show a replaced file under the name readlink gave.
  std::array<char, status_text_size + 16> maps_path{};
  format_text(maps_path.data(), maps_path.size(), "%s%s", daemon.program.data(),
              daemon.replaced ? " (deleted)" : "");
  return read_exports(report, pid, maps_path.data());
}
