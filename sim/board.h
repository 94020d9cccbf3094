// The simulated board's scenario state and what its device drivers answer.
//
// The state lives in the supervisor and is mirrored into one small file per
// item under the board's state folder, where the stand-in commands
// (standins/standin.cpp) read it:
//   pin.<name>         "0" or "1"; absent: the board lacks the pin
//   serial.<port>      "<rx> <tx>", or "fail" when the driver refuses TIOCGICOUNT
//   stations.<iface>   number of Wi-Fi stations associated with an access point
//   ssid.<iface>       network the Wi-Fi client is associated with; absent: none
//   sas                IPsec security associations up
//   down.<program>     "stopped" or "killed"; absent: the program runs
//   tun.<unit>         bytes tun<unit> has received; absent: no such tunnel
//   service.<name>     "connected <pid>" or "listening <pid>"; absent: not running
// Every file holds one line. The stand-ins append each call to "calls".
#pragma once

#include <linux/serial.h>

#include <array>
#include <cstdint>
#include <string>

// Where the board keeps its own files inside the sandbox.
inline constexpr const char* board_dir = "/opt/board";
inline constexpr const char* board_state_dir = "/opt/board/state";
inline constexpr const char* board_bin_dir = "/opt/board/bin";

// Request codes the daemon sends to the GPIO device and the serial driver:
// the board's own copy, which the daemon's is checked against.
inline constexpr std::uint32_t request_led1 = 0x40004203;
inline constexpr std::uint32_t request_led2 = 0x40005200;
inline constexpr std::uint32_t request_bin0 = 0x80004207;
inline constexpr std::uint32_t request_bin1 = 0x8000421b;
inline constexpr std::uint32_t request_out0 = 0x80004206;
inline constexpr std::uint32_t request_out1 = 0x8000422b;
inline constexpr std::uint32_t request_icount = 0x545D;  // TIOCGICOUNT
// Every request the board answers.
inline constexpr std::uint32_t board_requests[] = {
    request_led1, request_led2, request_bin0,   request_bin1,
    request_out0, request_out1, request_icount,
};

struct PinState {
  const char* name;
  std::uint32_t request;  // the GPIO read request; 0 for pins the daemon never reads
  bool present;
  int value;
};

struct SerialState {
  const char* name;  // "ttyS0", "ttyS1"
  std::int32_t rx;
  std::int32_t tx;
  bool fail;     // the driver answers TIOCGICOUNT with EIO
  bool flowing;  // counters grow by themselves while set
};

struct ServiceState {
  const char* name;   // "tessik_clientd", "drennic"
  const char* state;  // "down", "listening", "connected"
  long pid;
};

inline constexpr int tunnel_count = 4;  // tun0 to tun3

// A program behind one of the router's commands: its control tools fail as
// the real ones do when it was stopped (sockets removed) or killed (sockets
// left behind).
struct ProgramState {
  const char* name;   // "hostapd", "wpa_supplicant", "charon"
  const char* state;  // "running", "stopped", "killed"
};

struct BoardState {
  std::array<PinState, 6> pins;
  std::array<SerialState, 2> serial;
  std::array<int, 2> stations;  // wlan0, wlan02
  std::string ssid;             // wlan1's network; empty when not associated
  int sas;                      // IPsec associations up
  bool gpio_fail;               // the GPIO driver refuses every request, as once unbound
  std::array<long long, tunnel_count> tunnel_rx;  // bytes received; -1: no such tunnel
  std::array<ServiceState, 2> services;           // remote-management client, VPN portal
  std::array<ProgramState, 3> programs;           // hostapd, wpa_supplicant, charon
};

// A board with every pin present and high, quiet serial ports, no stations,
// no association, no IPsec association, a working GPIO driver, no tunnel and
// no service running.
[[nodiscard]] BoardState initial_board();

[[nodiscard]] PinState* find_pin(BoardState& board, const std::string& name);
[[nodiscard]] SerialState* find_serial(BoardState& board, const std::string& name);
[[nodiscard]] ServiceState* find_service(BoardState& board, const std::string& name);
// Index into BoardState::stations, or -1.
[[nodiscard]] int access_point_index(const std::string& iface);

// Writes every state file; 0, or -1 when one cannot be written.
int write_board_state(const BoardState& board, const char* dir);

enum class Device : std::uint8_t { None, Gpio, Serial0, Serial1 };

[[nodiscard]] const char* device_name(Device device);

// What a device answers to one ioctl.
struct IoctlAnswer {
  std::int64_t value;  // the ioctl's result when error is 0
  int error;           // an errno value, or 0
  int led;             // 1 or 2 when this was an LED write, else 0
  std::uint32_t led_value;
  const PinState* pin;              // the pin read, if any
  bool fills_counters;              // `counters` must be written to the ioctl's argument
  serial_icounter_struct counters;  // for TIOCGICOUNT
};

// The driver's answer to `request` with argument `arg` on `device`.
[[nodiscard]] IoctlAnswer answer_ioctl(const BoardState& board, Device device,
                                       std::uint32_t request, std::uint64_t arg);
