#include "sim/board.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

BoardState initial_board() {
  return BoardState{
      {{
          {"bin0", true, 1},
          {"bin1", true, 1},
          {"bin2", true, 1},
          {"bin3", true, 1},
          {"out0", true, 1},
          {"out1", true, 1},
      }},
      {{{"ttyS0", 0, 0, false, false}, {"ttyS1", 0, 0, false, false}}},
      {"wlan0", "wlan02", "", "", "wlan1"},
      {0, 0, 0, 0},
      "",
      0,
      false,
      {-1, -1, -1, -1},
      {{{"tessik_clientd", "down", -1}, {"drennic", "down", -1}}},
      {{{"hostapd", "running"}, {"wpa_supplicant", "running"}, {"charon", "running"}}},
  };
}

// cppcheck-suppress constParameter ; the entry found is handed out to be changed
PinState* find_pin(BoardState& board, const std::string& name) {
  for (PinState& pin : board.pins) {
    if (name == pin.name) return &pin;
  }
  return nullptr;
}

// cppcheck-suppress constParameter ; the entry found is handed out to be changed
SerialState* find_serial(BoardState& board, const std::string& name) {
  for (SerialState& port : board.serial) {
    if (name == port.name) return &port;
  }
  return nullptr;
}

// cppcheck-suppress constParameter ; the entry found is handed out to be changed
ServiceState* find_service(BoardState& board, const std::string& name) {
  for (ServiceState& service : board.services) {
    if (name == service.name) return &service;
  }
  return nullptr;
}

int wifi_slot(const BoardState& board, const std::string& iface) {
  for (std::size_t i = 0; i < board.wifi.size(); ++i) {
    if (!iface.empty() && board.wifi[i] == iface) return static_cast<int>(i);
  }
  return -1;
}

namespace {

// Written to a temporary name and renamed, so that a stand-in never reads a
// half-written file.
int write_state_file(const char* dir, const std::string& name, const std::string& text) {
  const std::string path = std::string(dir) + "/" + name;
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  const std::string line = text + "\n";
  const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fd);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) return -1;
  return 0;
}

int remove_state_file(const char* dir, const std::string& name) {
  const std::string path = std::string(dir) + "/" + name;
  return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -1;
}

}  // namespace

int write_board_state(const BoardState& board, const char* dir) {
  int failures = 0;
  // The file `name` holding `text`, or no such file when not `present`.
  const auto file = [dir, &failures](const std::string& name, bool present,
                                     const std::string& text) {
    failures += (present ? write_state_file(dir, name, text) : remove_state_file(dir, name)) != 0;
  };
  for (const PinState& pin : board.pins) {
    file(std::string("pin.") + pin.name, pin.present, std::to_string(pin.value));
  }
  for (const SerialState& port : board.serial) {
    const std::string counts = std::to_string(port.rx) + " " + std::to_string(port.tx);
    file(std::string("serial.") + port.name, true, port.fail ? "fail" : counts);
  }
  for (std::size_t i = 0; i < wifi_ap_slots; ++i) {
    if (!board.wifi[i].empty()) {
      file("stations." + board.wifi[i], true, std::to_string(board.stations[i]));
    }
  }
  file("ssid." + board.wifi[wifi_client_slot], !board.ssid.empty(), board.ssid);
  file("sas", true, std::to_string(board.sas));
  for (std::size_t unit = 0; unit < board.tunnel_rx.size(); ++unit) {
    const long long rx = board.tunnel_rx[unit];
    file("tun." + std::to_string(unit), rx >= 0, std::to_string(rx));
  }
  for (const ProgramState& program : board.programs) {
    const std::string state = program.state;
    file(std::string("down.") + program.name, state != "running", state);
  }
  for (const ServiceState& service : board.services) {
    const std::string state = service.state;
    file(std::string("service.") + service.name, state != "down",
         state + " " + std::to_string(service.pid));
  }
  return failures == 0 ? 0 : -1;
}

int forget_wifi_state(const BoardState& board, const char* dir) {
  int failures = 0;
  for (std::size_t i = 0; i < wifi_ap_slots; ++i) {
    if (!board.wifi[i].empty()) {
      failures += remove_state_file(dir, "stations." + board.wifi[i]) != 0;
    }
  }
  failures += remove_state_file(dir, "ssid." + board.wifi[wifi_client_slot]) != 0;
  return failures == 0 ? 0 : -1;
}

const char* device_name(Device device) {
  switch (device) {
    case Device::None:
      return "none";
    case Device::Gpio:
      return "gpio";
    case Device::Serial0:
      return "ttyS0";
    case Device::Serial1:
      return "ttyS1";
  }
  return "none";
}

GpioLines gpio_lines(const BoardState& board) {
  GpioLines lines{board.gpio_fail, {}};
  for (int i = 0; i < gpio_pin_count; ++i) {
    lines.pins[i] = -1;
    for (const PinState& pin : board.pins) {
      if (std::strcmp(pin.name, gpio_pin_names[i]) == 0 && pin.present) lines.pins[i] = pin.value;
    }
  }
  return lines;
}

IoctlAnswer answer_ioctl(const BoardState& board, Device device, std::uint32_t request,
                         std::uint64_t arg) {
  IoctlAnswer answer{};
  if (device == Device::Gpio) {
    answer.gpio = answer_gpio(gpio_lines(board), request, arg);
    answer.value = answer.gpio.value;
    answer.error = answer.gpio.error;
    return answer;
  }
  answer.gpio.pin = -1;
  answer.error = ENOTTY;
  if (device == Device::None || request != TIOCGICOUNT) return answer;
  const SerialState& port = board.serial[device == Device::Serial0 ? 0 : 1];
  answer.error = port.fail ? EIO : 0;
  answer.fills_counters = !port.fail;
  answer.counters.rx = port.rx;
  answer.counters.tx = port.tx;
  return answer;
}
