// The simulated board's scenario state and what its device drivers answer.
//
// The state lives in the supervisor and is mirrored into one small file per
// item under the board's state folder, where the stand-in commands
// (standins/standin.cpp) read it:
//   pin.<name>         "0" or "1"; absent: the board lacks the pin
//   serial.<port>      "<rx> <tx>", or "fail" when the driver refuses TIOCGICOUNT
//   stations.<iface>   number of Wi-Fi stations associated with an access point
//   ssid.<iface>       network the Wi-Fi client is associated with; absent: none
//   (<iface> the interface's name, whatever characters the kernel took in it)
//   sas                IPsec security associations up
//   down.<program>     "stopped" or "killed"; absent: the program runs
//   tun.<unit>         bytes tun<unit> has received; absent: no such tunnel
//   service.<name>     "connected <pid>" or "listening <pid>"; absent: not running
// Every file holds one line. The stand-ins append each call to "calls".
#pragma once

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <array>
#include <cstdint>
#include <string>

#include "sim/gpio_answer.h"

// Where the board keeps its own files inside the sandbox.
inline constexpr const char* board_dir = "/opt/board";
inline constexpr const char* board_state_dir = "/opt/board/state";
inline constexpr const char* board_bin_dir = "/opt/board/bin";

// Every request the board answers: the GPIO device's and the serial
// driver's interrupt counters.
inline constexpr std::uint32_t board_requests[] = {
    led1_request, led2_request, bin0_request, bin1_request, out0_request, out1_request, TIOCGICOUNT,
};

struct PinState {
  const char* name;
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

// The board's Wi-Fi interfaces: up to four access points, then the client.
inline constexpr std::size_t wifi_ap_slots = 4;
inline constexpr std::size_t wifi_client_slot = wifi_ap_slots;
inline constexpr std::size_t wifi_slots = wifi_ap_slots + 1;

struct BoardState {
  std::array<PinState, 6> pins;
  std::array<SerialState, 2> serial;
  // Each Wi-Fi interface's name: wlan0, wlan02 (two more access points may
  // be named), then wlan1; an empty one is not there.
  std::array<std::string, wifi_slots> wifi;
  std::array<int, 4> stations;  // on each access point
  std::string ssid;             // the client's network; empty when not associated
  int sas;                      // IPsec associations up
  bool gpio_fail;               // the GPIO driver refuses every request, as once unbound
  std::array<long long, tunnel_count> tunnel_rx;  // bytes received; -1: no such tunnel
  std::array<ServiceState, 2> services;           // remote-management client, VPN portal
  std::array<ProgramState, 3> programs;           // hostapd, wpa_supplicant, charon
};

static_assert(std::tuple_size_v<decltype(BoardState::stations)> == wifi_ap_slots);

// A board with every pin present and high, quiet serial ports, no stations,
// no association, no IPsec association, a working GPIO driver, no tunnel and
// no service running.
[[nodiscard]] BoardState initial_board();

[[nodiscard]] PinState* find_pin(BoardState& board, const std::string& name);
[[nodiscard]] SerialState* find_serial(BoardState& board, const std::string& name);
[[nodiscard]] ServiceState* find_service(BoardState& board, const std::string& name);
// Index of the Wi-Fi interface named `iface` in BoardState::wifi, or -1.
[[nodiscard]] int wifi_slot(const BoardState& board, const std::string& iface);

// Writes every state file; 0, or -1 when one cannot be written.
int write_board_state(const BoardState& board, const char* dir);
// Removes the state files of the board's Wi-Fi interfaces, before they are
// renamed; 0, or -1 when one cannot be removed.
int forget_wifi_state(const BoardState& board, const char* dir);

enum class Device : std::uint8_t { None, Gpio, Serial0, Serial1 };

[[nodiscard]] const char* device_name(Device device);

// What a device answers to one ioctl.
struct IoctlAnswer {
  std::int64_t value;               // the ioctl's result when error is 0
  int error;                        // an errno value, or 0
  GpioAnswer gpio;                  // the GPIO driver's answer, for its event
  bool fills_counters;              // `counters` must be written to the ioctl's argument
  serial_icounter_struct counters;  // for TIOCGICOUNT
};

// The board's GPIO lines as the driver sees them.
[[nodiscard]] GpioLines gpio_lines(const BoardState& board);

// The driver's answer to `request` with argument `arg` on `device`.
[[nodiscard]] IoctlAnswer answer_ioctl(const BoardState& board, Device device,
                                       std::uint32_t request, std::uint64_t arg);
