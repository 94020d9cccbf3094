// The supervisor: the first process of the sandbox's PID namespace. It holds
// the board's state, runs the daemon and the services, answers the daemon's
// device calls, and reports everything as events (events.h).
#pragma once

#include <sys/types.h>

#include <array>
#include <deque>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/devices.h"
#include "sim/sandbox.h"

struct Options {
  std::string daemon;               // the daemon binary on the host
  std::vector<std::string> prefix;  // an emulator to run it under, if any
  std::vector<std::string> env;     // extra NAME=value for the daemon
  std::string standins;             // folder of the stand-in commands
  std::string script;               // scenario file to run at start
  std::string shim;                 // device shim to show in the sandbox, if any
  std::string init;                 // start script to install as /opt/norvask/etc/init, if any
  std::vector<std::string> shown;   // HOST_PATH:SANDBOX_PATH, host files shown read-only
  bool emulate_devices;             // answer device ioctls through seccomp
  bool fast_clock;                  // the daemon's sleeps go through the supervisor
  long user;                        // the daemon's and the services' user, -1: ours
};

struct DaemonRun {
  pid_t pid;
  int listener;  // seccomp notifications, -1 without
  int out;       // the daemon's standard output and error, -1 when closed
  int err;
  std::string out_line;
  std::string err_line;
};

// Lines waiting to be run; a "wait" holds back the ones after it.
struct CommandQueue {
  int fd;  // where more lines come from, -1 when none will
  std::string partial;
  std::deque<std::string> lines;
  double resume_at;
};

inline constexpr int service_count = 2;  // remote-management client, VPN portal

// A shell command run in the sandbox ("run"): its output is reported with
// its exit status once it ends.
struct Job {
  pid_t pid;  // -1 when none runs
  int out;    // its standard output and error
  std::string output;
};

struct Supervisor {
  Options options;
  HostFiles host;
  BoardState board;
  DeviceFiles devices;
  DaemonRun daemon;
  Job job;
  std::array<pid_t, service_count> services;
  std::array<bool, 3> wifi_traffic;  // wlan0, wlan02, wlan1
  CommandQueue input;
  CommandQueue script;
  bool clock_fast;    // with fast_clock: end the daemon's sleeps at once
  SleepGate sleeps;   // with fast_clock: "clock step" holds each tick's sleep
  bool tmp_full;      // a /tmp with no room left lies over the board's
  bool limits_apply;  // the daemon is not the host's root: RLIMIT_NPROC binds it
  bool quitting;
  double quit_deadline;
};

// Lays out the board's initial files and services. 0, or -1.
int prepare_board(Supervisor& s);

// Runs one command line (see the README's simulator section for the
// language). 0 with `wait` set to the seconds to hold back later lines, or
// -1 with `error` set.
int execute_command(Supervisor& s, const std::string& line, double& wait, std::string& error);

// Starts the daemon. 0, or -1 with `error` set.
// How the daemon is started: as usual, with standard output and error closed,
// with no arguments at all (argv[0] null), with an empty program name, or
// with SIGTERM blocked and already pending, as a supervisor that blocks
// signals around its fork and exec can leave it.
enum class StartAs { Normal, StreamsClosed, NoArguments, EmptyName, StopPending };
int start_daemon(Supervisor& s, StartAs how, std::string& error);

// Runs `command` with /bin/sh -c in the sandbox, as root, with its output
// collected; one at a time. 0, or -1 with `error` set.
int start_job(Supervisor& s, const std::string& command, std::string& error);

// Begins a clean exit: the daemon gets SIGTERM and the supervisor leaves
// once it has gone.
void begin_quit(Supervisor& s);

// Reports the daemon's open descriptors and its children, zombies apart.
void report_inspection(const Supervisor& s);
