// norvask-board: runs the daemon on a simulated router board.
//
//   norvask-board [options] [< commands]
//
// The supervisor builds a sandbox, reports "ready", and then runs command
// lines from its standard input (and from a scenario file) while it reports
// what happens as events on its standard output. See the README.

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <tuple>

#include "sim/events.h"
#include "sim/network.h"
#include "sim/services.h"
#include "sim/shim_protocol.h"
#include "sim/supervisor.h"
#include "sim/syslog_sink.h"

namespace {

// Exit status when the machine cannot host the sandbox (as for a skipped test).
constexpr int exit_unsupported = 77;
constexpr double tick_seconds = 0.1;

void usage() {
  (void)std::fprintf(
      stderr,
      "usage: norvask-board --daemon PATH [--prefix WORD]... [--env NAME=VALUE]...\n"
      "                     [--show HOST_PATH[:/opt/PATH]]... [--shell PATH] [--script FILE]\n"
      "                     [--no-device-filter] [--shim FILE] [--init FILE] [--fast-clock]\n"
      "                     [--user UID]\n");
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// HOST_PATH[:INSIDE]: a host file shown read-only at INSIDE, which must be
// below /opt (the sandbox's own: nothing is laid out over the host's paths),
// or by default in the board's files folder under its own name.
int show_option(const std::string& value, Options& options) {
  const std::size_t colon = value.find(':');
  const std::string host = value.substr(0, colon);
  const std::string inside = colon == std::string::npos
                                 ? std::string(board_files_dir) + "/" + base_name(host)
                                 : value.substr(colon + 1);
  if (host.empty() || inside.rfind("/opt/", 0) != 0 || inside.find("/..") != std::string::npos) {
    (void)std::fprintf(stderr, "norvask-board: --show %s: expected HOST_PATH[:/opt/PATH]\n",
                       value.c_str());
    return -1;
  }
  options.shown.push_back({host, inside});
  return 0;
}

int parse_options(int argc, char** argv, Options& options) {
  enum : int { Daemon = 1, Prefix, Env, Show, Shell, Script, Shim, Init, NoFilter, Fast, User };
  const option longs[] = {
      {"daemon", required_argument, nullptr, Daemon},
      {"prefix", required_argument, nullptr, Prefix},
      {"env", required_argument, nullptr, Env},
      {"show", required_argument, nullptr, Show},
      {"shell", required_argument, nullptr, Shell},
      {"script", required_argument, nullptr, Script},
      {"shim", required_argument, nullptr, Shim},
      {"init", required_argument, nullptr, Init},
      {"no-device-filter", no_argument, nullptr, NoFilter},
      {"fast-clock", no_argument, nullptr, Fast},
      {"user", required_argument, nullptr, User},
      {nullptr, 0, nullptr, 0},
  };
  options.emulate_devices = true;
  options.fast_clock = false;
  options.user = -1;
  opterr = 0;
  for (int opt; (opt = getopt_long(argc, argv, "", longs, nullptr)) != -1;) {
    const std::string value = optarg ? optarg : "";
    switch (opt) {
      case Daemon:
        options.daemon = value;
        break;
      case Prefix:
        options.prefix.push_back(value);
        break;
      case Env:
        options.env.push_back(value);
        break;
      case Show:
        if (show_option(value, options) != 0) return -1;
        break;
      case Shell:
        options.shell = value;
        break;
      case Script:
        options.script = value;
        break;
      case Shim:
        options.shown.push_back({value, board_shim_path});
        break;
      case Init:
        options.shown.push_back({value, sandbox_init_path});
        break;
      case NoFilter:
        options.emulate_devices = false;
        break;
      case Fast:
        options.fast_clock = true;
        break;
      case User: {
        char* end = nullptr;
        options.user = std::strtol(value.c_str(), &end, 10);
        if (*end != '\0' || options.user < 1 || options.user > 65535) {
          usage();
          return -1;
        }
        break;
      }
      default:
        usage();
        return -1;
    }
  }
  if (optind != argc || options.daemon.empty()) {
    usage();
    return -1;
  }
  return 0;
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

// ---- the daemon's process ----

// One byte with room for one descriptor beside it: how the daemon's child
// hands the device filter's listener to the supervisor.
struct DescriptorMessage {
  char byte = 'l';
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};

  DescriptorMessage() {
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
  }
  DescriptorMessage(const DescriptorMessage&) = delete;
  DescriptorMessage& operator=(const DescriptorMessage&) = delete;
};

int send_descriptor(int socket_fd, int fd) {
  DescriptorMessage sent;
  cmsghdr* c = CMSG_FIRSTHDR(&sent.message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
  return sendmsg(socket_fd, &sent.message, 0) == 1 ? 0 : -1;
}

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

[[noreturn]] void exec_daemon(const Supervisor& s, int report_fd, int out, int err, StartAs how) {
  fresh_child();
  const int report = fcntl(report_fd, F_DUPFD_CLOEXEC, 3);
  if (s.options.user >= 0 && become_user(s.options.user) != 0) _exit(126);
  if (s.options.emulate_devices) {
    const int listener = install_device_filter(s.options.fast_clock);
    if (listener < 0 || send_descriptor(report, listener) != 0) _exit(126);
    close(listener);
  }
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

int receive_listener(int fd) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, 5000) != 1) return -1;
  DescriptorMessage received;
  if (recvmsg(fd, &received.message, MSG_CMSG_CLOEXEC) != 1) return -1;
  const cmsghdr* c = CMSG_FIRSTHDR(&received.message);
  if (!c || c->cmsg_type != SCM_RIGHTS) return -1;
  int listener = -1;
  std::memcpy(&listener, CMSG_DATA(c), sizeof(int));
  return listener;
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

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

void drain_log(int log_fd) {
  std::string datagram;
  pid_t sender = -1;
  while (receive_log_datagram(log_fd, datagram, sender) == 0) {
    SyslogMessage message{};
    if (parse_syslog_message(datagram, message) != 0) {
      emit("log-raw " + std::to_string(sender) + " " + datagram);
      continue;
    }
    emit("log " + std::string(facility_name(message.facility)) + " " +
         severity_name(message.severity) + " " + message.ident + " " + std::to_string(message.pid) +
         " " + std::to_string(sender) + " " + message.text);
  }
}

// ---- the loop ----

struct Loop {
  int signal_fd;
  int timer_fd;
  int log_fd;
  int shim_fd;
};

void daemon_exited(Supervisor& s, const Loop& loop, int status, const rusage& usage) {
  // Everything the daemon said before it went comes first.
  if (s.daemon.listener >= 0) {
    pollfd waiting{s.daemon.listener, POLLIN, 0};
    while (poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN)) {
      if (serve_notification(s.daemon.listener, s.board, s.devices, s.daemon.pid, s.clock_fast) !=
          0) {
        break;
      }
    }
  }
  drain_log(loop.log_fd);
  drain_output(s.daemon.out, s.daemon.out_line, "stdout");
  drain_output(s.daemon.err, s.daemon.err_line, "stderr");
  close_fd(s.daemon.out);
  close_fd(s.daemon.err);
  close_fd(s.daemon.listener);
  s.sleeps.held = false;
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
    if (pid == s.daemon.pid) daemon_exited(s, loop, status, used);
    if (pid == s.job.pid) job_ended(s.job, status);
    for (ServiceState& service : s.board.services) {
      if (service.pid != pid) continue;
      service = {service.name, "down", -1};
      write_board_state(s.board, board_state_dir);
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
  while (!queue.lines.empty() && board_clock() >= queue.resume_at) {
    const std::string line = queue.lines.front();
    queue.lines.pop_front();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    if (line[line.find_first_not_of(" \t")] == '#') continue;
    double wait = 0;
    std::string error;
    if (execute_command(s, line, wait, error) == 0) {
      emit("ok " + line);
    } else {
      emit(std::string("error ").append(line).append(": ").append(error));
    }
    queue.resume_at = board_clock() + wait;
  }
}

void on_timer(Supervisor& s) {
  static_assert(std::size(wifi_interfaces) == std::tuple_size_v<decltype(s.wifi_traffic)>);
  for (std::size_t i = 0; i < std::size(wifi_interfaces); ++i) {
    if (s.wifi_traffic[i]) send_wifi_traffic(wifi_interfaces[i], 300);
  }
  bool changed = false;
  for (SerialState& port : s.board.serial) {
    if (!port.flowing) continue;
    port.rx += 12;
    port.tx += 7;
    changed = true;
  }
  if (changed) write_board_state(s.board, board_state_dir);
  if (s.quitting && s.daemon.pid > 0 && board_clock() > s.quit_deadline) {
    kill(s.daemon.pid, SIGKILL);
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
    if (s.input.fd < 0 && s.input.lines.empty() && board_clock() >= s.input.resume_at) {
      begin_quit(s);
    }
    if (s.quitting && s.daemon.pid <= 0) {
      emit("bye");
      return 0;
    }
    std::vector<pollfd> fds = {
        {loop.signal_fd, POLLIN, 0}, {loop.timer_fd, POLLIN, 0}, {loop.log_fd, POLLIN, 0},
        {loop.shim_fd, POLLIN, 0},   {s.input.fd, POLLIN, 0},    {s.daemon.listener, POLLIN, 0},
        {s.daemon.out, POLLIN, 0},   {s.daemon.err, POLLIN, 0},  {s.job.out, POLLIN, 0},
    };
    if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return 1;
    // The daemon is blocked in the device call it made: whatever it logged or
    // printed before is already queued, and is reported first. Its shim asks
    // once and waits, so the one request that woke us is the only one.
    drain_log(loop.log_fd);
    drain_output(s.daemon.out, s.daemon.out_line, "stdout");
    drain_output(s.daemon.err, s.daemon.err_line, "stderr");
    if (fds[3].revents & POLLIN) serve_shim_request(loop.shim_fd, s.board, s.devices);
    if (fds[5].revents & POLLIN) {
      serve_notification(s.daemon.listener, s.board, s.devices, s.daemon.pid, s.clock_fast,
                         &s.sleeps);
    }
    if (fds[0].revents & POLLIN) on_signals(s, loop);
    if (fds[1].revents & POLLIN) {
      std::uint64_t expirations = 0;
      (void)!read(loop.timer_fd, &expirations, sizeof expirations);
      on_timer(s);
    }
    if (fds[4].revents) read_input(s);
    if (fds[8].revents) collect_job_output(s.job);
  }
}

// The first process of the sandbox's PID namespace.
int supervise(Supervisor& s) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (build_sandbox(s.host) != 0 || setup_network(s.host.ip) != 0 || prepare_board(s) != 0) {
    return 1;
  }
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
  loop.shim_fd = open_log_socket(board_device_socket);
  if (loop.signal_fd < 0 || loop.timer_fd < 0 || loop.log_fd < 0 || loop.shim_fd < 0) {
    (void)std::fprintf(stderr, "norvask-board: cannot set up the supervisor: %s\n",
                       std::strerror(errno));
    return 1;
  }
  if (s.options.user >= 0) {
    // The daemon's user must be able to send to them.
    const auto id = static_cast<uid_t>(s.options.user);
    if (chown("/dev/log", id, id) != 0 || chown(board_device_socket, id, id) != 0) return 1;
  }
  fcntl(s.input.fd, F_SETFL, fcntl(s.input.fd, F_GETFL) | O_NONBLOCK);
  return run_loop(s, loop);
}

int outer_pid_for_signals = -1;

void forward_signal(int sig) {
  if (outer_pid_for_signals > 0) kill(outer_pid_for_signals, sig);
}

}  // namespace

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
  s.daemon = {pid, -1, out[0], err[0], "", ""};
  s.sleeps.credit = 0;
  s.sleeps.held = false;
  if (pid < 0) {
    close(report[0]);
    close_fd(s.daemon.out);
    close_fd(s.daemon.err);
    error = "cannot fork";
    return -1;
  }
  if (s.options.emulate_devices) {
    s.daemon.listener = receive_listener(report[0]);
    if (s.daemon.listener < 0) {
      error = "the device filter could not be installed";
      kill(pid, SIGKILL);
    }
  }
  close(report[0]);
  emit("daemon " + std::to_string(pid));
  return s.daemon.listener < 0 && s.options.emulate_devices ? -1 : 0;
}

int start_job(Supervisor& s, const std::string& command, std::string& error) {
  if (s.job.pid > 0) {
    error = "a command is still running";
    return -1;
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return -1;
  }
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  const pid_t pid = fork();
  if (pid == 0) {
    fresh_child();
    dup2(out[1], 1);
    dup2(out[1], 2);
    close_range(3, ~0U, 0);
    const std::string path = std::string("PATH=") + sandbox_path_variable;
    const char* const argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    const char* const envp[] = {path.c_str(), "HOME=/root", "LANG=C", nullptr};
    execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(envp));
    _exit(127);
  }
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    error = "cannot fork";
    return -1;
  }
  s.job = {pid, out[0], ""};
  return 0;
}

void begin_quit(Supervisor& s) {
  if (s.quitting) return;
  s.quitting = true;
  s.quit_deadline = board_clock() + 5;
  if (s.daemon.pid > 0) kill(s.daemon.pid, SIGTERM);
  // A held sleep would hold the daemon's end too.
  s.sleeps.stepping = false;
  if (s.sleeps.held) release_sleep(s.daemon.listener, s.sleeps);
}

int main(int argc, char** argv) {
  const char* slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
  const std::string name = slash ? slash + 1 : (argc > 0 ? argv[0] : "");
  const int service = service_main(name, argc, argv);
  if (service >= 0) return service;

  static Supervisor s{};
  s.input = {0, "", {}, 0};
  s.script = {-1, "", {}, 0};
  s.daemon = {-1, -1, -1, -1, "", ""};
  s.job = {-1, -1, ""};
  if (parse_options(argc, argv, s.options) != 0) return 2;
  s.clock_fast = s.options.fast_clock;
  if (!s.options.script.empty() && read_script(s.options.script, s.script) != 0) return 2;
  if (s.options.user >= 0 && geteuid() != 0) {
    (void)std::fprintf(stderr, "norvask-board: --user needs root\n");
    return 2;
  }
  // The host's root is exempt from RLIMIT_NPROC, and so is the daemon unless
  // it runs as another user or in a user namespace of ours.
  s.limits_apply = geteuid() != 0 || s.options.user >= 0;
  if (enter_namespaces() != 0) return exit_unsupported;
  // Opened inside the new mount namespace, so that the daemon's file can be
  // bound from there; the host's paths are still all visible.
  if (collect_host_files(s.options.daemon, s.options.shown, s.options.shell, s.host) != 0) {
    return 2;
  }

  const pid_t inner = fork();
  if (inner < 0) return 1;
  if (inner == 0) return supervise(s);
  // Outside the PID namespace: pass stop requests on and report the result.
  outer_pid_for_signals = inner;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) (void)std::signal(sig, forward_signal);
  int status = 0;
  while (waitpid(inner, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
