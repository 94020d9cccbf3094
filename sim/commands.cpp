#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "sim/events.h"
#include "sim/network.h"
#include "sim/services.h"
#include "sim/supervisor.h"

namespace {

std::vector<std::string> split_words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

// The text after the first word, as typed.
std::string rest_of_line(const std::string& line) {
  const std::size_t start = line.find_first_not_of(" \t");
  const std::size_t gap = line.find_first_of(" \t", start);
  if (gap == std::string::npos) return "";
  const std::size_t text = line.find_first_not_of(" \t", gap);
  return text == std::string::npos ? "" : line.substr(text);
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

int fail(std::string& error, const std::string& why) {
  error = why;
  return -1;
}

// What every command handler gets: the words of the line, the line itself,
// the seconds to hold back later lines, and the reason for a failure.
struct Call {
  Supervisor& s;
  const std::vector<std::string>& w;
  const std::string& line;
  double& wait;
  std::string& error;

  int usage(const char* text) const { return fail(error, std::string("usage: ") + text); }
  int done(int result, const char* why) const { return result == 0 ? 0 : fail(error, why); }
};

const std::string* standin_text(const Supervisor& s, const char* name) {
  for (const auto& [standin, text] : s.host.standins) {
    if (standin == name) return &text;
  }
  return nullptr;
}

int install_standin(const Supervisor& s, const char* name, const char* sandbox_path, bool present) {
  const std::string path = tool_path(sandbox_path);
  if (!present) return remove_file(path);
  const std::string* text = standin_text(s, name);
  return text ? write_file(path, *text, 0755) : -1;
}

int set_device(Supervisor& s, const std::string& name, bool present) {
  const std::string path = "/dev/" + name;
  Device device = Device::None;
  if (name == "gpio") device = Device::Gpio;
  if (name == "ttyS0") device = Device::Serial0;
  if (name == "ttyS1") device = Device::Serial1;
  if (device == Device::None) return -1;
  if (!present) return remove_file(path);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return 0;
  if (write_file(path, "", 0660) != 0) return -1;
  return remember_device_file(s.devices, device, path);
}

int write_state(const Call& c) {
  return c.done(write_board_state(c.s.board, board_state_dir), "cannot write the board's state");
}

// ---- the commands ----

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
  if (fd < 0) return fail(c.error, "cannot open the settings file");
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
  if (c.w.size() > 2 || (c.w.size() == 2 && how == StartAs::Normal)) {
    return c.usage("start [closed|no-arguments|empty-name]");
  }
  return start_daemon(c.s, how, c.error);
}

int send_signal(const Call& c) {
  if (c.w.size() != 2) return c.usage("signal NAME");
  if (c.s.daemon.pid <= 0) return fail(c.error, "the daemon is not running");
  const std::string& name = c.w[1];
  long number = 0;
  if (parse_int(name, 1, NSIG - 1, number) != 0) {
    const std::string bare = name.rfind("SIG", 0) == 0 ? name.substr(3) : name;
    number = 0;
    for (int sig = 1; sig < NSIG; ++sig) {
      const char* abbrev = sigabbrev_np(sig);
      if (abbrev && bare == abbrev) number = sig;
    }
    if (number == 0) return fail(c.error, "no such signal");
  }
  if (kill(c.s.daemon.pid, static_cast<int>(number)) != 0)
    return fail(c.error, std::strerror(errno));
  return 0;
}

int device(const Call& c) {
  bool on = false;
  if (c.w.size() != 3 || parse_switch(c.w[2], on) != 0) return c.usage("device NAME on|off");
  return c.done(set_device(c.s, c.w[1], on), "no such device, or it cannot change");
}

int pin(const Call& c) {
  PinState* pin = c.w.size() == 3 ? find_pin(c.s.board, c.w[1]) : nullptr;
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
  if (c.w.size() != 2 || parse_switch(c.w[1], on) != 0) return c.usage("io on|off");
  return c.done(install_standin(c.s, "io", sandbox_io_path, on), "cannot change the I/O command");
}

int serial(const Call& c) {
  const char* text = "serial PORT RX TX | PORT fail|ok | PORT flowing on|off";
  SerialState* port = c.w.size() >= 3 ? find_serial(c.s.board, c.w[1]) : nullptr;
  long rx = 0;
  long tx = 0;
  bool on = false;
  if (!port) return c.usage(text);
  if (c.w.size() == 3 && (c.w[2] == "fail" || c.w[2] == "ok")) {
    port->fail = c.w[2] == "fail";
  } else if (c.w.size() == 4 && c.w[2] == "flowing" && parse_switch(c.w[3], on) == 0) {
    port->flowing = on;
  } else if (c.w.size() == 4 && parse_int(c.w[2], INT32_MIN, INT32_MAX, rx) == 0 &&
             parse_int(c.w[3], INT32_MIN, INT32_MAX, tx) == 0) {
    port->rx = static_cast<std::int32_t>(rx);
    port->tx = static_cast<std::int32_t>(tx);
  } else {
    return c.usage(text);
  }
  return write_state(c);
}

int wifi_index(const std::string& name) {
  for (int i = 0; i < 3; ++i) {
    if (name == wifi_interfaces[i]) return i;
  }
  return -1;
}

int stations(const Call& c) {
  const int index = c.w.size() == 3 ? wifi_index(c.w[1]) : -1;
  long count = 0;
  if (index < 0 || index > 1 || parse_int(c.w[2], 0, 1000, count) != 0) {
    return c.usage("stations wlan0|wlan02 COUNT");
  }
  c.s.board.stations[static_cast<std::size_t>(index)] = static_cast<int>(count);
  return write_state(c);
}

int ssid(const Call& c) {
  if (c.w.size() != 2) return c.usage("ssid NAME|none");
  c.s.board.ssid = c.w[1] == "none" ? "" : c.w[1];
  return write_state(c);
}

int traffic(const Call& c) {
  const int index = c.w.size() == 3 ? wifi_index(c.w[1]) : -1;
  bool on = false;
  if (index < 0 || parse_switch(c.w[2], on) != 0) return c.usage("traffic IFACE on|off");
  c.s.wifi_traffic[static_cast<std::size_t>(index)] = on;
  return 0;
}

int send_once(const Call& c) {
  long bytes = 0;
  if (c.w.size() != 3 || wifi_index(c.w[1]) < 0 || parse_int(c.w[2], 1, 100000000, bytes) != 0) {
    return c.usage("send IFACE BYTES");
  }
  return c.done(send_wifi_traffic(c.w[1], static_cast<int>(bytes)), "cannot send");
}

int iface(const Call& c) {
  bool on = false;
  if (c.w.size() != 3 || wifi_index(c.w[1]) < 0 || parse_switch(c.w[2], on) != 0) {
    return c.usage("iface IFACE on|off");
  }
  return c.done(set_wifi_interface(c.s.host.ip, c.w[1], on), "cannot change the interface");
}

int tunnel(const Call& c) {
  const char* text = "tun 0-3 up|down | tun 0-3 rx BYTES";
  long unit = 0;
  long bytes = 0;
  bool on = false;
  if (c.w.size() < 3 || parse_int(c.w[1], 0, tunnel_count - 1, unit) != 0) return c.usage(text);
  const int n = static_cast<int>(unit);
  if (c.w.size() == 3 && parse_switch(c.w[2], on) == 0) {
    if (set_tunnel(n, on) == 0) return 0;
    return fail(c.error, std::string("cannot set up the tunnel: ") + std::strerror(errno));
  }
  if (c.w.size() == 4 && c.w[2] == "rx" && parse_int(c.w[3], 1, 100000000, bytes) == 0) {
    return c.done(send_tunnel_traffic(n, static_cast<int>(bytes)), "cannot send (is it up?)");
  }
  return c.usage(text);
}

int ipsec_tool(const Call& c) {
  bool on = false;
  if (c.w.size() != 2 || parse_switch(c.w[1], on) != 0) return c.usage("stroke|swanctl on|off");
  const bool stroke = c.w[0] == "stroke";
  const char* path = stroke ? sandbox_stroke_path : sandbox_swanctl_path;
  return c.done(install_standin(c.s, c.w[0].c_str(), path, on), "cannot change the tool");
}

int sas(const Call& c) {
  long count = 0;
  if (c.w.size() != 2 || parse_int(c.w[1], 0, 1000, count) != 0) return c.usage("sas COUNT");
  c.s.board.sas = static_cast<int>(count);
  return write_state(c);
}

int service(const Call& c) {
  const char* text = "service tessik_clientd connected|listening|down | drennic listening|down";
  if (c.w.size() != 3) return c.usage(text);
  const std::string& name = c.w[1];
  const std::string& state = c.w[2];
  const int index = name == remote_client_name ? 0 : name == portal_name ? 1 : -1;
  const bool valid =
      state == "down" || state == "listening" || (index == 0 && state == "connected");
  if (index < 0 || !valid) return c.usage(text);
  pid_t& pid = c.s.services[static_cast<std::size_t>(index)];
  if (pid > 0) {
    // Gone, sockets and all, before the daemon can look again.
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  if (state == "down") return 0;
  pid = start_service(c.s.host.self_fd, name.c_str(), state);
  return c.done(pid > 0 ? 0 : -1, "cannot start the service");
}

int set_clock(const Call& c) {
  if (c.w.size() != 2 || (c.w[1] != "fast" && c.w[1] != "normal"))
    return c.usage("clock fast|normal");
  if (!c.s.options.fast_clock) return fail(c.error, "the board was not started with --fast-clock");
  c.s.clock_fast = c.w[1] == "fast";
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

int quit(const Call& c) {
  begin_quit(c.s);
  return 0;
}

struct Command {
  const char* verb;
  int (*run)(const Call&);
};

constexpr Command commands[] = {
    {"modes", settings_modes},
    {"settings", settings_line},
    {"no-settings", no_settings},
    {"start", start_command},
    {"signal", send_signal},
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
    {"clock", set_clock},
    {"inspect", inspect},
    {"wait", hold},
    {"say", say},
    {"quit", quit},
};

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

}  // namespace

int prepare_board(Supervisor& s) {
  s.board = initial_board();
  for (const char* device : {"gpio", "ttyS0", "ttyS1"}) {
    if (set_device(s, device, true) != 0) return -1;
  }
  if (write_board_state(s.board, board_state_dir) != 0) return -1;
  if (install_standin(s, "io", sandbox_io_path, true) != 0) return -1;
  if (install_standin(s, "stroke", sandbox_stroke_path, true) != 0) return -1;
  return 0;
}

int execute_command(Supervisor& s, const std::string& line, double& wait, std::string& error) {
  wait = 0;
  const std::vector<std::string> words = split_words(line);
  if (words.empty() || words[0][0] == '#') return 0;
  for (const Command& command : commands) {
    if (words[0] == command.verb) return command.run(Call{s, words, line, wait, error});
  }
  return fail(error, "unknown command");
}

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
    char state = 0;
    long ppid = 0;
    if (!close_paren || std::sscanf(close_paren + 1, " %c %ld", &state, &ppid) != 2) continue;
    if (ppid != s.daemon.pid) continue;
    ++children;
    if (state == 'Z') ++zombies;
  }
  if (d) closedir(d);
  emit("inspect fds=" + std::to_string(fds) + " children=" + std::to_string(children) +
       " zombies=" + std::to_string(zombies));
}
