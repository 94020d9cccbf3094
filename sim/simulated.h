// The simulated board's backend: the board's state files, its network
// namespace, the stand-ins and services, and the daemon's device calls
// answered through seccomp user notification, `run`'s commands' too. The core
// (core.h) runs lines and the daemon; this is what the lines do here.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/core.h"
#include "sim/devices.h"
#include "sim/sandbox.h"

struct SimOptions {
  std::vector<ShownFile> shown;  // host files to show inside (programs, preloads)
  std::string shell;             // the program at /bin/sh; empty: the host's
  bool emulate_devices;          // answer device ioctls through seccomp
  bool fast_clock;               // the clock starts fast and may be changed
};

struct World {
  SimOptions options;
  HostFiles host;
  BoardState board;
  DeviceFiles devices;
  int listener;                      // the daemon's seccomp notifications, -1 without
  JobFilters jobs;                   // the filters of "run" commands
  std::array<bool, 5> wifi_traffic;  // by slot of BoardState::wifi
  bool clock_fast;                   // with fast_clock: end the daemon's sleeps at once
  SleepGate sleeps;                  // with fast_clock: "clock step" holds each tick's sleep
  bool tmp_full;                     // a /tmp with no room left lies over the board's
  bool limits_apply;                 // the daemon is not the host's root: RLIMIT_NPROC binds it
  bool class_leds;                   // kernel LEDs served (the router's are its kernel's own)
};

static_assert(std::tuple_size_v<decltype(World::wifi_traffic)> == wifi_slots);

extern World world;
extern const Backend simulated_backend;

// The verbs the router plays as this board does: its pins and GPIO driver
// answered through the same filter from `world`, its PIDs, the daemon's clock.
int play_pin(const Call& c);
int play_gpio(const Call& c);
int play_pids(const Call& c);
int play_clock(const Call& c);
int play_tick(const Call& c);
int play_tmp(const Call& c);
