#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <tuple>

#include "sim/class_leds.h"
#include "sim/events.h"
#include "sim/network.h"
#include "sim/served_leds.h"
#include "sim/services.h"
#include "sim/simulated.h"
#include "sim/words.h"

namespace {

// The stand-in at `path`, under the name of the command it stands in for;
// nothing there when `present` is false.
int install_standin(const std::string& path, bool present) {
  if (remove_file(path) != 0) return -1;
  return present ? link_standin(path) : 0;
}

// Gives a file of the board to the user the daemon runs as, if not root.
int hand_to_user(const Supervisor& s, const std::string& path) {
  if (s.options.user < 0) return 0;
  const auto id = static_cast<uid_t>(s.options.user);
  return chown(path.c_str(), id, id);
}

int set_device(const Supervisor& s, const std::string& name, bool present) {
  const std::string path = "/dev/" + name;
  Device which = Device::None;
  if (name == "gpio") which = Device::Gpio;
  if (name == "ttyS0") which = Device::Serial0;
  if (name == "ttyS1") which = Device::Serial1;
  if (which == Device::None) return -1;
  if (!present) return remove_file(path);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return 0;
  if (write_file(path, "", 0660) != 0 || hand_to_user(s, path) != 0) return -1;
  return remember_device_file(world.devices, which, path);
}

// The board's commands that a scenario can break: where the daemon finds
// each, and what stands there normally (a stand-in, or a host program).
struct BoardTool {
  const char* name;
  const char* usr_path;  // below /usr, led to the board's tools folder; null: in board_bin_dir
  bool standin;
};

constexpr BoardTool board_tools[] = {
    {"hostapd_cli", nullptr, true},        {"wpa_cli", nullptr, true},
    {"ifconfig", nullptr, false},          {"grep", nullptr, false},
    {"netstat", nullptr, false},           {"io", sandbox_io_path, true},
    {"stroke", sandbox_stroke_path, true}, {"swanctl", sandbox_swanctl_path, true},
};

// What a tool prints when it prints garbage: binary bytes, a line longer than
// any buffer of the daemon's, and lines that begin like those the daemon looks
// for but do not go on with a number.
constexpr char garbage_head[] = "\0\1\2\xfe\xff garbage \x1b[7m\n";
const std::string garbage_text = std::string(garbage_head, sizeof garbage_head - 1) +
                                 "RX bytes: none\n"
                                 "Security Associations ( up, none\n" +
                                 std::string(5000, 'x') + "\n\xfd\xfe";
constexpr const char* garbage_path = "/opt/board/garbage";

std::string faulty_tool(const std::string& name, const std::string& behaviour) {
  // What the shell does for a command it cannot find: the host's program of
  // the same name further along PATH must not stand in for a missing one.
  if (behaviour == "missing") return "#!/bin/sh\necho '" + name + ": not found' >&2\nexit 127\n";
  if (behaviour == "fail") return "#!/bin/sh\necho '" + name + ": failed' >&2\nexit 1\n";
  if (behaviour == "silent") return "#!/bin/sh\nexit 0\n";
  if (behaviour == "garbage") return std::string("#!/bin/sh\nexec cat ") + garbage_path + "\n";
  // stroke's line of security associations with no count in it.
  if (behaviour == "no-count") {
    return "#!/bin/sh\nprintf 'Security Associations ( up, 0 connecting):\\n  none\\n'\n";
  }
  return "";
}

int set_tool(const BoardTool& tool, const std::string& behaviour) {
  const std::string path =
      tool.usr_path ? tool_path(tool.usr_path) : std::string(board_bin_dir) + "/" + tool.name;
  if (remove_file(path) != 0) return -1;
  if (behaviour == "missing" && tool.usr_path) return 0;
  if (behaviour != "normal") return write_file(path, faulty_tool(tool.name, behaviour), 0755);
  if (tool.standin) return link_standin(path);
  const std::string& program =
      std::string(tool.name) == "netstat" ? world.host.netstat : world.host.busybox;
  return symlink(program.c_str(), path.c_str());
}

int write_state(const Call& c) {
  return c.done(write_board_state(world.board, board_state_dir), "cannot write the board's state");
}

// ---- the commands ----

int device(const Call& c) {
  bool on = false;
  if (const int wrong = read_device(c, on)) return wrong;
  return c.done(set_device(c.s, c.w[1], on), "no such device, or it cannot change");
}

int pin(const Call& c) {
  PinState* pin = c.w.size() == 3 ? find_pin(world.board, c.w[1]) : nullptr;
  long value = 0;
  if (!pin) return c.usage("pin NAME 0|1|none");
  if (c.w[2] == "none") {
    pin->present = false;
  } else if (parse_int(c.w[2], 0, 1, value) == 0) {
    pin->present = true;
    pin->value = static_cast<int>(value);
  } else {
    return c.usage("pin NAME 0|1|none");
  }
  return write_state(c);
}

int io(const Call& c) {
  bool on = false;
  if (const int wrong = read_installed(c, on)) return wrong;
  return c.done(install_standin(tool_path(sandbox_io_path), on), "cannot change the I/O command");
}

int serial(const Call& c) {
  SerialState* port = c.w.size() >= 3 ? find_serial(world.board, c.w[1]) : nullptr;
  SerialLine line{};
  if (!port) return serial_usage(c);
  if (const int wrong = read_serial(c, line)) return wrong;
  switch (line.kind) {
    case SerialLine::Fail:
      port->fail = line.on;
      break;
    case SerialLine::Flowing:
      port->flowing = line.on;
      break;
    case SerialLine::Bytes:
      // Bytes through the port: its counters move as a real UART's would.
      port->rx = static_cast<std::int32_t>(port->rx + line.in);
      port->tx = static_cast<std::int32_t>(port->tx + line.out);
      break;
    case SerialLine::Counters:
      port->rx = static_cast<std::int32_t>(line.in);
      port->tx = static_cast<std::int32_t>(line.out);
      break;
  }
  return write_state(c);
}

int stations(const Call& c) {
  int index = -1;
  long count = 0;
  if (const int wrong = read_stations(c, world.board, index, count)) return wrong;
  world.board.stations[static_cast<std::size_t>(index)] = static_cast<int>(count);
  return write_state(c);
}

int ssid(const Call& c) {
  if (c.w.size() < 2) return c.usage("ssid NAME|none");
  const std::string name = rest_of_line(c.line);
  world.board.ssid = name == "none" ? "" : name;
  return write_state(c);
}

int traffic(const Call& c) {
  int index = -1;
  bool on = false;
  if (const int wrong = read_traffic(c, world.board, index, on)) return wrong;
  world.wifi_traffic[static_cast<std::size_t>(index)] = on;
  return 0;
}

int send_once(const Call& c) {
  int index = -1;
  long bytes = 0;
  if (const int wrong = read_send(c, world.board, index, bytes)) return wrong;
  const auto slot = static_cast<std::size_t>(index);
  return c.done(send_wifi_traffic(slot, world.board.wifi[slot], static_cast<int>(bytes)),
                "cannot send");
}

// The access points or the client named anew, as on firmware that names its
// radios otherwise: the old interfaces go, the new ones come without
// stations or traffic (the client keeps its association).
int rename_wifi(const Call& c, const IfaceLine& line) {
  const bool aps = line.kind == IfaceLine::AccessPoints;
  const std::size_t first = aps ? 0 : wifi_client_slot;
  const std::size_t end = aps ? wifi_ap_slots : wifi_slots;
  if (forget_wifi_state(world.board, board_state_dir) != 0) {
    return c.fail("cannot write the board's state");
  }
  int failed = 0;
  for (std::size_t slot = first; slot < end; ++slot) {
    std::string& name = world.board.wifi[slot];
    if (!name.empty()) failed |= set_wifi_interface(world.host.ip, slot, name, false);
    name = slot - first < line.names.size() ? line.names[slot - first] : "";
    world.wifi_traffic[slot] = false;
    if (slot < wifi_ap_slots) world.board.stations[slot] = 0;
  }
  for (std::size_t slot = first; slot < end; ++slot) {
    const std::string& name = world.board.wifi[slot];
    if (!name.empty()) failed |= set_wifi_interface(world.host.ip, slot, name, true);
  }
  if (failed != 0) return c.fail("cannot make the interfaces");
  return write_state(c);
}

int iface(const Call& c) {
  IfaceLine line{};
  if (const int wrong = read_iface(c, world.board, line)) return wrong;
  if (line.kind != IfaceLine::Switch) return rename_wifi(c, line);
  const auto slot = static_cast<std::size_t>(line.slot);
  return c.done(set_wifi_interface(world.host.ip, slot, world.board.wifi[slot], line.on),
                "cannot change the interface");
}

int tunnel(const Call& c) {
  long unit = 0;
  long bytes = 0;
  bool on = false;
  if (const int wrong = read_tunnel(c, unit, on, bytes)) return wrong;
  const int n = static_cast<int>(unit);
  long long& rx = world.board.tunnel_rx[static_cast<std::size_t>(n)];
  if (bytes == 0) {
    if (set_tunnel(n, on) != 0) {
      return c.fail(std::string("cannot set up the tunnel: ") + std::strerror(errno));
    }
    if (!on) rx = -1;
    if (on && rx < 0) rx = 0;
    return write_state(c);
  }
  const int delivered = send_tunnel_traffic(n, static_cast<int>(bytes));
  if (delivered < 0) return c.fail("cannot send (is it up?)");
  rx += delivered;
  return write_state(c);
}

int ipsec_tool(const Call& c) {
  bool on = false;
  if (const int wrong = read_installed(c, on)) return wrong;
  const bool stroke = c.w[0] == "stroke";
  const char* path = stroke ? sandbox_stroke_path : sandbox_swanctl_path;
  return c.done(install_standin(tool_path(path), on), "cannot change the tool");
}

int sas(const Call& c) {
  long count = 0;
  if (const int wrong = read_sas(c, count)) return wrong;
  world.board.sas = static_cast<int>(count);
  return write_state(c);
}

int service(const Call& c) {
  long user = -1;
  if (const int wrong = read_service(c, user)) return wrong;
  const std::string& name = c.w[1];
  const std::string& state = c.w[2];
  ServiceState* service = find_service(world.board, name);
  if (!service) return c.fail("no such service");
  if (service->pid > 0) {
    // Gone, sockets and all, before the daemon can look again.
    const auto pid = static_cast<pid_t>(service->pid);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  *service = {service->name, "down", -1};
  if (state != "down") {
    // Under another user's uid it is a program of theirs that took the name.
    const pid_t pid =
        start_service(world.host.self_fd, name.c_str(), state, user >= 0 ? user : c.s.options.user);
    if (pid <= 0) return c.fail("cannot start the service");
    *service = {service->name, state == "connected" ? "connected" : "listening", pid};
  }
  return write_state(c);
}

// The program behind a tool: killed (its sockets left behind), stopped, or
// started again, as on a router. A restarted access point has lost its
// stations, a restarted IPsec daemon its associations; the Wi-Fi client
// associates again by itself.
int program_state(const Call& c) {
  if (const int wrong = read_program(c)) return wrong;
  ProgramState* found = nullptr;
  for (ProgramState& p : world.board.programs) {
    if (c.w[1] == p.name) found = &p;
  }
  if (!found) return c.fail("no such program");
  const std::string& verb = c.w[0];
  found->state = verb == "kill" ? "killed" : verb == "stop" ? "stopped" : "running";
  if (verb == "restart" && c.w[1] == "hostapd") world.board.stations.fill(0);
  if (verb == "restart" && c.w[1] == "charon") world.board.sas = 0;
  return write_state(c);
}

int tool(const Call& c) {
  if (const int wrong = read_tool(c)) return wrong;
  for (const BoardTool& t : board_tools) {
    if (c.w[1] == t.name) return c.done(set_tool(t, c.w[2]), "cannot change the tool");
  }
  return c.fail("no such tool");
}

int gpio(const Call& c) {
  if (c.w.size() != 2 || (c.w[1] != "fail" && c.w[1] != "ok")) return c.usage("gpio fail|ok");
  world.board.gpio_fail = c.w[1] == "fail";
  return 0;
}

// A /tmp with no room left laid over the board's, or taken away again.
int tmp(const Call& c) {
  if (c.w.size() != 2 || (c.w[1] != "full" && c.w[1] != "free")) return c.usage("tmp full|free");
  const bool full = c.w[1] == "full";
  if (full == world.tmp_full) return 0;
  if (!full) {
    if (umount2("/tmp", MNT_DETACH) != 0) return c.fail(std::strerror(errno));
    world.tmp_full = false;
    return 0;
  }
  if (mount("board", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "size=4k,mode=1777") != 0) {
    return c.fail(std::strerror(errno));
  }
  world.tmp_full = true;
  const int filler = open("/tmp/.filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const std::string block(4096, 'f');
  while (filler >= 0 && write(filler, block.data(), block.size()) > 0) {
  }
  if (filler >= 0) close(filler);
  return 0;
}

// Sets the daemon's soft RLIMIT_NPROC from a process of the daemon's own
// user, which may do so where even root may not (without CAP_SYS_RESOURCE).
int set_nproc_limit(const Supervisor& s, bool unlimited, long limit) {
  const pid_t helper = fork();
  if (helper == 0) {
    if (s.options.user >= 0 && become_user(s.options.user) != 0) _exit(1);
    rlimit now{};
    if (prlimit(s.daemon.pid, RLIMIT_NPROC, nullptr, &now) != 0) _exit(1);
    now.rlim_cur = unlimited ? now.rlim_max : std::min(static_cast<rlim_t>(limit), now.rlim_max);
    _exit(prlimit(s.daemon.pid, RLIMIT_NPROC, &now, nullptr) == 0 ? 0 : 1);
  }
  int status = -1;
  if (helper < 0 || waitpid(helper, &status, 0) != helper) return -1;
  return status == 0 ? 0 : -1;
}

// The daemon's RLIMIT_NPROC: its forks fail once its user has that many processes.
int nproc(const Call& c) {
  long limit = 0;
  const bool unlimited = c.w.size() == 2 && c.w[1] == "unlimited";
  if (c.w.size() != 2 || (!unlimited && parse_int(c.w[1], 0, 1 << 20, limit) != 0)) {
    return c.usage("nproc COUNT|unlimited");
  }
  if (c.s.daemon.pid <= 0) return c.fail("the daemon is not running");
  if (!world.limits_apply) return c.fail("root ignores the limit: start the board with --user");
  return c.done(set_nproc_limit(c.s, unlimited, limit), "cannot change the daemon's limit");
}

// The board's next processes get PIDs above `floor`, as on a router that has
// been up for a while.
int pids(const Call& c) {
  long floor = 0;
  if (c.w.size() != 2 || parse_int(c.w[1], 1, 4000000, floor) != 0) return c.usage("pids FLOOR");
  const std::string text = std::to_string(floor);
  const int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
  const bool ok =
      fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  return c.done(ok ? 0 : -1, "cannot set the next PID");
}

int set_clock(const Call& c) {
  if (c.w.size() != 2 || (c.w[1] != "fast" && c.w[1] != "normal" && c.w[1] != "step"))
    return c.usage("clock fast|normal|step");
  if (!world.options.fast_clock) return c.fail("the board was not started with --fast-clock");
  world.clock_fast = c.w[1] != "normal";
  SleepGate& sleeps = world.sleeps;
  sleeps.stepping = c.w[1] == "step";
  if (!sleeps.stepping && sleeps.held) release_sleep(world.listener, sleeps);
  sleeps.credit = 0;
  return 0;
}

// With "clock step": the held sleep ends, so the daemon runs one more tick.
int tick(const Call& c) {
  if (c.w.size() != 1) return c.usage("tick");
  if (!world.sleeps.stepping) return c.fail("the clock is not stepping");
  release_sleep(world.listener, world.sleeps);
  return 0;
}

// The board's kernel LEDs: one there (again), one gone, or its trigger set
// by another program.
int led_class(const Call& c) {
  std::string name;
  long max = 0;
  bool gone = false;
  if (const int wrong = read_led_class(c, name, max, gone)) return wrong;
  const auto brightness = max < 0 ? default_max_brightness : static_cast<std::uint32_t>(max);
  const int result =
      gone ? remove_class_led(name, c.error) : add_class_led(name, brightness, c.error);
  return result == 0 ? 0 : verb_failed;
}

int led_trigger(const Call& c) {
  std::string name;
  std::string trigger;
  if (const int wrong = read_led_trigger(c, name, trigger)) return wrong;
  return set_class_led_trigger(name, trigger, c.error) == 0 ? 0 : verb_failed;
}

constexpr Verb verbs[] = {
    {"device", device},
    {"pin", pin},
    {"io", io},
    {"serial", serial},
    {"stations", stations},
    {"ssid", ssid},
    {"traffic", traffic},
    {"send", send_once},
    {"iface", iface},
    {"tun", tunnel},
    {"stroke", ipsec_tool},
    {"swanctl", ipsec_tool},
    {"sas", sas},
    {"service", service},
    {"tool", tool},
    {"kill", program_state},
    {"stop", program_state},
    {"restart", program_state},
    {"gpio", gpio},
    {"tmp", tmp},
    {"nproc", nproc},
    {"pids", pids},
    {"clock", set_clock},
    {"tick", tick},
    {"led-class", led_class},
    {"led-trigger", led_trigger},
};

// ---- the hooks around the daemon ----

// Lays out the board's initial files and services.
int prepare_board(const Supervisor& s) {
  world.board = initial_board();
  for (const char* name : {"gpio", "ttyS0", "ttyS1"}) {
    if (set_device(s, name, true) != 0) return -1;
  }
  if (write_board_state(world.board, board_state_dir) != 0) return -1;
  // The stand-ins note their calls there.
  if (hand_to_user(s, board_state_dir) != 0) return -1;
  if (write_file(garbage_path, garbage_text, 0644) != 0) return -1;
  if (install_standin(tool_path(sandbox_io_path), true) != 0) return -1;
  if (serve_default_leds(s.options.user) != 0) return -1;
  world.class_leds = true;
  return install_standin(tool_path(sandbox_stroke_path), true);
}

int in_daemon(const Supervisor& s, int report_fd) {
  if (s.options.user >= 0 && become_user(s.options.user) != 0) return -1;
  if (!world.options.emulate_devices) return 0;
  return filter_child(report_fd, world.class_leds);
}

int daemon_started(Supervisor& /*s*/, int report_fd, std::string& error) {
  world.listener = -1;
  world.sleeps.credit = 0;
  world.sleeps.held = false;
  if (!world.options.emulate_devices) return 0;
  world.listener = receive_listener(report_fd);
  if (world.listener >= 0) return 0;
  error = "the device filter could not be installed";
  return -1;
}

// The device calls it made before it went are reported before its end.
void daemon_ending(const Supervisor& s) {
  pollfd waiting{world.listener, POLLIN, 0};
  while (world.listener >= 0 && poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN)) {
    if (serve_notification(world.listener, world.board, world.devices, s.daemon.pid,
                           world.clock_fast) != 0) {
      break;
    }
  }
  if (world.listener >= 0) close(world.listener);
  world.listener = -1;
  world.sleeps.held = false;
  forget_led_opens(s.daemon.pid);
}

// "run" commands reach the board's devices through filters of their own:
// norvask-status, and a daemon started by the start script.
int in_job(const Supervisor& /*s*/, int report_fd) {
  if (!world.options.emulate_devices) return 0;
  return filter_child(report_fd, world.class_leds);
}

void job_started(Supervisor& /*s*/, int report_fd) {
  if (world.options.emulate_devices) keep_job_filter(world.jobs, receive_listener(report_fd));
}

void server_started(Supervisor& /*s*/, int report_fd) {
  if (world.options.emulate_devices) keep_server_filter(world.jobs, receive_listener(report_fd));
}

void logged(const std::string& /*datagram*/) {}

void reaped(Supervisor& /*s*/, pid_t pid, int /*status*/) {
  for (ServiceState& ended : world.board.services) {
    if (ended.pid != pid) continue;
    ended = {ended.name, "down", -1};
    write_board_state(world.board, board_state_dir);
  }
}

void on_timer(Supervisor& /*s*/) {
  for (std::size_t slot = 0; slot < wifi_slots; ++slot) {
    if (world.wifi_traffic[slot]) send_wifi_traffic(slot, world.board.wifi[slot], 300);
  }
  bool changed = false;
  for (SerialState& port : world.board.serial) {
    if (!port.flowing) continue;
    port.rx += 12;
    port.tx += 7;
    changed = true;
  }
  if (changed) write_board_state(world.board, board_state_dir);
}

// A held sleep would hold the daemon's end too.
void on_quit(Supervisor& /*s*/) {
  world.sleeps.stepping = false;
  if (world.sleeps.held) release_sleep(world.listener, world.sleeps);
}

std::size_t poll_fds(const Supervisor& /*s*/, pollfd* fds) {
  fds[0] = {world.listener, POLLIN, 0};
  return 1 + job_filter_fds(world.jobs, fds + 1);
}

// (The hook's board is not const: the router's serve finishes lines.)
// cppcheck-suppress constParameterCallback
void serve(Supervisor& s, const pollfd* fds) {
  if (fds[0].revents & POLLIN) {
    serve_notification(world.listener, world.board, world.devices, s.daemon.pid, world.clock_fast,
                       &world.sleeps);
  }
  serve_job_filters(world.jobs, fds + 1, world.board, world.devices, s.daemon.pid,
                    world.clock_fast);
}

}  // namespace

World world{};

const Backend simulated_backend = {
    "the simulated board",
    verbs,
    std::size(verbs),
    prepare_board,
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
};

int play_pin(const Call& c) { return pin(c); }
int play_gpio(const Call& c) { return gpio(c); }
int play_pids(const Call& c) { return pids(c); }
int play_clock(const Call& c) { return set_clock(c); }
int play_tick(const Call& c) { return tick(c); }
int play_tmp(const Call& c) { return tmp(c); }
