// Each LED's device as the daemon binds it at start, and what the kernel
// shows of a kernel LED: read, never written.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "status/status.h"

namespace {

DeviceSeen look_at_device(const LedName& name) {
  DeviceSeen seen{};
  seen.looked = true;
  seen.brightness = -1;
  seen.max_brightness = -1;
  if (!name.given) return seen;  // the board's GPIO LED, which cannot be read back
  seen.kind = LedKind::Refused;
  seen.refusal = led_name_refusal(name);
  if (seen.refusal != LedRefusal::None) return seen;
  // The daemon refuses an LED whose brightness it cannot open for writing:
  // one that is not there, or on a read-only sysfs.
  char path[led_path_size];
  const bool fits = led_path(name.text.data(), "brightness", path, sizeof path) == 0;
  const int fd = fits ? open(path, O_RDONLY | O_CLOEXEC) : -1;
  struct statvfs st {};
  seen.error = !fits ? ENAMETOOLONG : fd < 0 ? errno : 0;
  if (fd >= 0 && fstatvfs(fd, &st) == 0 && (st.f_flag & ST_RDONLY) != 0) seen.error = EROFS;
  if (fd >= 0) close(fd);
  if (seen.error != 0) {
    seen.refusal = LedRefusal::Missing;
    return seen;
  }
  seen.kind = LedKind::Class;
  std::uint32_t number = 0;
  if (led_read_number(name.text.data(), "brightness", number) == 0) seen.brightness = number;
  if (led_read_number(name.text.data(), "max_brightness", number) == 0) {
    seen.max_brightness = number;
  }
  const int trigger = led_path(name.text.data(), "trigger", path, sizeof path) == 0
                          ? open(path, O_RDONLY | O_CLOEXEC)
                          : -1;
  if (trigger >= 0 && led_active_trigger(trigger, seen.trigger.data(), seen.trigger.size()) != 1) {
    seen.trigger[0] = '\0';
  }
  if (trigger >= 0) close(trigger);
  return seen;
}

}  // namespace

void look_at_devices(StatusReport& report) {
  report.leds[0].device = look_at_device(report.settings.led1);
  report.leds[1].device = look_at_device(report.settings.led2);
}
