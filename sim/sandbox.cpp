#include "sim/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/board.h"
#include "sim/class_leds.h"

namespace {

int fail(const char* what, const std::string& path) {
  (void)std::fprintf(stderr, "norvask-board: %s %s: %s\n", what, path.c_str(),
                     std::strerror(errno));
  return -1;
}

int write_proc_file(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return fail("cannot open", path);
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok ? 0 : fail("cannot write", path);
}

// Maps our own user and group to root of a new user namespace, which gives
// us the capabilities the other namespaces need without being root.
int enter_user_namespace() {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER) != 0) return fail("cannot create", "a user namespace");
  if (write_proc_file("/proc/self/setgroups", "deny") != 0) return -1;
  if (write_proc_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") != 0) return -1;
  return write_proc_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

int make_dirs(const std::string& path, mode_t mode) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return fail("cannot create", part);
    if (slash == std::string::npos) return 0;
  }
}

int mount_tmpfs(const char* where, const char* options) {
  if (mount("board", where, "tmpfs", MS_NOSUID, options) != 0) return fail("cannot mount", where);
  return 0;
}

// Binds `source` onto a new empty file at `target`.
int bind_file(const std::string& source, const std::string& target) {
  if (write_file(target, "", 0644) != 0) return -1;
  if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return fail("cannot bind", target);
  }
  return 0;
}

// A /dev of our own: the few host devices the tools need, and room for the
// board's devices and its log socket.
int build_dev(const std::string& staging) {
  if (make_dirs(staging, 0755) != 0 || mount_tmpfs(staging.c_str(), "mode=0755") != 0) return -1;
  for (const char* name : {"null", "zero", "full", "random", "urandom"}) {
    if (bind_file(std::string("/dev/") + name, staging + "/" + name) != 0) return -1;
  }
  struct stat st {};
  if (stat("/dev/net/tun", &st) == 0) {
    if (make_dirs(staging + "/net", 0755) != 0) return -1;
    if (bind_file("/dev/net/tun", staging + "/net/tun") != 0) return -1;
  }
  const std::array<std::pair<const char*, const char*>, 4> links{{
      {"fd", "/proc/self/fd"},
      {"stdin", "/proc/self/fd/0"},
      {"stdout", "/proc/self/fd/1"},
      {"stderr", "/proc/self/fd/2"},
  }};
  for (const auto& [name, target] : links) {
    if (symlink(target, (staging + "/" + name).c_str()) != 0) return fail("cannot link", name);
  }
  if (make_dirs(staging + "/shm", 01777) != 0) return -1;
  if (mount(staging.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0)
    return fail("cannot move", "/dev");
  return 0;
}

// /usr as the host has it, with the board's files added in a layer that
// lives only as long as the sandbox. The layer is filled before it is
// mounted, since without root nothing can be written through it (the host's
// folders belong to users the sandbox does not know): the tools that come
// and go are links into the board's own folder, dangling while a tool is
// absent.
int overlay_usr(const std::string& shell) {
  const std::string layers = std::string(board_dir) + "/layers";
  const std::string upper = layers + "/upper";
  if (make_dirs(upper + "/bin", 0755) != 0 || make_dirs(upper + "/libexec/ipsec", 0755) != 0 ||
      make_dirs(layers + "/work", 0755) != 0 || make_dirs(board_tools_dir, 0755) != 0) {
    return -1;
  }
  for (const char* path : {sandbox_io_path, sandbox_stroke_path, sandbox_swanctl_path}) {
    const std::string link = upper + (path + 4);  // below /usr
    if (symlink(tool_path(path).c_str(), link.c_str()) != 0) return fail("cannot link", link);
  }
  // /bin is /usr/bin (collect_host_files made sure), so this is /bin/sh.
  if (!shell.empty() && symlink(shell.c_str(), (upper + "/bin/sh").c_str()) != 0) {
    return fail("cannot link", "/bin/sh");
  }
  const std::string options = "lowerdir=/usr,upperdir=" + upper + ",workdir=" + layers + "/work";
  if (mount("overlay", "/usr", "overlay", 0, options.c_str()) == 0) return 0;
  // Inside a user namespace overlayfs keeps its bookkeeping in user xattrs.
  const std::string user_options = options + ",userxattr";
  if (mount("overlay", "/usr", "overlay", 0, user_options.c_str()) == 0) return 0;
  return fail("cannot mount an overlay on", "/usr");
}

// A host file opened before the host's paths were hidden, bound read-only:
// the sandbox runs the very binary (and preload, ...) it was given.
int bind_read_only(int fd, const std::string& target) {
  const std::string source = "/proc/self/fd/" + std::to_string(fd);
  if (make_dirs(target.substr(0, target.rfind('/')), 0755) != 0) return -1;
  if (write_file(target, "", 0755) != 0) return -1;
  if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return fail("cannot bind", target);
  }
  if (mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    return fail("cannot make read-only", target);
  }
  return 0;
}

int install_tools(const HostFiles& files) {
  const std::string image(standin_image());
  if (write_file(board_standin_path, image, 0755) != 0) return -1;
  const std::string bin = board_bin_dir;
  for (const char* name : {"hostapd_cli", "wpa_cli"}) {
    if (link_standin(bin + "/" + name) != 0) return -1;
  }
  const std::array<std::pair<const char*, const std::string*>, 3> links{{
      {"ifconfig", &files.busybox},
      {"grep", &files.busybox},
      {"netstat", &files.netstat},
  }};
  for (const auto& [name, target] : links) {
    if (symlink(target->c_str(), (bin + "/" + name).c_str()) != 0) return fail("cannot link", name);
  }
  return 0;
}

// /sys/class with the board's own kernel LEDs: a folder in its place in
// which the host's other classes are links into the host's /sys, bound
// whole elsewhere (their entries lead on to ../../devices), and an empty
// `leds` for the board's (a host's own LEDs are never within reach).
int build_sys_class() {
  const std::string host = std::string(board_dir) + "/host-sys";
  if (make_dirs(host, 0755) != 0) return -1;
  if (mount("/sys", host.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    return fail("cannot bind", "/sys");
  }
  if (mount_tmpfs("/sys/class", "mode=0755") != 0) return -1;
  const std::string classes_dir = host + "/class";
  DIR* classes = opendir(classes_dir.c_str());
  if (!classes) return fail("cannot read", classes_dir);
  int result = 0;
  while (const dirent* entry = readdir(classes)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name == "leds") continue;
    std::string target = classes_dir;
    target.append("/").append(name);
    const std::string link = std::string("/sys/class/").append(name);
    if (symlink(target.c_str(), link.c_str()) != 0) {
      result = fail("cannot link", link);
      break;
    }
  }
  closedir(classes);
  return result == 0 ? make_dirs(class_leds_dir, 0755) : -1;
}

std::string find_program(const char* name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    std::string path = std::string(dir) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// An O_PATH descriptor of a regular file, or -1 with a message.
int open_host_file(const std::string& path) {
  const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return fail("cannot open", path);
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    (void)std::fprintf(stderr, "norvask-board: %s is not a file\n", path.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

// The shell goes in /usr's overlay, which is /bin only where /bin leads there.
int check_shell(const std::string& shell) {
  char target[16] = {};
  const ssize_t n = readlink("/bin", target, sizeof target - 1);
  if (n < 0 || std::string(target) != "usr/bin") {
    (void)std::fprintf(stderr,
                       "norvask-board: a shell of its own needs /bin to be a link to usr/bin\n");
    return -1;
  }
  if (shell[0] != '/' || access(shell.c_str(), X_OK) != 0) return fail("cannot run", shell);
  return 0;
}

}  // namespace

int enter_namespaces() {
  if (geteuid() != 0 && enter_user_namespace() != 0) return -1;
  if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID | CLONE_NEWIPC | CLONE_NEWUTS) != 0) {
    return fail("cannot create", "the sandbox's namespaces");
  }
  // Nothing mounted from here on may reach the host.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return fail("cannot make private", "/");
  }
  return 0;
}

int collect_host_files(const std::string& daemon, const std::vector<ShownFile>& shown,
                       const std::string& shell, HostFiles& files) {
  files.daemon_fd = open_host_file(daemon);
  if (files.daemon_fd < 0) return -1;
  for (const ShownFile& file : shown) {
    const int fd = open_host_file(file.host);
    if (fd < 0) return -1;
    files.shown.emplace_back(fd, file.inside);
  }
  if (!shell.empty() && check_shell(shell) != 0) return -1;
  files.shell = shell;
  files.self_fd = open("/proc/self/exe", O_PATH | O_CLOEXEC);
  if (files.self_fd < 0) return fail("cannot open", "/proc/self/exe");
  files.busybox = find_program("busybox");
  files.netstat = find_program("netstat");
  files.ip = find_program("ip");
  const std::array<std::pair<const char*, const std::string*>, 3> tools{{
      {"busybox (Debian package busybox)", &files.busybox},
      {"netstat (Debian package net-tools)", &files.netstat},
      {"ip (Debian package iproute2)", &files.ip},
  }};
  for (const auto& [what, path] : tools) {
    if (path->empty()) {
      (void)std::fprintf(stderr, "norvask-board: %s is not installed\n", what);
      return -1;
    }
  }
  return 0;
}

int build_sandbox(const HostFiles& files) {
  if (mount_tmpfs("/opt", "mode=0755") != 0) return -1;
  if (make_dirs(board_bin_dir, 0755) != 0 || make_dirs(board_state_dir, 0755) != 0) return -1;
  if (make_dirs("/opt/norvask/etc", 0755) != 0 || make_dirs("/opt/norvask/bin", 0755) != 0) {
    return -1;
  }
  if (overlay_usr(files.shell) != 0 || bind_read_only(files.daemon_fd, sandbox_daemon_path) != 0) {
    return -1;
  }
  for (const auto& [fd, inside] : files.shown) {
    if (bind_read_only(fd, inside) != 0) return -1;
  }
  if (build_dev(std::string(board_dir) + "/dev") != 0 || build_sys_class() != 0) return -1;
  // /tmp for the captures, /run (/var/run) for a start script's pid file.
  if (mount_tmpfs("/tmp", "mode=1777") != 0 || mount_tmpfs("/run", "mode=0755") != 0) return -1;
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    return fail("cannot mount", "/proc");
  }
  return install_tools(files);
}

std::string tool_path(const char* sandbox_path) {
  const char* slash = std::strrchr(sandbox_path, '/');
  return std::string(board_tools_dir) + slash;
}

int link_standin(const std::string& path) {
  return symlink(board_standin_path, path.c_str()) == 0 ? 0 : fail("cannot link", path);
}

int become_user(long user) {
  const auto id = static_cast<uid_t>(user);
  if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0) {
    return -1;
  }
  return 0;
}
