// The sandbox the daemon runs in: private mount, network and PID namespaces
// (and a user namespace when not root), with the board's files laid over
// /dev, /opt, /usr and /tmp. Nothing outside the namespaces changes.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "sim/core.h"

inline constexpr const char* sandbox_io_path = "/usr/bin/io";
inline constexpr const char* sandbox_stroke_path = "/usr/libexec/ipsec/stroke";
inline constexpr const char* sandbox_swanctl_path = "/usr/libexec/ipsec/swanctl";
// The board's tools that a scenario installs and removes; the paths above
// lead here.
inline constexpr const char* board_tools_dir = "/opt/board/tools";
[[nodiscard]] std::string tool_path(const char* sandbox_path);
// The stand-in program (standins/standin.cpp), which this one carries and
// writes here; each command it stands in for is a link to it.
inline constexpr const char* board_standin_path = "/opt/board/standin";
// Where --show puts a host file unless told: this folder and the file's name.
inline constexpr const char* board_files_dir = "/opt/board/files";
// The stand-in program's file, as built.
[[nodiscard]] std::string_view standin_image();

// A host file to show, read-only, at a path inside the sandbox.
struct ShownFile {
  std::string host;
  std::string inside;
};

// Host files the sandbox needs, opened before the host's paths are hidden.
struct HostFiles {
  int daemon_fd;  // O_PATH descriptor of the daemon binary
  int self_fd;    // O_PATH descriptor of this program, to start services
  std::vector<std::pair<int, std::string>> shown;  // O_PATH descriptor, path inside
  std::string busybox;                             // provides ifconfig and grep
  std::string netstat;                             // names owning programs with -p
  std::string ip;                                  // sets up the interfaces
  std::string shell;                               // the program at /bin/sh; empty: the host's own
};

// Leaves this process in new user (unless root), mount and network
// namespaces, with its next child the first process of a new PID namespace.
// Returns 0, or -1 with a message on standard error.
int enter_namespaces();

// Collects the host files; -1 with a message when one is missing. A
// non-empty `shell` is shown at /bin/sh in place of the host's.
int collect_host_files(const std::string& daemon, const std::vector<ShownFile>& shown,
                       const std::string& shell, HostFiles& files);

// Builds the sandbox's file system, with an empty /sys/class/leds; run in
// the PID namespace's first process.
// 0, or -1 with a message on standard error.
int build_sandbox(const HostFiles& files);

// Leaves root for `user`, as user and group, with no supplementary groups:
// RLIMIT_NPROC holds for such a process. 0, or -1.
int become_user(long user);

// Puts the stand-in at `path`, which names the command it stands in for.
int link_standin(const std::string& path);
