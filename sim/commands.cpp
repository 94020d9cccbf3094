#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

int service_index(const std::string& name) {
  if (name == remote_client_name) return 0;
  if (name == portal_name) return 1;
  return -1;
}

int set_service(Supervisor& s, const std::string& name, const std::string& state,
                std::string& error) {
  const int index = service_index(name);
  if (index < 0) return fail(error, "no such service");
  const bool valid =
      state == "down" || state == "listening" || (index == 0 && state == "connected");
  if (!valid) return fail(error, "no such state for " + name);
  const auto i = static_cast<std::size_t>(index);
  if (s.services[i] > 0) {
    kill(s.services[i], SIGKILL);
    s.services[i] = -1;
  }
  s.service_states[i] = "down";
  if (state == "down") return 0;
  const pid_t pid = start_service(s.host.self_fd, name.c_str(), state);
  if (pid < 0) return fail(error, "cannot start " + name);
  s.services[i] = pid;
  s.service_states[i] = state;
  return 0;
}

int wifi_index(const std::string& name) {
  for (int i = 0; i < 3; ++i) {
    if (name == wifi_interfaces[i]) return i;
  }
  return -1;
}

int send_signal(Supervisor& s, const std::string& name, std::string& error) {
  if (s.daemon.pid <= 0) return fail(error, "the daemon is not running");
  long number = 0;
  if (parse_int(name, 1, 64, number) != 0) {
    const std::string bare = name.rfind("SIG", 0) == 0 ? name.substr(3) : name;
    number = 0;
    for (int sig = 1; sig < NSIG; ++sig) {
      const char* abbrev = sigabbrev_np(sig);
      if (abbrev && bare == abbrev) number = sig;
    }
    if (number == 0) return fail(error, "no such signal");
  }
  if (kill(s.daemon.pid, static_cast<int>(number)) != 0) return fail(error, std::strerror(errno));
  return 0;
}

int write_state(Supervisor& s, std::string& error) {
  if (write_board_state(s.board, board_state_dir) != 0) return fail(error, "cannot write state");
  return 0;
}

int pin_command(Supervisor& s, const std::vector<std::string>& w, std::string& error) {
  PinState* pin = w.size() == 3 ? find_pin(s.board, w[1]) : nullptr;
  if (!pin) return fail(error, "usage: pin NAME 0|1|none");
  long value = 0;
  if (w[2] == "none") {
    pin->present = false;
  } else if (parse_int(w[2], 0, 1, value) == 0) {
    pin->present = true;
    pin->value = static_cast<int>(value);
  } else {
    return fail(error, "usage: pin NAME 0|1|none");
  }
  return write_state(s, error);
}

int serial_command(Supervisor& s, const std::vector<std::string>& w, std::string& error) {
  SerialState* port = w.size() >= 3 ? find_serial(s.board, w[1]) : nullptr;
  long rx = 0;
  long tx = 0;
  bool on = false;
  if (!port) return fail(error, "usage: serial PORT RX TX | fail | ok | flowing on|off");
  if (w.size() == 3 && (w[2] == "fail" || w[2] == "ok")) {
    port->fail = w[2] == "fail";
  } else if (w.size() == 4 && w[2] == "flowing" && parse_switch(w[3], on) == 0) {
    port->flowing = on;
  } else if (w.size() == 4 && parse_int(w[2], INT32_MIN, INT32_MAX, rx) == 0 &&
             parse_int(w[3], INT32_MIN, INT32_MAX, tx) == 0) {
    port->rx = static_cast<std::int32_t>(rx);
    port->tx = static_cast<std::int32_t>(tx);
  } else {
    return fail(error, "usage: serial PORT RX TX | fail | ok | flowing on|off");
  }
  return write_state(s, error);
}

int tunnel_command(const std::vector<std::string>& w, std::string& error) {
  long unit = 0;
  long bytes = 0;
  bool on = false;
  if (w.size() < 3 || parse_int(w[1], 0, tunnel_count - 1, unit) != 0) {
    return fail(error, "usage: tun 0-3 up|down | rx BYTES");
  }
  const int n = static_cast<int>(unit);
  if (w.size() == 3 && parse_switch(w[2], on) == 0) {
    if (set_tunnel(n, on) != 0)
      return fail(error, std::string("cannot set up tun: ") + std::strerror(errno));
    return 0;
  }
  if (w.size() == 4 && w[2] == "rx" && parse_int(w[3], 1, 100000000, bytes) == 0) {
    if (send_tunnel_traffic(n, static_cast<int>(bytes)) != 0) return fail(error, "cannot send");
    return 0;
  }
  return fail(error, "usage: tun 0-3 up|down | rx BYTES");
}

int wifi_command(Supervisor& s, const std::vector<std::string>& w, std::string& error) {
  const int index = w.size() == 3 ? wifi_index(w[1]) : -1;
  long number = 0;
  bool on = false;
  if (index < 0) return fail(error, "usage: " + w[0] + " wlan0|wlan02|wlan1 ...");
  const auto i = static_cast<std::size_t>(index);
  if (w[0] == "traffic" && parse_switch(w[2], on) == 0) {
    s.wifi_traffic[i] = on;
    return 0;
  }
  if (w[0] == "send" && parse_int(w[2], 1, 100000000, number) == 0) {
    return send_wifi_traffic(w[1], static_cast<int>(number)) == 0 ? 0 : fail(error, "cannot send");
  }
  if (w[0] == "iface" && parse_switch(w[2], on) == 0) {
    return set_wifi_interface(s.host.ip, w[1], on) == 0 ? 0 : fail(error, "cannot change");
  }
  if (w[0] == "stations" && index < 2 && parse_int(w[2], 0, 1000, number) == 0) {
    s.board.stations[i] = static_cast<int>(number);
    return write_state(s, error);
  }
  return fail(error, "bad arguments");
}

int settings_command(const std::vector<std::string>& w, const std::string& line,
                     std::string& error) {
  if (w[0] == "no-settings") return remove_file(sandbox_settings_path);
  if (w[0] == "modes") {
    long m1 = 0;
    long m2 = 0;
    if (w.size() != 3 || parse_int(w[1], 0, UINT32_MAX, m1) != 0 ||
        parse_int(w[2], 0, UINT32_MAX, m2) != 0) {
      return fail(error, "usage: modes MODE1 MODE2");
    }
    const std::string text = "MOD_NORVASK_MODE=" + w[1] + "\nMOD_NORVASK_MODE2=" + w[2] + "\n";
    return write_file(sandbox_settings_path, text, 0644);
  }
  // "settings TEXT" adds one line as it is.
  const int fd = open(sandbox_settings_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return fail(error, "cannot open the settings file");
  const std::string text = rest_of_line(line) + "\n";
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok ? 0 : fail(error, "cannot write the settings file");
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

}  // namespace

int prepare_board(Supervisor& s) {
  std::string error;
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
  const std::vector<std::string> w = split_words(line);
  if (w.empty() || w[0][0] == '#') return 0;
  const std::string& verb = w[0];
  bool on = false;
  if (verb == "modes" || verb == "settings" || verb == "no-settings") {
    return settings_command(w, line, error) == 0 ? 0
                                                 : fail(error, error.empty() ? "failed" : error);
  }
  if (verb == "device" && w.size() == 3 && parse_switch(w[2], on) == 0) {
    return set_device(s, w[1], on) == 0 ? 0 : fail(error, "usage: device gpio|ttyS0|ttyS1 on|off");
  }
  if (verb == "pin") return pin_command(s, w, error);
  if (verb == "serial") return serial_command(s, w, error);
  if (verb == "io" && w.size() == 2 && parse_switch(w[1], on) == 0) {
    return install_standin(s, "io", sandbox_io_path, on) == 0 ? 0 : fail(error, "failed");
  }
  if ((verb == "stroke" || verb == "swanctl") && w.size() == 2 && parse_switch(w[1], on) == 0) {
    const char* path = verb == "stroke" ? sandbox_stroke_path : sandbox_swanctl_path;
    return install_standin(s, verb.c_str(), path, on) == 0 ? 0 : fail(error, "failed");
  }
  if (verb == "sas" && w.size() == 2) {
    long count = 0;
    if (parse_int(w[1], 0, 1000, count) != 0) return fail(error, "usage: sas COUNT");
    s.board.sas = static_cast<int>(count);
    return write_state(s, error);
  }
  if (verb == "ssid" && w.size() == 2) {
    s.board.ssid = w[1] == "none" ? "" : w[1];
    return write_state(s, error);
  }
  if (verb == "stations" || verb == "traffic" || verb == "send" || verb == "iface") {
    return wifi_command(s, w, error);
  }
  if (verb == "tun") return tunnel_command(w, error);
  if (verb == "service" && w.size() == 3) return set_service(s, w[1], w[2], error);
  if (verb == "start") {
    if (w.size() > 2 || (w.size() == 2 && w[1] != "closed"))
      return fail(error, "usage: start [closed]");
    return start_daemon(s, w.size() == 2, error);
  }
  if (verb == "signal" && w.size() == 2) return send_signal(s, w[1], error);
  if (verb == "clock" && w.size() == 2 && (w[1] == "fast" || w[1] == "normal")) {
    if (!s.options.fast_clock) return fail(error, "the board was not started with --fast-clock");
    s.clock_fast = w[1] == "fast";
    return 0;
  }
  if (verb == "inspect") {
    report_inspection(s);
    return 0;
  }
  if (verb == "wait" && w.size() == 2) {
    char* end = nullptr;
    wait = std::strtod(w[1].c_str(), &end);
    if (*end != '\0' || wait < 0 || wait > 3600) return fail(error, "usage: wait SECONDS");
    return 0;
  }
  if (verb == "say") {
    emit("say " + rest_of_line(line));
    return 0;
  }
  if (verb == "quit") {
    begin_quit(s);
    return 0;
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
