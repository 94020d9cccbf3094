#include "sim/kernel_leds.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "settings/settings_internal.h"
#include "sim/core.h"
#include "sim/events.h"

namespace {

// An instance of the board's own: its events, clock and filter are not
// those of whoever else traces on the router.
constexpr const char* trace_dir = "/sys/kernel/tracing/instances/norvask-board";
constexpr const char* gpio_listing = "/sys/kernel/debug/gpio";
// The listing cuts a consumer's name to this many bytes.
constexpr std::size_t listed_name_max = 20;
constexpr const char* led_keys[] = {"MOD_NORVASK_LED", "MOD_NORVASK_LED2"};

struct HeldLine {
  int gpio;
  std::string consumer;
};

int trace_fd = -1;
std::string partial;         // a line of the trace not yet complete
std::vector<HeldLine> held;  // every LED line seen held, kept when freed
std::string led_names[2];    // what the settings name, "" for none

int write_trace_file(const char* name, const std::string& text) {
  const std::string path = std::string(trace_dir) + "/" + name;
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  const bool ok =
      fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (!ok) {
    (void)std::fprintf(stderr, "norvask-board: cannot write %s: %s\n", path.c_str(),
                       std::strerror(errno));
  }
  if (fd >= 0) close(fd);
  return ok ? 0 : -1;
}

double monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One line of the trace ("  sh-219  [001] .....  75.123456: gpio_value: 508
// set 1"): the GPIO number, the value set and the kernel's time in seconds.
struct LineSet {
  int gpio;
  int value;
  double seconds;
};

// 0, or -1 for a line that sets no value.
int parse_trace_line(const std::string& line, LineSet& set) {
  constexpr std::string_view marker = ": gpio_value: ";
  const std::size_t at = line.find(marker);
  const std::size_t stamp = at == std::string::npos ? at : line.rfind(' ', at);
  if (stamp == std::string::npos) return -1;
  const std::string seconds = line.substr(stamp + 1, at - stamp - 1);
  char* end = nullptr;
  set.seconds = std::strtod(seconds.c_str(), &end);
  if (seconds.empty() || *end != '\0') return -1;
  // "GPIO set VALUE"
  const std::string rest = line.substr(at + marker.size());
  const std::size_t verb = rest.find(" set ");
  long gpio = 0;
  long value = 0;
  if (verb == std::string::npos || parse_int(rest.substr(0, verb), 0, INT_MAX, gpio) != 0 ||
      parse_int(rest.substr(verb + 5), 0, INT_MAX, value) != 0) {
    return -1;
  }
  set.gpio = static_cast<int>(gpio);
  set.value = static_cast<int>(value);
  return 0;
}

// The consumer of one line of the kernel's GPIO listing (debugfs "gpio":
// " gpio-508 (                    |norvask:green:one   ) out lo"), with
// its GPIO number. 0, or -1 for a line that names no GPIO.
int parse_gpio_listing_line(const std::string& line, int& gpio, std::string& consumer) {
  constexpr std::string_view head = " gpio-";
  const std::size_t number_end = line.find(' ', head.size());
  long number = 0;
  if (line.compare(0, head.size(), head) != 0 || number_end == std::string::npos ||
      parse_int(line.substr(head.size(), number_end - head.size()), 0, INT_MAX, number) != 0) {
    return -1;
  }
  const std::size_t bar = line.find('|', number_end);
  const std::size_t close = bar == std::string::npos ? bar : line.find(')', bar);
  if (close == std::string::npos) return -1;
  consumer = line.substr(bar + 1, close - bar - 1);
  consumer.erase(consumer.find_last_not_of(' ') + 1);
  gpio = static_cast<int>(number);
  return consumer.empty() ? -1 : 0;
}

// Which LED device each setting names, as the daemon reads them as it starts.
void learn_led_names() {
  std::FILE* file = std::fopen(sandbox_settings_path, "re");
  for (std::size_t i = 0; i < std::size(led_keys); ++i) {
    led_names[i].clear();
    if (!file) continue;
    std::rewind(file);
    if (const char* value = settings_find(file, led_keys[i])) led_names[i] = value;
  }
  if (file) (void)std::fclose(file);
}

// The LED (1 or 2) whose setting names the device holding `gpio`, or 0.
int led_of_line(int gpio) {
  for (const HeldLine& line : held) {
    if (line.gpio != gpio) continue;
    for (std::size_t i = 0; i < std::size(led_names); ++i) {
      if (!led_names[i].empty() && led_names[i].substr(0, listed_name_max) == line.consumer) {
        return static_cast<int>(i) + 1;
      }
    }
  }
  return 0;
}

bool knows_line(int gpio) {
  return std::ranges::any_of(held, [gpio](const HeldLine& line) { return line.gpio == gpio; });
}

void report(const LineSet& set) {
  if (!knows_line(set.gpio)) learn_led_lines();
  const int led = led_of_line(set.gpio);
  if (led == 0) return;
  // The trace's clock is the monotonic one; the board's starts later.
  const double when = board_clock() - (monotonic_seconds() - set.seconds);
  emit_at(when, "led " + std::to_string(led) + " " + std::to_string(set.value));
}

}  // namespace

void learn_led_lines() {
  std::FILE* file = std::fopen(gpio_listing, "re");
  if (!file) return;
  char text[512];
  while (std::fgets(text, sizeof text, file)) {
    int gpio = -1;
    std::string consumer;
    if (parse_gpio_listing_line(text, gpio, consumer) != 0) continue;
    bool known = false;
    for (HeldLine& line : held) {
      if (line.gpio == gpio) {
        line.consumer = consumer;
        known = true;
      }
    }
    if (!known) held.push_back({gpio, consumer});
  }
  (void)std::fclose(file);
}

int open_led_trace() {
  if (mkdir(trace_dir, 0755) != 0 && errno != EEXIST) {
    (void)std::fprintf(stderr, "norvask-board: cannot make %s: %s\n", trace_dir,
                       std::strerror(errno));
    return -1;
  }
  // Values set, not read back, and the daemon's starts, however it is
  // started (it reads its settings then); on CLOCK_MONOTONIC, which the
  // board's clock counts from.
  const std::string daemon_exec_filter = std::string("filename == \"") + sandbox_daemon_path + "\"";
  if (write_trace_file("tracing_on", "0") != 0 || write_trace_file("trace_clock", "mono") != 0 ||
      write_trace_file("buffer_size_kb", "256") != 0 ||
      write_trace_file("events/gpio/gpio_value/filter", "get == 0") != 0 ||
      write_trace_file("events/gpio/gpio_value/enable", "1") != 0 ||
      write_trace_file("events/sched/sched_process_exec/filter", daemon_exec_filter) != 0 ||
      write_trace_file("events/sched/sched_process_exec/enable", "1") != 0 ||
      write_trace_file("trace", "") != 0 || write_trace_file("tracing_on", "1") != 0) {
    return -1;
  }
  const std::string pipe = std::string(trace_dir) + "/trace_pipe";
  trace_fd = open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (trace_fd < 0) {
    (void)std::fprintf(stderr, "norvask-board: cannot open %s: %s\n", pipe.c_str(),
                       std::strerror(errno));
    return -1;
  }
  learn_led_lines();
  learn_led_names();
  return 0;
}

void drain_led_trace() {
  char buf[8192];
  for (ssize_t n; trace_fd >= 0 && (n = read(trace_fd, buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: nothing more yet
    }
    partial.append(buf, static_cast<std::size_t>(n));
    for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
      const std::string line = partial.substr(0, end);
      LineSet set{};
      if (parse_trace_line(line, set) == 0) {
        report(set);
      } else if (line.find(": sched_process_exec: ") != std::string::npos) {
        learn_led_names();
      }
      partial.erase(0, end + 1);
    }
  }
}
