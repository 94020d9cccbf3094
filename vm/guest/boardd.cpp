// boardd: the board's agent inside the emulated router. It talks to the host
// over the virtio-serial port named "board", one line at a time:
//
//   host -> guest   run ID COMMAND...     run a shell command
//                   daemon ID HOW         start the daemon (normal, closed,
//                                         no-arguments, empty-name)
//                   tx ID PORT COUNT      send COUNT bytes out of a UART
//   guest -> host   out ID TEXT, err ID TEXT, done ID STATUS, fail ID WHY
//                   E SECONDS EVENT       something happened, at the guest's
//                                         monotonic time: led N V, ioctl
//                                         gpio ..., log ..., daemon PID,
//                                         stdout TEXT, stderr TEXT, exit N,
//                                         killed SIG, uart ...
//
// It also serves /dev/gpio (gpio_cuse.h), holds both UARTs open in raw mode
// (their interrupt counters move only while a port is open), forwards the
// syslog file, and reaps every orphan, reporting the daemon's end.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gpio_cuse.h"

namespace {

constexpr const char* state_dir = "/run/board";
constexpr const char* daemon_path = "/opt/norvask/bin/norvaskd";
constexpr const char* syslog_path = "/var/log/messages";
constexpr const char* uart_names[] = {"ttyS0", "ttyS1"};

int control_fd = -1;

double monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void send_line(std::string line) {
  for (char& c : line) {
    if (c == '\n' || c == '\0') c = ' ';
  }
  line += '\n';
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(control_fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void emit_at(double when, const std::string& text) {
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "E %.6f ", when);
  send_line(stamp + text);
}

void emit(const std::string& text) { emit_at(monotonic_seconds(), text); }

int open_control_port() {
  DIR* ports = opendir("/sys/class/virtio-ports");
  if (!ports) return -1;
  int fd = -1;
  while (const dirent* entry = readdir(ports)) {
    const std::string base = std::string("/sys/class/virtio-ports/") + entry->d_name;
    char name[64] = {};
    const int name_fd = open((base + "/name").c_str(), O_RDONLY | O_CLOEXEC);
    if (name_fd < 0) continue;
    const ssize_t n = read(name_fd, name, sizeof name - 1);
    close(name_fd);
    if (n > 0 && std::strncmp(name, "board\n", 6) == 0) {
      fd = open((std::string("/dev/") + entry->d_name).c_str(), O_RDWR | O_CLOEXEC);
      break;
    }
  }
  closedir(ports);
  return fd;
}

// ---- the syslog file ----

struct Syslog {
  int fd;
  ino_t inode;
  std::string partial;
  long marks;   // sync marks sent
  bool synced;  // the last one is in the file
};

Syslog syslog_file{-1, 0, "", 0, false};

// "Dec  7 14:05:01 router daemon.notice norvaskd[123]: started" as
// "log daemon notice norvaskd 123 123 started".
void report_syslog_line(const std::string& line) {
  if (line.find(" boardd-sync ") != std::string::npos) {
    syslog_file.synced = line.ends_with(" boardd-sync " + std::to_string(syslog_file.marks));
    return;
  }
  char host[65] = {};
  char facility[33] = {};
  char severity[33] = {};
  int used = 0;
  if (line.size() < 16 ||
      std::sscanf(line.c_str() + 16, "%64s %32[^.].%32s %n", host, facility, severity, &used) < 3) {
    emit("log-raw 0 " + line);
    return;
  }
  const std::string message = line.substr(16 + static_cast<std::size_t>(used));
  const std::size_t colon = message.find(": ");
  std::string ident = message.substr(0, colon == std::string::npos ? 0 : colon);
  // Not "ident[pid]: ", as in "syslogd started: BusyBox v1.35.0".
  if (ident.find(' ') != std::string::npos) ident.clear();
  const std::string text = ident.empty() ? message : message.substr(colon + 2);
  std::string pid = "0";
  const std::size_t open = ident.find('[');
  if (open != std::string::npos && ident.back() == ']') {
    pid = ident.substr(open + 1, ident.size() - open - 2);
    ident.erase(open);
  }
  emit(std::string("log ") + facility + " " + severity + " " + ident + " " + pid + " " + pid + " " +
       text);
}

void read_syslog() {
  struct stat st {};
  if (stat(syslog_path, &st) != 0) return;
  if (syslog_file.fd >= 0 && st.st_ino != syslog_file.inode) {
    close(syslog_file.fd);
    syslog_file.fd = -1;
  }
  if (syslog_file.fd < 0) {
    syslog_file.fd = open(syslog_path, O_RDONLY | O_CLOEXEC);
    syslog_file.inode = st.st_ino;
    syslog_file.partial.clear();
    if (syslog_file.fd < 0) return;
  }
  char buf[4096];
  for (ssize_t n; (n = read(syslog_file.fd, buf, sizeof buf)) > 0;) {
    syslog_file.partial.append(buf, static_cast<std::size_t>(n));
  }
  for (std::size_t end; (end = syslog_file.partial.find('\n')) != std::string::npos;) {
    report_syslog_line(syslog_file.partial.substr(0, end));
    syslog_file.partial.erase(0, end + 1);
  }
}

// Sends a line of our own through syslogd and reads the file until it is
// there: syslogd takes messages in order, so everything logged before it is
// reported by then (at most a second's wait).
void sync_syslog() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/dev/log");
  const std::string mark = "<191>boardd-sync " + std::to_string(++syslog_file.marks);
  syslog_file.synced = false;
  const bool sent = fd >= 0 && sendto(fd, mark.data(), mark.size(), 0,
                                      reinterpret_cast<sockaddr*>(&address), sizeof address) > 0;
  if (fd >= 0) close(fd);
  for (int tries = 0; sent && tries < 100 && !syslog_file.synced; ++tries) {
    read_syslog();
    if (!syslog_file.synced) usleep(10000);
  }
}

// ---- processes ----

// A child whose output is read: a shell command (id >= 0) or the daemon.
struct Job {
  pid_t pid;
  long id;  // -1: the daemon, reported as events
  int out;
  int err;
  std::string out_line;
  std::string err_line;
};

std::vector<Job> jobs;

void report_output(const Job& job, bool error_stream, const std::string& text) {
  if (job.id < 0) {
    emit((error_stream ? "stderr " : "stdout ") + text);
  } else {
    send_line((error_stream ? "err " : "out ") + std::to_string(job.id) + " " + text);
  }
}

// Reads what is there now; at end of file, or when `final`, the rest too.
void drain(Job& job, int& fd, std::string& partial, bool error_stream, bool final) {
  char buf[4096];
  while (fd >= 0) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      partial.append(buf, static_cast<std::size_t>(n));
      for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
        report_output(job, error_stream, partial.substr(0, end));
        partial.erase(0, end + 1);
      }
      continue;
    }
    if (n == 0 || final) {
      if (!partial.empty()) report_output(job, error_stream, partial);
      partial.clear();
      close(fd);
      fd = -1;
    }
    return;
  }
}

[[noreturn]] void exec_shell(const std::string& command) {
  execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
  _exit(127);
}

[[noreturn]] void exec_daemon(const std::string& how) {
  // Its own session, as when an init script starts it.
  setsid();
  if (how == "closed") {
    close(1);
    close(2);
  }
  char* const env[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                       const_cast<char*>("HOME=/root"), const_cast<char*>("LANG=C"), nullptr};
  char empty[] = "";
  char* normal[] = {const_cast<char*>(daemon_path), nullptr};
  char* no_arguments[] = {nullptr};
  char* empty_name[] = {empty, nullptr};
  char** argv = how == "no-arguments" ? no_arguments : how == "empty-name" ? empty_name : normal;
  execve(daemon_path, argv, env);
  _exit(127);
}

int spawn(long id, const std::string& what, bool daemon) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (daemon) exec_daemon(what);
    exec_shell(what);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return -1;
  }
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  jobs.push_back({pid, daemon ? -1 : id, out[0], err[0], "", ""});
  if (daemon) emit("daemon " + std::to_string(pid));
  return 0;
}

std::string process_name(pid_t pid) {
  char name[32] = {};
  const int fd = open(("/proc/" + std::to_string(pid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  const ssize_t n = read(fd, name, sizeof name - 1);
  close(fd);
  std::string text(name, n > 0 ? static_cast<std::size_t>(n) : 0);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void report_end(const Job* job, int status) {
  // What the daemon logged comes before its end.
  if (!job || job->id < 0) sync_syslog();
  if (job && job->id >= 0) {
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    send_line("done " + std::to_string(job->id) + " " + std::to_string(code));
  } else if (WIFEXITED(status)) {
    emit("exit " + std::to_string(WEXITSTATUS(status)));
  } else {
    const char* name = sigabbrev_np(WTERMSIG(status));
    emit(std::string("killed ") + (name ? name : "?"));
  }
}

// Reaps every child that has ended, ours or an orphan handed to us. The
// daemon is known by its name while it is still a zombie.
void reap() {
  for (;;) {
    siginfo_t info{};
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) return;
    const pid_t pid = info.si_pid;
    const std::string name = process_name(pid);
    int status = 0;
    waitpid(pid, &status, 0);
    bool known = false;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      Job& job = jobs[i];
      if (job.pid != pid) continue;
      drain(job, job.out, job.out_line, false, true);
      drain(job, job.err, job.err_line, true, true);
      report_end(&job, status);
      jobs.erase(jobs.begin() + static_cast<std::ptrdiff_t>(i));
      known = true;
      break;
    }
    if (!known && name == "norvaskd") report_end(nullptr, status);
  }
}

// ---- the UARTs ----

struct Uart {
  int fd;
  long pending;  // bytes still to send
  long sent_id;  // the tx request to answer when they are out
};

Uart uarts[2] = {{-1, 0, -1}, {-1, 0, -1}};

int open_uart(const char* name) {
  const std::string path = std::string("/dev/") + name;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios mode{};
  if (tcgetattr(fd, &mode) == 0) {
    // Raw, no echo: a byte received must not count as one sent.
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL;
    mode.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    cfsetspeed(&mode, B115200);
    tcsetattr(fd, TCSANOW, &mode);
  }
  return fd;
}

void uart_read(std::size_t index) {
  char buf[512];
  long total = 0;
  for (ssize_t n; (n = read(uarts[index].fd, buf, sizeof buf)) > 0;) total += n;
  if (total > 0) emit(std::string("uart ") + uart_names[index] + " in " + std::to_string(total));
}

void uart_write(std::size_t index) {
  Uart& uart = uarts[index];
  char buf[256];
  std::memset(buf, 'U', sizeof buf);
  while (uart.pending > 0) {
    const auto chunk = static_cast<std::size_t>(uart.pending < 256 ? uart.pending : 256);
    const ssize_t n = write(uart.fd, buf, chunk);
    if (n <= 0) break;
    uart.pending -= n;
  }
  if (uart.pending == 0 && uart.sent_id >= 0) {
    // In the tty's buffer: the host sees them arrive.
    send_line("done " + std::to_string(uart.sent_id) + " 0");
    uart.sent_id = -1;
  }
}

// ---- commands from the host ----

void run_request(const std::string& line) {
  char verb[16] = {};
  long id = -1;
  int used = 0;
  if (std::sscanf(line.c_str(), "%15s %ld %n", verb, &id, &used) < 2) return;
  const std::string rest = line.substr(static_cast<std::size_t>(used));
  const std::string verb_text = verb;
  const std::string tag = std::to_string(id);
  if (verb_text == "run") {
    if (spawn(id, rest, false) != 0) send_line("fail " + tag + " " + std::strerror(errno));
  } else if (verb_text == "daemon") {
    if (spawn(id, rest, true) != 0) {
      send_line("fail " + tag + " " + std::strerror(errno));
    } else {
      send_line("done " + tag + " 0");
    }
  } else if (verb_text == "tx") {
    char port[16] = {};
    long count = 0;
    std::size_t index = 2;
    if (std::sscanf(rest.c_str(), "%15s %ld", port, &count) == 2) {
      for (std::size_t i = 0; i < 2; ++i) {
        if (std::strcmp(port, uart_names[i]) == 0) index = i;
      }
    }
    if (index > 1 || uarts[index].fd < 0 || count < 0 || uarts[index].sent_id >= 0) {
      send_line("fail " + tag + " no such port, or it is busy");
      return;
    }
    uarts[index].pending = count;
    uarts[index].sent_id = id;
    uart_write(index);
  } else {
    send_line("fail " + tag + " unknown request");
  }
}

void read_control(std::string& partial) {
  char buf[4096];
  const ssize_t n = read(control_fd, buf, sizeof buf);
  if (n <= 0) return;
  partial.append(buf, static_cast<std::size_t>(n));
  for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
    run_request(partial.substr(0, end));
    partial.erase(0, end + 1);
  }
}

// ---- the loop ----

int serve_gpio(int& gpio_fd) {
  GpioEvent event{};
  if (gpio_serve(gpio_fd, event) != 0) {
    emit("gpio gone");
    close(gpio_fd);
    gpio_fd = -1;
    return -1;
  }
  if (event.text[0] != 0) emit(event.text);
  return 0;
}

int run_loop(int signal_fd, int gpio_fd) {
  std::string control_partial;
  for (;;) {
    std::vector<pollfd> fds = {
        {control_fd, POLLIN, 0}, {signal_fd, POLLIN, 0}, {gpio_fd, POLLIN, 0}};
    for (const Uart& uart : uarts) {
      fds.push_back({uart.fd, static_cast<short>(POLLIN | (uart.pending > 0 ? POLLOUT : 0)), 0});
    }
    const std::size_t first_job = fds.size();
    for (const Job& job : jobs) {
      fds.push_back({job.out, POLLIN, 0});
      fds.push_back({job.err, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) return 1;
    // The device first: the daemon is blocked until it is answered.
    if (fds[2].revents & POLLIN) serve_gpio(gpio_fd);
    for (std::size_t i = 0; i < 2; ++i) {
      if (fds[3 + i].revents & POLLIN) uart_read(i);
      if (fds[3 + i].revents & POLLOUT) uart_write(i);
    }
    for (std::size_t i = 0; i < jobs.size() && first_job + 2 * i + 1 < fds.size(); ++i) {
      Job& job = jobs[i];
      if (fds[first_job + 2 * i].revents) drain(job, job.out, job.out_line, false, false);
      if (fds[first_job + 2 * i + 1].revents) drain(job, job.err, job.err_line, true, false);
    }
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info{};
      while (read(signal_fd, &info, sizeof info) == sizeof info) {
      }
      reap();
    }
    if (fds[0].revents & POLLIN) read_control(control_partial);
    if (fds[0].revents & (POLLHUP | POLLERR)) {
      // The host went away: wait for it to come back.
      usleep(100000);
    }
    read_syslog();
  }
}

}  // namespace

int main() {
  control_fd = open_control_port();
  if (control_fd < 0) {
    std::perror("boardd: no control port");
    return 1;
  }
  mkdir(state_dir, 0755);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGCHLD);
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  const int signal_fd = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
  const int gpio_fd = gpio_open(state_dir);
  for (std::size_t i = 0; i < 2; ++i) uarts[i].fd = open_uart(uart_names[i]);
  emit(std::string("hello gpio=") + (gpio_fd >= 0 ? "yes" : "no") + " ttyS0=" +
       (uarts[0].fd >= 0 ? "yes" : "no") + " ttyS1=" + (uarts[1].fd >= 0 ? "yes" : "no"));
  return run_loop(signal_fd, gpio_fd);
}
