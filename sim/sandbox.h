// The sandbox the daemon runs in: private mount, network and PID namespaces
// (and a user namespace when not root), with the board's files laid over
// /dev, /opt, /usr and /tmp. Nothing outside the namespaces changes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Where the daemon under test appears inside the sandbox: where the router
// package installs it.
inline constexpr const char* sandbox_daemon_path = "/opt/norvask/bin/norvaskd";
inline constexpr const char* sandbox_settings_path = "/opt/norvask/etc/settings";
inline constexpr const char* sandbox_init_path = "/opt/norvask/etc/init";
inline constexpr const char* sandbox_io_path = "/usr/bin/io";
inline constexpr const char* sandbox_stroke_path = "/usr/libexec/ipsec/stroke";
inline constexpr const char* sandbox_swanctl_path = "/usr/libexec/ipsec/swanctl";
// The board's tools that a scenario installs and removes; the paths above
// lead here.
inline constexpr const char* board_tools_dir = "/opt/board/tools";
[[nodiscard]] std::string tool_path(const char* sandbox_path);

// The daemon's PATH: the board's stand-ins first.
inline constexpr const char* sandbox_path_variable = "/opt/board/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// Host files the sandbox needs, opened before the host's paths are hidden.
struct HostFiles {
  int daemon_fd;        // O_PATH descriptor of the daemon binary
  int self_fd;          // O_PATH descriptor of this program, to start services
  int shim_fd;          // O_PATH descriptor of the device shim, -1 without
  int init_fd;          // O_PATH descriptor of the start script, -1 without
  std::string busybox;  // provides ifconfig and grep
  std::string netstat;  // names owning programs with -p
  std::string ip;       // sets up the interfaces
  std::vector<std::pair<std::string, std::string>> standins;  // name, script text
  std::vector<std::pair<int, std::string>> shown;  // O_PATH descriptors, where to show them
};

// Leaves this process in new user (unless root), mount and network
// namespaces, with its next child the first process of a new PID namespace.
// Returns 0, or -1 with a message on standard error.
int enter_namespaces();

// Collects the host files; -1 with a message when one is missing. An empty
// `shim` or `init`: no device shim, no start script.
int collect_host_files(const char* daemon, const char* standins_dir, const char* shim,
                       const char* init, HostFiles& files);

// Collects host files to show read-only in the sandbox, each given as
// HOST_PATH:SANDBOX_PATH with the sandbox path under /opt; -1 with a message.
int collect_shown_files(const std::vector<std::string>& shown, HostFiles& files);

// Builds the sandbox's file system; run in the PID namespace's first process.
// 0, or -1 with a message on standard error.
int build_sandbox(const HostFiles& files);

// Leaves root for `user`, as user and group, with no supplementary groups:
// RLIMIT_NPROC holds for such a process. 0, or -1.
int become_user(long user);

// Creates or removes a file inside the sandbox.
int write_file(const std::string& path, const std::string& text, mode_t mode);
int remove_file(const std::string& path);
