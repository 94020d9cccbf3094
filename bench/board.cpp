#include "bench/board.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gpio/gpio_internal.h"
#include "leds/leds_internal.h"
#include "probes/probes_internal.h"
#include "serial/serial.h"
#include "settings/settings_internal.h"

namespace {

std::string dir;
std::string state_dir;
std::string io_path;
std::string settings_file;
std::string captures;
std::string leds;
// What the table points into.
ProbeNames<4096> names{};
ProbePaths paths{};

// Every command the probes and the pin check run from PATH; the IPsec tools
// are run by their full names.
constexpr const char* tools[] = {"hostapd_cli", "wpa_cli", "ifconfig", "netstat", "io"};

// The kernel LEDs the simulated board serves.
constexpr const char* kernel_leds[] = {"norvask:green:one", "norvask:red:two"};

void write_file(const std::string& path, const char* text) {
  std::FILE* f = std::fopen(path.c_str(), "we");
  const bool written = f && std::fputs(text, f) >= 0;
  if ((f && std::fclose(f) != 0) || !written) std::perror(path.c_str());
}

int remove_entry(const char* path, const struct stat* /*st*/, int /*kind*/, struct FTW* /*ftw*/) {
  return ::remove(path);
}

}  // namespace

std::string board_path(const char* name) { return dir + "/" + name; }

void board_state(const BoardState& state) {
  if (write_board_state(state, state_dir.c_str()) != 0)
    std::perror("cannot write the board's state");
}

void board_counters(std::uint64_t wlan0, std::uint64_t wlan02, std::uint64_t wlan1) {
  // The kernel's layout: two header lines, then one line per interface with
  // the name right-aligned; a few other interfaces around the radios.
  char text[4096];
  int used = std::snprintf(
      text, sizeof text,
      "Inter-|   Receive                                                |  Transmit\n"
      " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets "
      "errs drop fifo colls carrier compressed\n");
  const struct {
    const char* name;
    std::uint64_t bytes;
  } lines[] = {{"lo", 81920},         {"eth0", 912345678}, {"eth1", 0},
               {"br-lan", 123456789}, {"wwan0", 4242},     {"tun0", 77777},
               {"wlan1", wlan1},      {"wlan02", wlan02},  {"wlan0", wlan0}};
  for (const auto& line : lines) {
    used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used),
                          "%6s: %8llu %7u    0    0    0     0          0         0 %8llu %7u    "
                          "0    0    0     0       0          0\n",
                          line.name, static_cast<unsigned long long>(line.bytes), 1234U,
                          static_cast<unsigned long long>(line.bytes / 2), 567U);
  }
  write_file(paths.net_dev, text);
}

void board_name_kernel_leds(LedSettings& settings) {
  for (LedName* name : {&settings.led1, &settings.led2}) {
    const char* text = kernel_leds[name == &settings.led1 ? 0 : 1];
    name->given = true;
    name->length = std::strlen(text);
    std::memcpy(name->text.data(), text, name->length + 1);
  }
}

void board_forget_daemon_state() {
  leds_forget();
  pins_forget_support();
  iface_forget_snapshots();
  gpio_forget_device();
  uart1_stat = {};
  uart2_stat = {};
}

bool board_setup(const char* standin_program) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench-norvask.XXXXXX";
  if (!mkdtemp(pattern.data())) return false;
  dir = pattern;
  state_dir = dir + "/state";
  const std::string bin = dir + "/bin";
  if (mkdir(state_dir.c_str(), 0755) != 0 || mkdir(bin.c_str(), 0755) != 0) return false;
  for (const char* tool : tools) {
    if (symlink(standin_program, (bin + "/" + tool).c_str()) != 0) return false;
  }
  setenv("NORVASK_STANDIN_STATE", state_dir.c_str(), 1);
  const char* path = std::getenv("PATH");
  setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);

  captures = dir + "/";
  names =
      probe_names<4096>({.root = dir.c_str(), .captures = captures.c_str(), .every_output = false});
  if (!names.fits) return false;
  paths = probe_paths_in(names);
  for (const char* sub : {"/proc", "/proc/net", "/usr", "/usr/libexec", "/usr/libexec/ipsec"}) {
    if (mkdir((dir + sub).c_str(), 0755) != 0) return false;
  }
  if (symlink(standin_program, paths.stroke) != 0 || symlink(standin_program, paths.swanctl) != 0) {
    return false;
  }
  probe_paths = &paths;

  io_path = bin + "/io";
  io_command_path = io_path.c_str();
  // ioctls on /dev/null fail with ENOTTY, after the same system call a real
  // GPIO device would take.
  gpio_device_path = "/dev/null";
  // Its kernel LEDs as files: the same calls as on sysfs, without the kernel.
  leds = dir + "/leds";
  leds_class_path = leds.c_str();
  if (mkdir(leds.c_str(), 0755) != 0) return false;
  for (const char* name : kernel_leds) {
    const std::string led = leds + "/" + name;
    if (mkdir(led.c_str(), 0755) != 0) return false;
    write_file(led + "/brightness", "0\n");
    write_file(led + "/max_brightness", "255\n");
    write_file(led + "/trigger", "[none] timer netdev heartbeat\n");
  }
  settings_file = dir + "/settings";
  settings_path = settings_file.c_str();
  board_counters(1000, 2000, 3000);
  board_state(initial_board());
  return true;
}

void board_teardown() {
  if (dir.empty()) return;
  probe_paths = &default_probe_paths;
  nftw(dir.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
  dir.clear();
}
