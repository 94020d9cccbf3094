// The board's GPIO device and serial ports, emulated from outside the
// daemon's process: a seccomp filter hands the daemon's device ioctls to the
// supervisor, which answers them from the board's state. Nothing in the
// daemon's process changes, so this works for a static binary too. `run`
// commands (norvask-status) are put under filters of their own.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/board.h"

// Every file that has stood for a device in the sandbox; a descriptor the
// daemon opened before a device file was removed still reaches the device.
struct DeviceFiles {
  struct Entry {
    Device device;
    dev_t dev;
    ino_t ino;
  };
  std::vector<Entry> entries;
};

// Records the file now at `path` as `device`. 0, or -1 when it cannot be read.
int remember_device_file(DeviceFiles& files, Device device, const std::string& path);

// For the child that is about to execute the daemon: installs the filter and
// returns the listener's descriptor, or -1. Sleeps go to the supervisor too,
// which reports the daemon's tick-ending one and can end or hold it; with
// `class_leds`, the calls on files that the board's kernel LEDs need
// (served_leds.h): opens for writing, pread and pwrite.
int install_device_filter(bool class_leds);

// The daemon's one-second sleeps held until the scenario lets each end, so
// that it runs one tick per request ("clock step").
struct SleepGate {
  bool stepping;  // hold them
  int credit;     // how many may end at once
  bool held;      // one is held now: the notification `id`
  std::uint64_t id;
};

// A file by identity: the daemon's program, to know the daemon by before its
// PID is known (one a start script started).
struct FileId {
  dev_t dev;
  ino_t ino;
};

// Answers one notification waiting on `listener`; with `clock_fast` the
// daemon's sleeps end at once, and with a stepping `gate` its one-second
// sleeps wait for release_sleep. Each one-second sleep the daemon begins is
// reported ("asleep") on every clock. The daemon is `daemon_pid`, or any
// process running `daemon_file`. 0, or -1 when the listener is broken.
int serve_notification(int listener, const BoardState& board, const DeviceFiles& files,
                       pid_t daemon_pid, bool clock_fast, SleepGate* gate = nullptr,
                       const FileId* daemon_file = nullptr);

// Ends the held sleep, or lets the next one end at once when none is held.
void release_sleep(int listener, SleepGate& gate);

// How a child that installed the filter hands its listener to the board.
int send_descriptor(int socket_fd, int fd);
int receive_listener(int fd);  // the listener, or -1 after five seconds

// In a child before it executes its program: installs the filter and sends
// its listener over `report_fd`. 0, or -1.
int filter_child(int report_fd, bool class_leds = false);

// Reads up to `size` bytes at `address` in process `pid` while its call
// `id` waits on `listener`: how many were read, or -1.
ssize_t read_target_memory(int listener, std::uint64_t id, pid_t pid, std::uint64_t address,
                           void* data, std::size_t size);

// The filters of "run" commands, with whatever they started (a daemon the
// start script started): each is served until everyone under it has ended.
// Beyond job_filter_max the oldest is closed, and calls under it fail.
// The web server's filter ("web start") is apart: served for as long as
// anyone under it lives, however many commands run meanwhile.
inline constexpr std::size_t job_filter_max = 3;
struct JobFilters {
  std::vector<int> listeners;
  int server = -1;
};

// The web server's listener; one before it, with whoever still runs under
// it, is kept as a command's.
void keep_server_filter(JobFilters& jobs, int listener);

// Keeps a started command's listener; -1 is ignored.
void keep_job_filter(JobFilters& jobs, int listener);

// The listeners to poll, at most job_filter_max and the web server's: how
// many were put in `fds`.
inline constexpr std::size_t job_filter_fds_max = job_filter_max + 1;
std::size_t job_filter_fds(const JobFilters& jobs, pollfd* fds);

// Serves the notification waiting on `listener` (its poll result in
// `revents`) as serve_notification does, or closes it (-1) once everyone
// under it has ended.
void serve_job_filter(int& listener, short revents, const BoardState& board,
                      const DeviceFiles& files, pid_t daemon_pid, bool clock_fast,
                      const FileId* daemon_file = nullptr);

// serve_job_filter for each of `jobs`, polled by job_filter_fds into `fds`.
void serve_job_filters(JobFilters& jobs, const pollfd* fds, const BoardState& board,
                       const DeviceFiles& files, pid_t daemon_pid, bool clock_fast);
