// The words of the lines that change the world, read alike on both boards:
// each reader returns 0 with what the line asks for, or the line's usage
// failure. What the change does is the backend's.
#pragma once

#include "sim/board.h"
#include "sim/core.h"

#include <initializer_list>
#include <string>
#include <vector>

bool is_one_of(const std::string& word, std::initializer_list<const char*> words);

// The Wi-Fi interfaces are `board`'s, by name (BoardState::wifi).
// stations AP COUNT: the access point's slot.
int read_stations(const Call& c, const BoardState& board, int& access_point, long& count);
// traffic IFACE on|off, send IFACE BYTES: the interface's slot.
int read_traffic(const Call& c, const BoardState& board, int& iface, bool& on);
int read_send(const Call& c, const BoardState& board, int& iface, long& bytes);
// iface IFACE on|off: an interface there or not; iface ap NAME... (one to
// four) | iface client NAME: the access points or the client named anew.
struct IfaceLine {
  enum Kind { Switch, AccessPoints, Client } kind;
  int slot;                        // Switch: the interface's
  bool on;                         // Switch
  std::vector<std::string> names;  // the new names, each one the kernel takes
};
int read_iface(const Call& c, const BoardState& board, IfaceLine& line);
// tun 0-3 up|down | tun 0-3 rx BYTES: `bytes` 0 for up or down.
int read_tunnel(const Call& c, long& unit, bool& on, long& bytes);
int read_sas(const Call& c, long& count);
// service tessik_clientd connected|listening|down | drennic listening|down,
// a running one optionally "as UID": `user` that uid, else -1.
int read_service(const Call& c, long& user);
// kill|stop|restart hostapd|wpa_supplicant|charon
int read_program(const Call& c);
// tool NAME normal|missing|fail|silent|garbage | tool stroke no-count
int read_tool(const Call& c);
// device gpio|ttyS0|ttyS1 on|off; io|stroke|swanctl on|off
int read_device(const Call& c, bool& on);
int read_installed(const Call& c, bool& on);

// serial PORT ...: whether the port is known is the backend's to say; for
// one it does not know, the usage failure.
struct SerialLine {
  enum Kind { Fail, Flowing, Bytes, Counters } kind;
  bool on;  // fail; flowing on
  long in;  // bytes in and out, or the counters' values
  long out;
};
int read_serial(const Call& c, SerialLine& line);
int serial_usage(const Call& c);

// led-class NAME [MAX|gone]: `max` the LED's max_brightness, -1 when not
// given (each board has its default), or `gone` when it goes. NAME (and
// TRIGGER) as a kernel name: see valid_class_led_name.
int read_led_class(const Call& c, std::string& name, long& max, bool& gone);
// led-trigger NAME TRIGGER: whether the board offers TRIGGER is the board's
// to say.
int read_led_trigger(const Call& c, std::string& name, std::string& trigger);
