#include "sim/core.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "sim/events.h"
#include "sim/syslog_sink.h"

namespace {

constexpr double tick_seconds = 0.1;

std::vector<std::string> split_words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

// A child of ours as the program it runs should find its process: no signal
// blocked or caught (we block and catch some), its input /dev/null.
void fresh_child() {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_UNBLOCK, &all, nullptr);
  for (int sig = 1; sig < NSIG; ++sig) (void)std::signal(sig, SIG_DFL);
  const int null_fd = open("/dev/null", O_RDONLY);
  dup2(null_fd, 0);
}

namespace {

// How the daemon is started: as usual, with standard output and error closed,
// with no arguments at all (argv[0] null), with an empty program name, or
// with SIGTERM blocked and already pending, as a supervisor that blocks
// signals around its fork and exec can leave it.
enum class StartAs { Normal, StreamsClosed, NoArguments, EmptyName, StopPending };

[[noreturn]] void exec_daemon(const Supervisor& s, int report_fd, int out, int err, StartAs how) {
  fresh_child();
  const int report = fcntl(report_fd, F_DUPFD_CLOEXEC, 3);
  if (s.backend->in_daemon(s, report) != 0) _exit(126);
  // Last, so that no descriptor of ours takes the number of a closed stream.
  if (how == StartAs::StreamsClosed) {
    close(1);
    close(2);
  } else {
    dup2(out, 1);
    dup2(err, 2);
  }
  close_range(3, ~0U, 0);
  std::vector<std::string> words = s.options.prefix;
  words.emplace_back(sandbox_daemon_path);
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::string program = words.front();
  if (how == StartAs::NoArguments) argv = {nullptr};
  if (how == StartAs::EmptyName) {
    static char empty[] = "";
    argv = {empty, nullptr};
  }
  std::vector<std::string> env = {std::string("PATH=") + sandbox_path_variable, "HOME=/root",
                                  "LANG=C"};
  env.insert(env.end(), s.options.env.begin(), s.options.env.end());
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  if (how == StartAs::StopPending) {
    // Both the mask and the pending signal survive the exec.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    kill(getpid(), SIGTERM);
  }
  execvpe(program.c_str(), argv.data(), envp.data());
  _exit(127);
}

int start_daemon(Supervisor& s, StartAs how, std::string& error) {
  if (s.daemon.pid > 0) {
    error = "the daemon is already running";
    return -1;
  }
  int report[2];
  int out[2];
  int err[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, report) != 0) {
    error = std::strerror(errno);
    return -1;
  }
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return -1;
  }
  // Only our ends: the daemon writes to its streams as it would to any pipe.
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  const pid_t pid = fork();
  if (pid == 0) exec_daemon(s, report[1], out[1], err[1], how);
  close(report[1]);
  close(out[1]);
  close(err[1]);
  s.daemon = {pid, out[0], err[0], "", ""};
  if (pid < 0) {
    close(report[0]);
    close_fd(s.daemon.out);
    close_fd(s.daemon.err);
    error = "cannot fork";
    return -1;
  }
  const int started = s.backend->daemon_started(s, report[0], error);
  if (started != 0) kill(pid, SIGKILL);
  close(report[0]);
  emit("daemon " + std::to_string(pid));
  return started;
}

int prepare_job(const void* supervisor, int report_fd) {
  const Supervisor& s = *static_cast<const Supervisor*>(supervisor);
  return s.backend->in_job(s, report_fd);
}

// Runs `command` with /bin/sh -c on the board, as root, with its output
// collected; one at a time.
int start_job(Supervisor& s, const std::string& command, std::string& error) {
  if (s.job.pid > 0) {
    error = "a command is still running";
    return -1;
  }
  const ShellChild child{command.c_str(), sandbox_path_variable, prepare_job, &s, true, false};
  ShellStarted started{};
  if (start_shell(child, started, error) != 0) return -1;
  s.job = {started.pid, started.out, ""};
  s.backend->job_started(s, started.report);
  close(started.report);
  return 0;
}

// The router's web server, busybox httpd in the foreground serving the
// package's page, under a device filter of its own (its CGI program reads
// the pins and runs the start script): not one of "run"'s, since it lives
// on after the line. Its output goes nowhere: the page is what it serves.
constexpr const char* web_command =
    "exec busybox httpd -f -p 80 -h /opt/norvask/www -c /etc/httpd.conf -r 'norvask router'";

int start_web(Supervisor& s, std::string& error) {
  if (s.web > 0) {
    error = "the web server is already running";
    return -1;
  }
  const ShellChild child{web_command, sandbox_path_variable, prepare_job, &s, false, true};
  ShellStarted started{};
  if (start_shell(child, started, error) != 0) return -1;
  s.web = started.pid;
  s.backend->server_started(s, started.report);
  close(started.report);
  return 0;
}

// While the web server runs, its CGI program may restart the daemon through
// the start script: that daemon, ours once the script has ended, becomes
// the board's as one "init start" started.
void adopt_restarted_daemon(Supervisor& s) {
  if (s.web <= 0 || s.daemon.pid > 0 || s.quitting) return;
  const pid_t pid = started_daemon();
  if (pid <= 0) return;
  s.daemon = {pid, -1, -1, "", ""};
  emit("daemon " + std::to_string(pid));
}

int count_entries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  int count = 0;
  while (const dirent* entry = readdir(d)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(d);
  return count;
}

// Reports the daemon's open descriptors and its children, zombies apart.
void report_inspection(const Supervisor& s) {
  if (s.daemon.pid <= 0) {
    emit("inspect none");
    return;
  }
  const std::string proc = "/proc/" + std::to_string(s.daemon.pid);
  const int fds = count_entries(proc + "/fd");
  int children = 0;
  int zombies = 0;
  DIR* d = opendir("/proc");
  while (const dirent* entry = d ? readdir(d) : nullptr) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const std::string stat_path = std::string("/proc/") + entry->d_name + "/stat";
    char buf[512] = {};
    const int fd = open(stat_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    // "pid (comm) state ppid ...": the name may hold blanks, so start after ')'.
    const char* close_paren = n > 0 ? std::strrchr(buf, ')') : nullptr;
    if (!close_paren || close_paren[1] != ' ' || close_paren[2] == '\0') continue;
    const char state = close_paren[2];
    char* end = nullptr;
    const long ppid = std::strtol(close_paren + 3, &end, 10);
    if (end == close_paren + 3 || ppid != s.daemon.pid) continue;
    ++children;
    if (state == 'Z') ++zombies;
  }
  if (d) closedir(d);
  emit("inspect fds=" + std::to_string(fds) + " children=" + std::to_string(children) +
       " zombies=" + std::to_string(zombies));
}

// ---- the lines every board plays alike ----

int settings_modes(const Call& c) {
  long mode = 0;
  if (c.w.size() != 3 || parse_int(c.w[1], 0, UINT32_MAX, mode) != 0 ||
      parse_int(c.w[2], 0, UINT32_MAX, mode) != 0) {
    return c.usage("modes MODE1 MODE2");
  }
  const std::string text = "MOD_NORVASK_MODE=" + c.w[1] + "\nMOD_NORVASK_MODE2=" + c.w[2] + "\n";
  return c.done(write_file(sandbox_settings_path, text, 0644), "cannot write the settings file");
}

// Adds the rest of the line, as typed, to the settings file.
int settings_line(const Call& c) {
  const int fd = open(sandbox_settings_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return c.fail("cannot open the settings file");
  const std::string text = rest_of_line(c.line) + "\n";
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return c.done(ok ? 0 : -1, "cannot write the settings file");
}

int no_settings(const Call& c) {
  return c.done(remove_file(sandbox_settings_path), "cannot remove the settings file");
}

int start_command(const Call& c) {
  StartAs how = StartAs::Normal;
  if (c.w.size() == 2 && c.w[1] == "closed") how = StartAs::StreamsClosed;
  if (c.w.size() == 2 && c.w[1] == "no-arguments") how = StartAs::NoArguments;
  if (c.w.size() == 2 && c.w[1] == "empty-name") how = StartAs::EmptyName;
  if (c.w.size() == 2 && c.w[1] == "stop-pending") how = StartAs::StopPending;
  if (c.w.size() > 2 || (c.w.size() == 2 && how == StartAs::Normal)) {
    return c.usage("start [closed|no-arguments|empty-name|stop-pending]");
  }
  return start_daemon(c.s, how, c.error);
}

int send_signal(const Call& c) {
  if (c.w.size() != 2) return c.usage("signal NAME");
  if (c.s.daemon.pid <= 0) return c.fail("the daemon is not running");
  const std::string& name = c.w[1];
  long number = 0;
  if (parse_int(name, 1, NSIG - 1, number) != 0) {
    const std::string bare = name.rfind("SIG", 0) == 0 ? name.substr(3) : name;
    number = 0;
    for (int sig = 1; sig < NSIG; ++sig) {
      const char* abbrev = sigabbrev_np(sig);
      if (abbrev && bare == abbrev) number = sig;
    }
    if (number == 0) return c.fail("no such signal");
  }
  if (kill(c.s.daemon.pid, static_cast<int>(number)) != 0) return c.fail(std::strerror(errno));
  return 0;
}

int inspect(const Call& c) {
  report_inspection(c.s);
  return 0;
}

int hold(const Call& c) {
  char* end = nullptr;
  c.wait = c.w.size() == 2 ? std::strtod(c.w[1].c_str(), &end) : -1;
  if (!end || *end != '\0' || c.wait < 0 || c.wait > 3600) return c.usage("wait SECONDS");
  return 0;
}

int say(const Call& c) {
  emit("say " + rest_of_line(c.line));
  return 0;
}

// A shell command on the board; "ran STATUS" follows once it has ended.
int run_job(const Call& c) {
  const std::string command = rest_of_line(c.line);
  if (command.empty()) return c.usage("run COMMAND");
  return start_job(c.s, command, c.error);
}

int web(const Call& c) {
  if (c.w.size() != 2 || (c.w[1] != "start" && c.w[1] != "stop")) return c.usage("web start|stop");
  if (c.w[1] == "start") return start_web(c.s, c.error);
  if (c.s.web > 0 && kill(c.s.web, SIGTERM) != 0) return c.fail(std::strerror(errno));
  return 0;
}

int quit(const Call& c) {
  begin_quit(c.s);
  return 0;
}

constexpr Verb core_verbs[] = {
    {"modes", settings_modes},
    {"settings", settings_line},
    {"no-settings", no_settings},
    {"start", start_command},
    {"signal", send_signal},
    {"inspect", inspect},
    {"run", run_job},
    {"web", web},
    {"wait", hold},
    {"say", say},
    {"quit", quit},
};

// The rest of the vocabulary: what these do to the world is the backend's.
constexpr const char* world_verbs[] = {
    "device", "pin",   "io",   "serial",  "stations", "ssid",      "traffic",
    "send",   "iface", "tun",  "stroke",  "swanctl",  "sas",       "service",
    "tool",   "kill",  "stop", "restart", "gpio",     "tmp",       "nproc",
    "pids",   "clock", "tick", "init",    "install",  "led-class", "led-trigger",
};

// ---- the daemon's output and syslog ----

// Reports complete lines of the daemon's output; at end of file the rest.
void drain_output(int& fd, std::string& partial, const char* stream) {
  char buf[4096];
  for (;;) {
    if (fd < 0) return;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;  // EAGAIN: more later
    if (n == 0) {
      if (!partial.empty()) emit(std::string(stream) + " " + partial);
      partial.clear();
      close_fd(fd);
      return;
    }
    partial.append(buf, static_cast<std::size_t>(n));
    for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
      emit(std::string(stream) + " " + partial.substr(0, end));
      partial.erase(0, end + 1);
    }
  }
}

void drain_log(const Backend& backend, int log_fd) {
  std::string datagram;
  pid_t sender = -1;
  while (receive_log_datagram(log_fd, datagram, sender) == 0) {
    SyslogMessage message{};
    if (parse_syslog_message(datagram, message) != 0) {
      emit("log-raw " + std::to_string(sender) + " " + datagram);
    } else {
      emit("log " + std::string(facility_name(message.facility)) + " " +
           severity_name(message.severity) + " " + message.ident + " " +
           std::to_string(message.pid) + " " + std::to_string(sender) + " " + message.text);
    }
    backend.logged(datagram);
  }
}

// ---- the loop ----

struct Loop {
  int signal_fd;
  int timer_fd;
  int log_fd;
};

void daemon_exited(Supervisor& s, const Loop& loop, int status, const rusage& usage) {
  // Everything the daemon did before it went comes first.
  if (s.backend->report_first) s.backend->report_first();
  s.backend->daemon_ending(s);
  drain_log(*s.backend, loop.log_fd);
  drain_output(s.daemon.out, s.daemon.out_line, "stdout");
  drain_output(s.daemon.err, s.daemon.err_line, "stderr");
  close_fd(s.daemon.out);
  close_fd(s.daemon.err);
  // Its CPU time and that of the children it waited for, in microseconds.
  const auto micros = [](const timeval& t) { return t.tv_sec * 1000000L + t.tv_usec; };
  emit("cpu " + std::to_string(micros(usage.ru_utime)) + " " +
       std::to_string(micros(usage.ru_stime)));
  if (WIFEXITED(status)) {
    emit("exit " + std::to_string(WEXITSTATUS(status)));
  } else {
    const char* signal_name = sigabbrev_np(WTERMSIG(status));
    emit(std::string("killed ") + (signal_name ? signal_name : "?"));
  }
  s.daemon.pid = -1;
}

// Whatever the job printed, as it comes; the rest once it has ended.
void collect_job_output(Job& job) {
  char buf[4096];
  for (ssize_t n; job.out >= 0 && (n = read(job.out, buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: more later
    }
    job.output.append(buf, static_cast<std::size_t>(n));
  }
}

// The job's output, one "out" line each, then "ran STATUS". Anything it left
// running in the background may still hold the output open: it is not waited for.
void job_ended(Job& job, int status) {
  collect_job_output(job);
  close_fd(job.out);
  std::size_t start = 0;
  for (std::size_t end; (end = job.output.find('\n', start)) != std::string::npos;
       start = end + 1) {
    emit("out " + job.output.substr(start, end - start));
  }
  if (start < job.output.size()) emit("out " + job.output.substr(start));
  emit("ran " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
  job = {-1, -1, ""};
}

void reap_children(Supervisor& s, const Loop& loop) {
  int status = 0;
  rusage used{};
  for (pid_t pid; (pid = wait4(-1, &status, WNOHANG, &used)) > 0;) {
    if (pid == s.daemon.pid) {
      daemon_exited(s, loop, status, used);
    } else if (pid == s.job.pid) {
      job_ended(s.job, status);
    } else if (pid == s.web) {
      emit("web ended " +
           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
      s.web = -1;
    } else {
      s.backend->reaped(s, pid, status);
    }
  }
}

// Lines that arrived on standard input join the queue; end of input quits.
void read_input(Supervisor& s) {
  char buf[4096];
  const ssize_t n = read(s.input.fd, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    close_fd(s.input.fd);
    if (!s.input.partial.empty()) s.input.lines.push_back(s.input.partial);
    return;
  }
  s.input.partial.append(buf, static_cast<std::size_t>(n));
  for (std::size_t end; (end = s.input.partial.find('\n')) != std::string::npos;) {
    std::string line = s.input.partial.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    s.input.lines.push_back(line);
    s.input.partial.erase(0, end + 1);
  }
}

void run_queue(Supervisor& s, CommandQueue& queue) {
  while (s.pending.empty() && !queue.lines.empty() && board_clock() >= queue.resume_at) {
    const std::string line = queue.lines.front();
    queue.lines.pop_front();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    if (line[line.find_first_not_of(" \t")] == '#') continue;
    double wait = 0;
    std::string error;
    const int result = execute_command(s, line, wait, error);
    if (result == verb_pending) {
      s.pending = line;
    } else if (result == verb_done) {
      emit("ok " + line);
    } else {
      emit(std::string(result == verb_refused ? "refused " : "error ")
               .append(line)
               .append(": ")
               .append(error));
    }
    queue.resume_at = board_clock() + wait;
  }
}

// A child ended, or we are asked to stop.
void on_signals(Supervisor& s, const Loop& loop) {
  signalfd_siginfo info{};
  while (read(loop.signal_fd, &info, sizeof info) == sizeof info) {
    if (info.ssi_signo == SIGCHLD) {
      reap_children(s, loop);
    } else {
      begin_quit(s);
    }
  }
}

int run_loop(Supervisor& s, Loop& loop) {
  emit("ready");
  for (;;) {
    run_queue(s, s.script);
    run_queue(s, s.input);
    // The end of input quits, once the lines before it have run.
    if (s.input.fd < 0 && s.input.lines.empty() && s.pending.empty() &&
        board_clock() >= s.input.resume_at) {
      begin_quit(s);
    }
    if (s.quitting && s.daemon.pid <= 0) {
      emit("bye");
      return 0;
    }
    constexpr std::size_t own = 7;
    pollfd fds[own + backend_poll_max] = {
        {loop.signal_fd, POLLIN, 0}, {loop.timer_fd, POLLIN, 0}, {loop.log_fd, POLLIN, 0},
        {s.input.fd, POLLIN, 0},     {s.daemon.out, POLLIN, 0},  {s.daemon.err, POLLIN, 0},
        {s.job.out, POLLIN, 0},
    };
    const std::size_t extra = s.backend->poll_fds(s, fds + own);
    if (poll(fds, own + extra, -1) < 0 && errno != EINTR) return 1;
    // The daemon is blocked in the device call it made: whatever it logged or
    // printed before is already queued, and is reported first.
    if (s.backend->report_first) s.backend->report_first();
    drain_log(*s.backend, loop.log_fd);
    drain_output(s.daemon.out, s.daemon.out_line, "stdout");
    drain_output(s.daemon.err, s.daemon.err_line, "stderr");
    s.backend->serve(s, fds + own);
    if (fds[0].revents & POLLIN) on_signals(s, loop);
    if (fds[1].revents & POLLIN) {
      std::uint64_t expirations = 0;
      (void)!read(loop.timer_fd, &expirations, sizeof expirations);
      s.backend->on_timer(s);
      adopt_restarted_daemon(s);
      if (s.quitting && s.daemon.pid > 0 && board_clock() > s.quit_deadline) {
        kill(s.daemon.pid, SIGKILL);
      }
    }
    if (fds[3].revents) read_input(s);
    if (fds[6].revents) collect_job_output(s.job);
  }
}

}  // namespace

int start_shell(const ShellChild& child, ShellStarted& started, std::string& error) {
  int out[2] = {-1, -1};
  int report[2];
  if (!child.silent && pipe2(out, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return -1;
  }
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, report) != 0) {
    error = std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    fresh_child();
    if (child.prepare && child.prepare(child.context, report[1]) != 0) _exit(126);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(child.output_too && !child.silent ? out[1] : null_fd, 1);
    dup2(child.silent ? null_fd : out[1], 2);
    close_range(3, ~0U, 0);
    const std::string path = std::string("PATH=") + child.path;
    const char* const argv[] = {"/bin/sh", "-c", child.command, nullptr};
    const char* const envp[] = {path.c_str(), "HOME=/root", "LANG=C", nullptr};
    execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(envp));
    _exit(127);
  }
  if (out[1] >= 0) close(out[1]);
  close(report[1]);
  if (pid < 0) {
    if (out[0] >= 0) close(out[0]);
    close(report[0]);
    error = "cannot fork";
    return -1;
  }
  if (out[0] >= 0) fcntl(out[0], F_SETFL, O_NONBLOCK);
  started = {pid, out[0], report[0]};
  return 0;
}

void finish_line(Supervisor& s, int result, const std::string& why) {
  if (s.pending.empty()) return;
  if (result == verb_done) {
    emit("ok " + s.pending);
  } else if (result == verb_refused) {
    emit("refused " + s.pending + ": not on " + s.backend->name + ": " + why);
  } else {
    emit("error " + s.pending + ": " + why);
  }
  s.pending.clear();
}

std::string rest_of_line(const std::string& line) {
  const std::size_t start = line.find_first_not_of(" \t");
  const std::size_t gap = line.find_first_of(" \t", start);
  if (gap == std::string::npos) return "";
  const std::size_t text = line.find_first_not_of(" \t", gap);
  return text == std::string::npos ? "" : line.substr(text);
}

int Call::fail(const std::string& why) const {
  error = why;
  return verb_failed;
}

int Call::refuse(const std::string& why) const {
  error = std::string("not on ") + s.backend->name + ": " + why;
  return verb_refused;
}

int parse_int(const std::string& word, long low, long high, long& value) {
  if (word.empty()) return -1;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(word.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return -1;
  return 0;
}

int parse_switch(const std::string& word, bool& on) {
  if (word == "on" || word == "up") {
    on = true;
    return 0;
  }
  if (word == "off" || word == "down") {
    on = false;
    return 0;
  }
  return -1;
}

int execute_command(Supervisor& s, const std::string& line, double& wait, std::string& error) {
  wait = 0;
  const std::vector<std::string> words = split_words(line);
  if (words.empty() || words[0][0] == '#') return verb_done;
  const Call call{s, words, line, wait, error};
  for (const Verb& verb : core_verbs) {
    if (words[0] == verb.verb) return verb.run(call);
  }
  for (std::size_t i = 0; i < s.backend->verb_count; ++i) {
    if (words[0] == s.backend->verbs[i].verb) return s.backend->verbs[i].run(call);
  }
  for (const char* verb : world_verbs) {
    if (words[0] == verb) return call.refuse("the board cannot play it");
  }
  return call.fail("unknown command");
}

int read_script(const std::string& path, CommandQueue& queue) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (!file) {
    (void)std::fprintf(stderr, "norvask-board: cannot read %s: %s\n", path.c_str(),
                       std::strerror(errno));
    return -1;
  }
  char line[4096];
  while (std::fgets(line, sizeof line, file)) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    queue.lines.push_back(text);
  }
  (void)std::fclose(file);
  return 0;
}

int run_board(Supervisor& s) {
  if (s.backend->prepare(s) != 0) return 1;
  Loop loop{};
  sigset_t handled;
  sigemptyset(&handled);
  for (const int sig : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&handled, sig);
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  (void)std::signal(SIGPIPE, SIG_IGN);
  loop.signal_fd = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
  loop.timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  const itimerspec period{{0, static_cast<long>(tick_seconds * 1e9)},
                          {0, static_cast<long>(tick_seconds * 1e9)}};
  timerfd_settime(loop.timer_fd, 0, &period, nullptr);
  loop.log_fd = open_log_socket("/dev/log");
  if (loop.signal_fd < 0 || loop.timer_fd < 0 || loop.log_fd < 0) {
    (void)std::fprintf(stderr, "norvask-board: cannot set up the supervisor: %s\n",
                       std::strerror(errno));
    return 1;
  }
  // The daemon's user must be able to send to it.
  const auto id = static_cast<uid_t>(s.options.user);
  if (s.options.user >= 0 && chown("/dev/log", id, id) != 0) return 1;
  fcntl(s.input.fd, F_SETFL, fcntl(s.input.fd, F_GETFL) | O_NONBLOCK);
  return run_loop(s, loop);
}

void begin_quit(Supervisor& s) {
  if (s.quitting) return;
  s.quitting = true;
  s.quit_deadline = board_clock() + 5;
  if (s.daemon.pid > 0) kill(s.daemon.pid, SIGTERM);
  if (s.web > 0) kill(s.web, SIGTERM);
  s.backend->on_quit(s);
}

pid_t started_daemon() {
  char text[32] = {};
  const int fd = open(daemon_pid_file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  long pid = 0;
  if (n <= 0 || parse_int(std::string(text, std::strcspn(text, "\n")), 2, 1 << 22, pid) != 0) {
    return -1;
  }
  // Believed only for a child of ours, which no one else can take.
  siginfo_t info{};
  info.si_pid = 0;
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return -1;
  return static_cast<pid_t>(pid);
}

int write_file(const std::string& path, const std::string& text, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  const bool ok =
      fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  if (ok && chmod(path.c_str(), mode) == 0) return 0;
  (void)std::fprintf(stderr, "norvask-board: cannot write %s: %s\n", path.c_str(),
                     std::strerror(errno));
  return -1;
}

int remove_file(const std::string& path) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
  (void)std::fprintf(stderr, "norvask-board: cannot remove %s: %s\n", path.c_str(),
                     std::strerror(errno));
  return -1;
}
