#include "sim/router.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "sim/events.h"
#include "sim/kernel_leds.h"
#include "sim/simulated.h"
#include "sim/words.h"

namespace {

// The shell functions that change the world around the router.
constexpr const char* actions_path = "/usr/lib/board/actions";
// Files the host offers (vm/router.py), over 9p.
constexpr const char* share_dir = "/mnt/host";
// Where the router's syslogd listens once the board holds /dev/log: what
// the daemon logs is reported and passed on, so the router's log keeps it.
constexpr const char* syslogd_socket = "/dev/syslogd.sock";
// An action that has not ended by then has hung.
constexpr double action_seconds = 300;
constexpr double serial_seconds = 15;
// Exit status of an action for a change the router cannot play.
constexpr int action_refused = 3;

// A change under way: the pending line's action, or bytes through the UARTs.
struct Action {
  pid_t pid;     // -1: no process
  int out;       // what it prints (init) or says on failure (an action)
  bool init;     // the start script: reported as "run" is
  bool adopt;    // the daemon it starts becomes the board's
  int listener;  // the start script's filter, -1
  std::string text;
  double deadline;
  bool serial;         // waiting for UART bytes
  FileId daemon_file;  // what the daemon it starts runs, known by before its PID
  bool leds;           // it binds or unbinds an LED's driver
};

Action action{-1, -1, false, false, -1, "", 0, false, {}, false};

struct Uart {
  const char* name;
  int fd;
  long arrived;  // bytes read from the port
  long awaited;  // read that many, and the byte-feeding line is done
  long to_write;
  bool flowing;
};

std::array<Uart, 2> uarts{{{"ttyS0", -1, 0, 0, 0, false}, {"ttyS1", -1, 0, 0, 0, false}}};

int relay_fd = -1;

std::string quoted(const std::string& word) {
  std::string text = "'";
  for (const char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

int prepare_init(const void* /*context*/, int report_fd) { return filter_child(report_fd); }

// Starts `command` with /bin/sh, what it says on standard error read into
// the action. With `init`: its standard output too, and under the device
// filter, as the start script.
int start_action(const std::string& command, bool init, std::string& error) {
  const ShellChild child{command.c_str(),
                         "/usr/sbin:/usr/bin:/sbin:/bin",
                         init ? prepare_init : nullptr,
                         nullptr,
                         init,
                         false};
  ShellStarted started{};
  if (start_shell(child, started, error) != 0) return -1;
  action = {started.pid, started.out, init, false, -1, "", board_clock() + action_seconds,
            false,       {},          false};
  struct stat st {};
  if (init && stat(sandbox_daemon_path, &st) == 0) action.daemon_file = {st.st_dev, st.st_ino};
  if (init) action.listener = receive_listener(started.report);
  close(started.report);
  return 0;
}

// One of the actions' functions with the line's words after it.
int act(const Call& c, const std::string& function) {
  std::string command = ". ";
  command.append(actions_path).append(" && ").append(function);
  for (std::size_t i = 1; i < c.w.size(); ++i) command.append(" ").append(quoted(c.w[i]));
  return start_action(command, false, c.error) == 0 ? verb_pending : verb_failed;
}

void read_action_output() {
  char buf[4096];
  for (ssize_t n; action.out >= 0 && (n = read(action.out, buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    action.text.append(buf, static_cast<std::size_t>(n));
  }
}

std::vector<std::string> text_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

void action_ended(Supervisor& s, int status) {
  read_action_output();
  close_fd(action.out);
  action.pid = -1;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const std::vector<std::string> lines = text_lines(action.text);
  if (action.init) {
    for (const std::string& line : lines) emit("out " + line);
    emit("ran " + std::to_string(code));
    const pid_t pid = action.adopt && s.daemon.pid <= 0 ? started_daemon() : -1;
    if (pid > 0) {
      s.daemon = {pid, -1, -1, "", ""};
      world.listener = action.listener;
      world.sleeps.credit = 0;
      world.sleeps.held = false;
      emit("daemon " + std::to_string(pid));
    } else {
      keep_job_filter(world.jobs, action.listener);
    }
    action.listener = -1;
    finish_line(s, verb_done, "");
    return;
  }
  // A driver bound again holds its lines anew.
  if (action.leds) learn_led_lines();
  std::string why;
  for (std::size_t i = lines.size() > 3 ? lines.size() - 3 : 0; i < lines.size(); ++i) {
    why += (why.empty() ? "" : " ") + lines[i];
  }
  if (why.empty()) why = "status " + std::to_string(code);
  finish_line(s, code == 0 ? verb_done : code == action_refused ? verb_refused : verb_failed, why);
}

// ---- the UARTs ----

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

Uart* find_uart(const std::string& name) {
  for (Uart& uart : uarts) {
    if (name == uart.name && uart.fd >= 0) return &uart;
  }
  return nullptr;
}

// Asks the host for bytes into the port ("feed PORT COUNT", which
// vm/router.py answers and does not pass on).
void feed(const Uart& uart, long count) {
  emit(std::string("feed ") + uart.name + " " + std::to_string(count));
}

void uart_read(Uart& uart) {
  char buf[512];
  for (ssize_t n; (n = read(uart.fd, buf, sizeof buf)) > 0;) uart.arrived += n;
}

void uart_write(Uart& uart) {
  char buf[256];
  std::memset(buf, 'U', sizeof buf);
  while (uart.to_write > 0) {
    const auto chunk = static_cast<std::size_t>(uart.to_write < 256 ? uart.to_write : 256);
    const ssize_t n = write(uart.fd, buf, chunk);
    if (n <= 0) break;
    uart.to_write -= n;
  }
}

// The serial line is done once the bytes asked for have arrived and those
// written have left the port.
void check_serial(Supervisor& s) {
  if (!action.serial) return;
  bool done = true;
  for (const Uart& uart : uarts) {
    int queued = 0;
    if (uart.fd < 0) continue;
    if (uart.arrived < uart.awaited || uart.to_write > 0 ||
        (ioctl(uart.fd, TIOCOUTQ, &queued) == 0 && queued > 0)) {
      done = false;
    }
  }
  if (!done && board_clock() < action.deadline) return;
  action.serial = false;
  finish_line(s, done ? verb_done : verb_failed, "the bytes did not get through in time");
}

// ---- the verbs ----

// Away: moved aside, so that it can come back as it was.
int set_present(const std::string& path, bool on) {
  const std::string away = path + ".away";
  struct stat st {};
  if (on) return lstat(away.c_str(), &st) != 0 ? 0 : rename(away.c_str(), path.c_str());
  return lstat(path.c_str(), &st) != 0 ? 0 : rename(path.c_str(), away.c_str());
}

int device(const Call& c) {
  bool on = false;
  if (const int wrong = read_device(c, on)) return wrong;
  const std::string path = "/dev/" + c.w[1];
  if (c.w[1] != "gpio") return c.done(set_present(path, on), "the device cannot change");
  // The GPIO device is a file of the board's: each new one is remembered,
  // so that a descriptor opened before still reaches the device.
  if (!on) return c.done(remove_file(path), "the device cannot change");
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return 0;
  const int made = write_file(path, "", 0660) == 0 &&
                           remember_device_file(world.devices, Device::Gpio, path) == 0
                       ? 0
                       : -1;
  return c.done(made, "the device cannot change");
}

int io(const Call& c) {
  bool on = false;
  if (const int wrong = read_installed(c, on)) return wrong;
  return c.done(set_present("/usr/bin/io", on), "cannot change the command");
}

int ipsec_tool(const Call& c) {
  bool on = false;
  if (const int wrong = read_installed(c, on)) return wrong;
  const char* path =
      c.w[0] == "stroke" ? "/usr/libexec/ipsec/stroke" : "/usr/libexec/ipsec/swanctl";
  return c.done(set_present(path, on), "cannot change the command");
}

int stations(const Call& c) {
  int index = -1;
  long count = 0;
  if (const int wrong = read_stations(c, world.board, index, count)) return wrong;
  if (count > 2) return c.refuse("the board has two phones");
  return act(c, "stations");
}

int traffic(const Call& c) {
  int index = -1;
  bool on = false;
  if (const int wrong = read_traffic(c, world.board, index, on)) return wrong;
  return act(c, "traffic");
}

int send_once(const Call& c) {
  int index = -1;
  long bytes = 0;
  if (const int wrong = read_send(c, world.board, index, bytes)) return wrong;
  return act(c, "send");
}

// The name is the rest of the line, blanks and all.
int ssid(const Call& c) {
  if (c.w.size() < 2) return c.usage("ssid NAME|none");
  std::string command = ". ";
  command.append(actions_path).append(" && ssid ").append(quoted(rest_of_line(c.line)));
  return start_action(command, false, c.error) == 0 ? verb_pending : verb_failed;
}

int tunnel(const Call& c) {
  long unit = 0;
  long bytes = 0;
  bool on = false;
  if (const int wrong = read_tunnel(c, unit, on, bytes)) return wrong;
  // Its data is a ping through the tunnel: an IPv4 and an ICMP header at least.
  if (bytes > 0 && bytes < 28)
    return c.refuse("a packet through its tunnels carries 28 bytes or more");
  return act(c, "tun");
}

int sas(const Call& c) {
  long count = 0;
  if (const int wrong = read_sas(c, count)) return wrong;
  if (count > 1) return c.refuse("the board has one IPsec connection: sas 0|1");
  return act(c, "sas");
}

int service(const Call& c) {
  long user = -1;
  if (const int wrong = read_service(c, user)) return wrong;
  if (user >= 0) return c.refuse("its services run as root");
  return act(c, "service");
}

int program_state(const Call& c) {
  if (const int wrong = read_program(c)) return wrong;
  return act(c, c.w[0] + "_program");
}

int tool(const Call& c) {
  if (const int wrong = read_tool(c)) return wrong;
  return act(c, "tool");
}

int serial(const Call& c) {
  Uart* uart = c.w.size() >= 3 ? find_uart(c.w[1]) : nullptr;
  SerialLine line{};
  if (!uart) return serial_usage(c);
  if (const int wrong = read_serial(c, line)) return wrong;
  long in = line.in;
  long out = line.out;
  if (line.kind == SerialLine::Fail) return c.refuse("its UART driver does not fail");
  if (line.kind == SerialLine::Flowing) {
    uart->flowing = line.on;
    return verb_done;
  }
  if (line.kind == SerialLine::Counters) {
    // The counters the driver keeps: a real UART's only grow.
    serial_icounter_struct now{};
    if (ioctl(uart->fd, TIOCGICOUNT, &now) != 0) return c.fail(std::strerror(errno));
    if (in < now.rx || out < now.tx) {
      return c.fail("a real UART's counters only grow: " + c.w[1] + " has counted " +
                    std::to_string(now.rx) + " in and " + std::to_string(now.tx) + " out");
    }
    in -= now.rx;
    out -= now.tx;
  }
  if (in > 0) feed(*uart, in);
  uart->awaited = uart->arrived + in;
  uart->to_write += out;
  uart_write(*uart);
  action.serial = true;
  action.deadline = board_clock() + serial_seconds;
  return verb_pending;
}

// The start script, reported as "run" is; the daemon it starts becomes the
// board's, under the device filter the script was started under.
int init(const Call& c) {
  if (c.w.size() != 2 || !is_one_of(c.w[1], {"start", "stop", "restart", "status"})) {
    return c.usage("init start|stop|restart|status");
  }
  if (start_action(std::string(sandbox_init_path) + " " + c.w[1], true, c.error) != 0) {
    return verb_failed;
  }
  action.adopt = c.w[1] == "start" || c.w[1] == "restart";
  return verb_pending;
}

// A file the host offered: a package unpacked over /, or a daemon binary.
int install(const Call& c) {
  struct stat st {};
  const bool plain_name =
      c.w.size() == 2 && c.w[1].find('/') == std::string::npos && c.w[1][0] != '.';
  if (!plain_name) return c.usage("install NAME (a file the host offers)");
  if (stat((std::string(share_dir) + "/" + c.w[1]).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return c.fail("the host offers no such file");
  }
  return act(c, "install");
}

// ---- the kernel's LEDs ----

// The router's kernel LEDs are its device tree's (vm/image.py): leds-gpio
// on two lines of the PL061, each a device of its own.
bool router_led(const std::string& name) {
  return is_one_of(name, {"norvask:green:one", "norvask:red:two"});
}

constexpr const char* router_leds_reason =
    "its kernel LEDs are norvask:green:one and norvask:red:two, fixed by its device tree";

// Brought back (its driver bound) with trigger none and brightness 0, or
// gone (its driver unbound).
int led_class(const Call& c) {
  std::string name;
  long max = -1;
  bool gone = false;
  if (const int wrong = read_led_class(c, name, max, gone)) return wrong;
  if (!router_led(name)) return c.refuse(router_leds_reason);
  if (max != -1 && max != 1) return c.refuse("leds-gpio's max_brightness is 1");
  const int result = act(c, "led_class");
  action.leds = result == verb_pending;
  return result;
}

// Another program sets the LED's trigger, through its trigger file.
int led_trigger(const Call& c) {
  std::string name;
  std::string trigger;
  if (const int wrong = read_led_trigger(c, name, trigger)) return wrong;
  if (!router_led(name)) return c.refuse(router_leds_reason);
  return act(c, "led_trigger");
}

int refuse_iface(const Call& c) {
  if (c.w.size() >= 2 && (c.w[1] == "ap" || c.w[1] == "client")) {
    return c.refuse("its radios keep the names hostapd and wpa_supplicant were set up with");
  }
  return c.refuse("interfaces are the router's own");
}

int refuse_nproc(const Call& c) {
  return c.refuse("the daemon runs as root there, which the limit spares");
}

constexpr Verb verbs[] = {
    {"device", device},
    {"pin", play_pin},
    {"gpio", play_gpio},
    {"io", io},
    {"serial", serial},
    {"stations", stations},
    {"ssid", ssid},
    {"traffic", traffic},
    {"send", send_once},
    {"iface", refuse_iface},
    {"tun", tunnel},
    {"stroke", ipsec_tool},
    {"swanctl", ipsec_tool},
    {"sas", sas},
    {"service", service},
    {"tool", tool},
    {"kill", program_state},
    {"stop", program_state},
    {"restart", program_state},
    {"tmp", play_tmp},
    {"nproc", refuse_nproc},
    {"pids", play_pids},
    {"clock", play_clock},
    {"tick", play_tick},
    {"init", init},
    {"install", install},
    {"led-class", led_class},
    {"led-trigger", led_trigger},
};

// ---- the hooks ----

// Waits for the world around the router (started at boot) to be up.
int world_ready() {
  std::string error;
  std::string command = ". ";
  command.append(actions_path).append(" && ready");
  if (start_action(command, false, error) != 0) return -1;
  int status = -1;
  while (waitpid(action.pid, &status, 0) < 0 && errno == EINTR) {
  }
  read_action_output();
  close_fd(action.out);
  action.pid = -1;
  if (status == 0) return 0;
  (void)std::fprintf(stderr, "norvask-board: the router's world is not up: %s\n",
                     action.text.c_str());
  return -1;
}

int prepare(const Supervisor& /*s*/) {
  // The start script's daemon is ours once the script has ended.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  world.board = initial_board();
  world.options.emulate_devices = true;
  world.options.fast_clock = true;
  world.listener = -1;
  struct stat st {};
  if (stat("/dev/gpio", &st) != 0 && write_file("/dev/gpio", "", 0660) != 0) return -1;
  if (remember_device_file(world.devices, Device::Gpio, "/dev/gpio") != 0) return -1;
  if (write_board_state(world.board, board_state_dir) != 0) return -1;
  for (Uart& uart : uarts) uart.fd = open_uart(uart.name);
  mkdir(share_dir, 0755);
  // Already there when the board is started again.
  (void)mount("host", share_dir, "9p", MS_RDONLY, "trans=virtio,version=9p2000.L");
  relay_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (open_led_trace() < 0) return -1;
  return world_ready();
}

int in_daemon(const Supervisor& s, int report_fd) {
  return simulated_backend.in_daemon(s, report_fd);
}

int daemon_started(Supervisor& s, int report_fd, std::string& error) {
  return simulated_backend.daemon_started(s, report_fd, error);
}

void daemon_ending(const Supervisor& s) { simulated_backend.daemon_ending(s); }

int in_job(const Supervisor& s, int report_fd) { return simulated_backend.in_job(s, report_fd); }

void job_started(Supervisor& s, int report_fd) { simulated_backend.job_started(s, report_fd); }

void server_started(Supervisor& s, int report_fd) {
  simulated_backend.server_started(s, report_fd);
}

void reaped(Supervisor& s, pid_t pid, int status) {
  if (pid == action.pid) action_ended(s, status);
}

void logged(const std::string& datagram) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, syslogd_socket, sizeof address.sun_path - 1);
  (void)sendto(relay_fd, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

void on_timer(Supervisor& s) {
  // As the simulated board's flowing counters: 12 bytes in, 7 out, ten
  // times a second.
  for (Uart& uart : uarts) {
    if (!uart.flowing || uart.fd < 0) continue;
    feed(uart, 12);
    uart.to_write += 7;
    uart_write(uart);
  }
  check_serial(s);
  if (action.pid > 0 && board_clock() > action.deadline) kill(action.pid, SIGKILL);
}

void on_quit(Supervisor& s) { simulated_backend.on_quit(s); }

std::size_t poll_fds(const Supervisor& /*s*/, pollfd* fds) {
  fds[0] = {world.listener, POLLIN, 0};
  fds[1] = {action.out, POLLIN, 0};
  for (std::size_t i = 0; i < uarts.size(); ++i) {
    const auto events = static_cast<short>(POLLIN | (uarts[i].to_write > 0 ? POLLOUT : 0));
    fds[2 + i] = {uarts[i].fd, events, 0};
  }
  fds[4] = {action.listener, POLLIN, 0};
  static_assert(5 + job_filter_fds_max <= backend_poll_max);
  return 5 + job_filter_fds(world.jobs, fds + 5);
}

void serve(Supervisor& s, const pollfd* fds) {
  if (fds[0].revents & POLLIN) {
    serve_notification(world.listener, world.board, world.devices, s.daemon.pid, world.clock_fast,
                       &world.sleeps);
  }
  if (fds[1].revents) read_action_output();
  for (std::size_t i = 0; i < uarts.size(); ++i) {
    if (fds[2 + i].revents & POLLIN) uart_read(uarts[i]);
    if (fds[2 + i].revents & POLLOUT) uart_write(uarts[i]);
  }
  // The start script's listener serves the daemon it starts until it is
  // adopted, knowing its sleeps by its program until then.
  const bool adopting = action.adopt && s.daemon.pid <= 0;
  serve_job_filter(action.listener, fds[4].revents, world.board, world.devices, s.daemon.pid,
                   world.clock_fast, adopting ? &action.daemon_file : nullptr);
  serve_job_filters(world.jobs, fds + 5, world.board, world.devices, s.daemon.pid,
                    world.clock_fast);
  check_serial(s);
}

// Whatever was set on the LEDs' lines happened before the log message, the
// device call, the exit or the command's end that woke the loop. The trace
// is not polled: with nothing else going on, the board's timer comes by
// often enough, and each value keeps the kernel's time.
void report_first() { drain_led_trace(); }

}  // namespace

int open_router_port() {
  DIR* ports = opendir("/sys/class/virtio-ports");
  int fd = -1;
  while (const dirent* entry = ports ? readdir(ports) : nullptr) {
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
  if (ports) closedir(ports);
  if (fd < 0 || dup2(fd, 0) != 0 || dup2(fd, 1) != 1) {
    (void)std::fprintf(stderr, "norvask-board: no virtio port \"board\"\n");
    return -1;
  }
  close(fd);
  return 0;
}

const Backend router_backend = {
    "the emulated router",
    verbs,
    std::size(verbs),
    prepare,
    in_daemon,
    daemon_started,
    daemon_ending,
    in_job,
    job_started,
    reaped,
    logged,
    on_timer,
    on_quit,
    poll_fds,
    serve,
    server_started,
    report_first,
};
