// Driving each LED through the device it was bound to at start.
#include <dirent.h>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>

#include "gpio/gpio.h"
#include "leds/leds_internal.h"

LedDevice led1_device{1};
LedDevice led2_device{2};

namespace {

// Start-up, stop and failures are marked cold: they run once or seldom, and
// are compiled for size.

// The first failure of a kernel LED's calls is logged, later ones are not:
// a vanished LED fails every tick.
[[gnu::cold]] void failed(LedDevice& led, const char* what) {
  if (led.failure_logged) return;
  led.failure_logged = true;
  syslog(LOG_ERR, "LED %d: cannot %s of %s: %s; its later failures are not logged", led.number,
         what, led.name.data(), std::strerror(errno));
}

int write_text(int fd, std::string_view text) {
  const ssize_t wrote = pwrite(fd, text.data(), text.size(), 0);
  return wrote == static_cast<ssize_t>(text.size()) ? 0 : -1;
}

// Trigger names are written as `echo` writes them.
constexpr std::string_view no_trigger = "none\n";

// 0 is off; any other value is on, at the LED's full brightness. Out of
// line: a blink makes eight of these.
[[gnu::noinline]] void write_brightness(LedDevice& led, std::uint32_t value) {
  if (led.kind != LedKind::Class) return;
  // "<decimal>\n", written from its end.
  char text[12];
  char* start = text + sizeof text;
  *--start = '\n';
  std::uint32_t brightness = value == 0 ? 0 : led.max_brightness;
  do {
    *--start = static_cast<char>('0' + brightness % 10);
    brightness /= 10;
  } while (brightness != 0);
  if (write_text(led.brightness_fd,
                 {start, static_cast<std::size_t>(text + sizeof text - start)}) != 0) {
    failed(led, "write the brightness");
    return;
  }
  led.last_value = value;
  led.written = true;
}

[[gnu::cold]] void take_back(LedDevice& led) {
  if (!led.takeback_logged) {
    led.takeback_logged = true;
    char active[led_trigger_size];
    if (led_active_trigger(led.trigger_fd, active, sizeof active) != 1) active[0] = '\0';
    syslog(LOG_NOTICE,
           "LED %d: another program set the trigger %s on %s; taken back (not logged "
           "again)",
           led.number, active[0] ? active : "(unknown)", led.name.data());
  }
  if (write_text(led.trigger_fd, no_trigger) != 0) failed(led, "take back the trigger");
}

// A trigger another program set would go on driving the LED under our
// writes: it is taken back before each tick's write. The kernel lists
// "none" first, bracketed while no trigger is active. True when one was.
bool hold(LedDevice& led) {
  if (led.kind != LedKind::Class || led.trigger_fd < 0) return false;
  char head[6];
  const ssize_t got = pread(led.trigger_fd, head, sizeof head, 0);
  if (got < 0) {
    failed(led, "read the trigger");
    return false;
  }
  if (got == sizeof head && std::memcmp(head, "[none]", sizeof head) == 0) return false;
  take_back(led);
  return true;
}

void sleep_125ms() {
  const timespec step{0, 125000000};
  nanosleep(&step, nullptr);  // a signal cuts it short; the sequence goes on
}

void act_on_gpio(const LedDevice& led, LedAction action, std::uint32_t value) {
  const bool first = led.number == 1;
  switch (action) {
    case LedAction::Off:
      value = 0;
      [[fallthrough]];
    case LedAction::On:
      (void)(first ? set_led1(value) : set_led2(value));
      break;
    case LedAction::Blink:
      (first ? blink_led1 : blink_led2)();
      break;
    case LedAction::Keep:
      break;
  }
}

// ---- taking a kernel LED at start, giving it back at stop ----

// Adds a file and the text to write it at stop; what does not fit is not
// given back.
[[gnu::cold]] void add_found(LedDevice& led, const char* name, const char* text,
                             std::size_t length) {
  const std::size_t name_size = std::strlen(name) + 1;
  if (name_size + length + 1 > led.found.size() - led.found_used) {
    led.found_cut = true;
    return;
  }
  char* at = led.found.data() + led.found_used;
  std::memcpy(at, name, name_size);
  std::memcpy(at + name_size, text, length);
  at[name_size + length] = '\0';
  led.found_used += name_size + length + 1;
}

// A trigger's settings are files it adds to the LED's directory while it
// is active: each file there that can be read and written, but the LED
// core's own, is kept as read. (A driver's own such file, rare on an LED,
// is written back as it was.)
[[gnu::cold]] void keep_setting(LedDevice& led, const char* name) {
  char path[led_path_size];
  char value[128];
  // The LED core's own files, one after another.
  for (const char* own = "brightness\0max_brightness\0trigger\0uevent\0"; *own;
       own += std::strlen(own) + 1) {
    if (std::strcmp(name, own) == 0) return;
  }
  if (led_path(led.name.data(), name, path, sizeof path) != 0) return;
  const int got = led_read_file(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK, value, sizeof value);
  if (got < 0) return;
  if (static_cast<std::size_t>(got) == sizeof value - 1) {
    led.found_cut = true;  // maybe longer than read
    return;
  }
  add_found(led, name, value, static_cast<std::size_t>(got));
}

[[gnu::cold]] void keep_settings(LedDevice& led) {
  char path[led_path_size];
  const int dir = led_path(led.name.data(), "", path, sizeof path) == 0
                      ? open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                      : -1;
  alignas(dirent64) char entries[1024];
  ssize_t got = 0;
  while (dir >= 0 && (got = getdents64(dir, entries, sizeof entries)) > 0) {
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
      at += entry->d_reclen;
      if (entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN) keep_setting(led, entry->d_name);
    }
  }
  if (dir >= 0) close(dir);
}

// Takes the LED from the trigger it has, keeping that trigger and its
// settings to give back at stop.
[[gnu::cold]] void take(LedDevice& led) {
  char active[led_trigger_size + 1];
  if (led_active_trigger(led.trigger_fd, active, led_trigger_size) < 0) {
    failed(led, "read the trigger");
    return;
  }
  const std::size_t length = std::strlen(active);
  if (length == 0 || std::strcmp(active, "none") == 0) return;
  active[length] = '\n';
  add_found(led, "trigger", active, length + 1);
  keep_settings(led);
  if (write_text(led.trigger_fd, no_trigger) != 0) failed(led, "take the trigger");
  if (led.found_cut) {
    syslog(LOG_NOTICE,
           "LED %d: some settings of the trigger on %s are too long to keep; they are "
           "not given back at stop",
           led.number, led.name.data());
  }
}

// The name is not in the message: it is not an LED's, and may be any bytes.
[[gnu::cold]] void refuse(LedDevice& led, LedRefusal refusal, int error) {
  led.kind = LedKind::Refused;
  led.refusal = refusal;
  led.error = error;
  // A missing LED's failure says why: no such file, or a read-only sysfs.
  const bool missing = refusal == LedRefusal::Missing;
  syslog(LOG_ERR, "LED %d is not driven: %s: %s%s%s", led.number,
         led.number == 1 ? "MOD_NORVASK_LED" : "MOD_NORVASK_LED2", led_refusal_words(refusal),
         missing ? ": " : "", missing ? std::strerror(error) : "");
}

[[gnu::cold]] void bind_class(LedDevice& led, const LedName& name) {
  const LedRefusal refusal = led_name_refusal(name);
  if (refusal != LedRefusal::None) {
    refuse(led, refusal, 0);
    return;
  }
  led.name = name.text;
  char path[led_path_size];
  const bool fits = led_path(led.name.data(), "brightness", path, sizeof path) == 0;
  led.brightness_fd = fits ? open(path, O_WRONLY | O_CLOEXEC) : -1;
  if (led.brightness_fd < 0) {
    refuse(led, LedRefusal::Missing, fits ? errno : ENAMETOOLONG);
    return;
  }
  led.kind = LedKind::Class;
  // A kernel built without triggers has no trigger file: nothing to take.
  if (led_path(led.name.data(), "trigger", path, sizeof path) == 0) {
    led.trigger_fd = open(path, O_RDWR | O_CLOEXEC);
    if (led.trigger_fd < 0 && errno != ENOENT) failed(led, "open the trigger");
  }
  if (led_read_number(led.name.data(), "max_brightness", led.max_brightness) != 0 ||
      led.max_brightness == 0) {
    led.max_brightness = 1;
  }
  if (led.trigger_fd >= 0) take(led);
}

// Writes back each file kept at start, the trigger first: a trigger's
// settings are there once it is.
[[gnu::cold]] void release(LedDevice& led) {
  if (led.kind != LedKind::Class) return;
  char path[led_path_size];
  for (std::size_t at = 0; at < led.found_used;) {
    const char* name = led.found.data() + at;
    const std::string_view text = name + std::strlen(name) + 1;
    const bool trigger = at == 0;
    at = static_cast<std::size_t>(text.data() - led.found.data()) + text.size() + 1;
    int fd = led.trigger_fd;
    errno = ENAMETOOLONG;
    if (!trigger && led_path(led.name.data(), name, path, sizeof path) == 0) {
      fd = open(path, O_WRONLY | O_CLOEXEC);
    } else if (!trigger) {
      fd = -1;
    }
    const bool wrote = fd >= 0 && write_text(fd, text) == 0;
    const int error = errno;
    if (!trigger && fd >= 0) close(fd);
    if (wrote) continue;
    errno = error;
    failed(led, trigger ? "give back the trigger" : "give back the trigger's settings");
    if (trigger) return;
  }
}

}  // namespace

void leds_bind(const LedSettings& settings) {
  if (settings.led1.given) bind_class(led1_device, settings.led1);
  if (settings.led2.given) bind_class(led2_device, settings.led2);
}

void leds_release() {
  release(led2_device);
  release(led1_device);
}

void led_act(LedDevice& led, LedAction action, std::uint32_t value) {
  if (led.kind == LedKind::Gpio) {
    act_on_gpio(led, action, value);
    return;
  }
  // A refused LED is never written, and blinks unseen: the tick takes as
  // long as with the LED.
  const bool taken_back = hold(led);
  switch (action) {
    case LedAction::Off:
      value = 0;
      break;
    case LedAction::On:
      break;
    case LedAction::Blink:
      for (std::uint32_t step = 0; step < 8; ++step) {
        write_brightness(led, step % 2);
        sleep_125ms();
      }
      return;
    case LedAction::Keep:
      // Taking the trigger back switched the LED off: it gets its value again.
      if (!taken_back || !led.written) return;
      value = led.last_value;
      break;
  }
  write_brightness(led, value);
}

void leds_forget() {
  for (LedDevice* led : {&led1_device, &led2_device}) {
    if (led->brightness_fd >= 0) close(led->brightness_fd);
    if (led->trigger_fd >= 0) close(led->trigger_fd);
    *led = LedDevice{led->number};
  }
}
