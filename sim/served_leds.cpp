#include "sim/served_leds.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "settings/settings_internal.h"
#include "sim/class_leds.h"
#include "sim/core.h"
#include "sim/devices.h"
#include "sim/events.h"

namespace {

struct FileKey {
  dev_t dev;
  ino_t ino;
};

bool same_file(const FileKey& a, const FileKey& b) { return a.dev == b.dev && a.ino == b.ino; }

// One of an LED's files, and the board's own descriptor of it, to rewrite
// it in place (the daemon's descriptors are to the same file).
struct ServedFile {
  std::string name;
  FileKey key;
  int fd;     // -1 once gone, and for max_brightness, which does not change
  bool gone;  // removed: its descriptors fail with ENODEV, as the kernel's do
};

// An LED's files: brightness, trigger, max_brightness, then its triggers'
// settings, those of triggers no longer active gone.
constexpr std::size_t brightness_file = 0;
constexpr std::size_t trigger_file = 1;
constexpr std::size_t max_brightness_file = 2;

struct ServedLed {
  ClassLed led;
  bool gone;
  std::vector<ServedFile> files;
};

// A descriptor the board put in a process in answer to its open.
struct LedOpen {
  pid_t pid;
  int fd;
  FileKey file;
  bool readable;
  bool writable;
  int led;  // the LED of the settings it was opened for, 1 or 2; 0: neither
};

// LEDs and settings that went are kept, so that their descriptors keep
// failing; every list is bounded however many lines ask.
constexpr std::size_t served_max = 32;
constexpr std::size_t files_max = 32;
constexpr std::size_t opens_max = 64;

std::vector<ServedLed> served;
std::vector<LedOpen> opens;
long served_user = -1;

std::string led_dir(const std::string& name) { return std::string(class_leds_dir) + "/" + name; }

int rewrite(const ServedFile& file, const std::string& text) {
  if (pwrite(file.fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) return -1;
  return ftruncate(file.fd, static_cast<off_t>(text.size()));
}

// Adds a file to the LED's folder holding `text`; 0, or -1.
int create_file(ServedLed& s, const std::string& name, const std::string& text, mode_t mode) {
  const std::string path = led_dir(s.led.name) + "/" + name;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  struct stat st {};
  const auto id = static_cast<uid_t>(served_user);
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                  fchmod(fd, mode) == 0 && (served_user < 0 || fchown(fd, id, id) == 0) &&
                  fstat(fd, &st) == 0;
  if (!ok) {
    close(fd);
    return -1;
  }
  s.files.push_back({name, {st.st_dev, st.st_ino}, fd, false});
  return 0;
}

void remove_file(const ServedLed& s, ServedFile& file) {
  if (file.gone) return;
  (void)unlink((led_dir(s.led.name) + "/" + file.name).c_str());
  if (file.fd >= 0) close(file.fd);
  file.fd = -1;
  file.gone = true;
}

// The active trigger's settings, fresh, in place of any before (the kernel
// removes a trigger's files with it, and one set again starts anew).
int settle_trigger(ServedLed& s) {
  for (std::size_t i = max_brightness_file + 1; i < s.files.size(); ++i) remove_file(s, s.files[i]);
  const std::string active = led_triggers[s.led.trigger];
  int result = 0;
  for (const TriggerSetting& setting : trigger_settings) {
    if (active != setting.trigger) continue;
    // Settings gone long since make room.
    if (s.files.size() >= files_max) {
      const auto old = std::find_if(s.files.begin() + max_brightness_file + 1, s.files.end(),
                                    [](const ServedFile& f) { return f.gone; });
      if (old != s.files.end()) s.files.erase(old);
    }
    if (create_file(s, setting.file, setting.text, 0644) != 0) result = -1;
  }
  return result;
}

// The LED's files as its state has them, after a change.
int show(ServedLed& s, bool trigger_set) {
  int result = rewrite(s.files[brightness_file], std::to_string(s.led.brightness) + "\n");
  if (rewrite(s.files[trigger_file], trigger_listing(s.led)) != 0) result = -1;
  if (trigger_set && settle_trigger(s) != 0) result = -1;
  return result;
}

ServedLed* live_led(const std::string& name) {
  for (ServedLed& s : served) {
    if (!s.gone && s.led.name == name) return &s;
  }
  return nullptr;
}

// The LED one of whose files this is, gone ones too, and which file.
ServedLed* find_file(const FileKey& key, std::size_t& which) {
  for (ServedLed& s : served) {
    for (std::size_t i = 0; i < s.files.size(); ++i) {
      if (!same_file(s.files[i].key, key)) continue;
      which = i;
      return &s;
    }
  }
  return nullptr;
}

int lay_out(ServedLed& s) {
  if (mkdir(led_dir(s.led.name).c_str(), 0755) != 0) return -1;
  const std::string max = std::to_string(s.led.max_brightness) + "\n";
  if (create_file(s, "brightness", "0\n", 0644) != 0 ||
      create_file(s, "trigger", trigger_listing(s.led), 0644) != 0 ||
      create_file(s, "max_brightness", max, 0444) != 0) {
    return -1;
  }
  close(s.files[max_brightness_file].fd);
  s.files[max_brightness_file].fd = -1;
  return 0;
}

void take_away(ServedLed& s) {
  for (ServedFile& file : s.files) remove_file(s, file);
  (void)rmdir(led_dir(s.led.name).c_str());
  s.gone = true;
}

// Which LEDs of the settings name `name`, read as the daemon reads them: a
// bit for each, LED 1 the lowest.
int named_in_settings(const std::string& name) {
  const int fd = open(sandbox_settings_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  std::FILE* stream = nullptr;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !(stream = fdopen(fd, "r"))) {
    if (fd >= 0) close(fd);
    return 0;
  }
  int leds = 0;
  const char* const keys[] = {"MOD_NORVASK_LED", "MOD_NORVASK_LED2"};
  for (int i = 0; i < 2; ++i) {
    std::rewind(stream);
    const char* value = settings_find(stream, keys[i]);
    if (value && name == value) leds |= 1 << i;
  }
  (void)std::fclose(stream);
  return leds;
}

// The LED of the settings whose descriptor a brightness open gives: the one
// naming it, or, when both do, LED 1's first (each opens its own, LED 1
// first).
int led_of_open(pid_t pid, const FileKey& file, const std::string& name) {
  const int leds = named_in_settings(name);
  if (leds != 3) return leds;
  for (const LedOpen& o : opens) {
    if (o.pid == pid && same_file(o.file, file) && o.led == 1) return 2;
  }
  return 1;
}

void remember_open(const LedOpen& open) {
  std::erase_if(opens, [&open](const LedOpen& o) {
    return (o.pid == open.pid && o.fd == open.fd) || (kill(o.pid, 0) != 0 && errno == ESRCH);
  });
  if (opens.size() >= opens_max) opens.erase(opens.begin());
  opens.push_back(open);
}

const LedOpen* find_open(pid_t pid, int fd, const FileKey& file) {
  for (const LedOpen& o : opens) {
    if (o.pid == pid && o.fd == fd && same_file(o.file, file)) return &o;
  }
  return nullptr;
}

void continue_call(int listener, std::uint64_t id) {
  seccomp_notif_resp response{};
  response.id = id;
  response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
  (void)ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
}

// Whether the caller got the answer.
bool answer_call(int listener, std::uint64_t id, std::int64_t value, int error) {
  seccomp_notif_resp response{};
  response.id = id;
  response.val = error ? 0 : value;
  response.error = error ? -error : 0;
  return ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response) == 0;
}

bool file_of_descriptor(pid_t pid, long fd, FileKey& key) {
  const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  struct stat st {};
  if (fd < 0 || stat(link.c_str(), &st) != 0) return false;
  key = {st.st_dev, st.st_ino};
  return true;
}

std::string error_name(int error) {
  const char* name = strerrorname_np(error);
  return name ? name : std::to_string(error);
}

// A call on one of an LED's files, by descriptor.
struct FileCall {
  int listener;
  const seccomp_notif& request;
  ServedLed& led;
  std::size_t which;
  bool gone;            // the LED or the file
  const LedOpen* open;  // null: a descriptor the kernel opened, read-only
  std::string event;    // "sysfs NAME/FILE "
};

void serve_read(const FileCall& c, double when) {
  const int error = c.open && !c.open->readable ? EBADF : c.gone ? ENODEV : 0;
  if (error == 0) {
    continue_call(c.listener, c.request.id);
  } else if (answer_call(c.listener, c.request.id, 0, error)) {
    emit_at(when, c.event + "read error " + error_name(error));
  }
}

// What a pwrite hands the file, or why it never reaches it.
int written_text(const FileCall& c, std::string& text) {
  const seccomp_data& call = c.request.data;
  const std::uint64_t count = call.args[2];
  if (!c.open || !c.open->writable) return EBADF;
  if (count > led_write_max) return E2BIG;
  text.resize(count);
  if (count > 0 &&
      read_target_memory(c.listener, c.request.id, static_cast<pid_t>(c.request.pid), call.args[1],
                         text.data(), count) != static_cast<ssize_t>(count)) {
    text.clear();
    return EFAULT;
  }
  return c.gone ? ENODEV : 0;
}

// Stores a write on the LED and shows it in its files: 0, or the error.
int store(ServedLed& s, std::size_t which, const std::string& text) {
  ClassLed after = s.led;
  const int error = which == brightness_file ? store_brightness(after, text)
                    : which == trigger_file  ? store_trigger(after, text)
                                             : 0;
  if (error != 0) return error;
  const bool trigger_set = which == trigger_file || after.trigger != s.led.trigger;
  s.led = after;
  // A trigger's setting holds what was written.
  if (which > max_brightness_file) (void)rewrite(s.files[which], text);
  (void)show(s, trigger_set);
  return 0;
}

void serve_write(const FileCall& c, double when) {
  std::string text;
  int error = written_text(c, text);
  // Nothing written, nothing stored: sysfs hands the attribute no empty write.
  if (error == 0 && !text.empty()) error = store(c.led, c.which, text);
  const auto count = static_cast<std::int64_t>(c.request.data.args[2]);
  if (!answer_call(c.listener, c.request.id, count, error)) return;
  std::string shown;
  if (!text.empty()) shown.append(" ").append(escaped_text(text));
  if (error != 0) {
    emit_at(when, c.event + "write" + shown + " error " + error_name(error));
  } else if (c.which == brightness_file && c.open->led != 0) {
    emit_at(when, "led " + std::to_string(c.open->led) + " " + reported_brightness(c.led.led));
  } else if (!text.empty()) {
    emit_at(when, c.event + "write" + shown);
  }
}

// pread or pwrite on a descriptor of an LED's file.
void serve_transfer(int listener, const seccomp_notif& request, double when) {
  const auto pid = static_cast<pid_t>(request.pid);
  const auto fd = static_cast<int>(request.data.args[0]);
  FileKey key{};
  std::size_t which = 0;
  ServedLed* s = file_of_descriptor(pid, fd, key) ? find_file(key, which) : nullptr;
  if (!s) {
    continue_call(listener, request.id);
    return;
  }
  const FileCall call{listener,
                      request,
                      *s,
                      which,
                      s->gone || s->files[which].gone,
                      find_open(pid, fd, key),
                      "sysfs " + s->led.name + "/" + s->files[which].name + " "};
  if (request.data.nr == __NR_pread64) {
    serve_read(call, when);
  } else {
    serve_write(call, when);
  }
}

// An open for writing: of an LED's file, the board opens it.
void serve_open(int listener, const seccomp_notif& request) {
  const seccomp_data& call = request.data;
#ifdef __NR_open
  const bool plain = call.nr == __NR_open;
#else
  const bool plain = false;
#endif
  const auto pid = static_cast<pid_t>(request.pid);
  const auto dirfd = plain ? AT_FDCWD : static_cast<int>(call.args[0]);
  const auto flags = static_cast<int>(plain ? call.args[1] : call.args[2]);
  char path[PATH_MAX] = {};
  const ssize_t n = read_target_memory(listener, request.id, pid,
                                       plain ? call.args[0] : call.args[1], path, sizeof path - 1);
  // Found as the caller would find it: from its working folder, or its dirfd.
  int found = -1;
  const bool whole =
      n > 0 && strnlen(path, static_cast<std::size_t>(n)) < static_cast<std::size_t>(n);
  if (whole && !(flags & O_PATH) && (path[0] != '/' || std::strncmp(path, "/sys/", 5) == 0)) {
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string base = path[0] == '/'      ? ""
                             : dirfd == AT_FDCWD ? proc + "/cwd/"
                                                 : proc + "/fd/" + std::to_string(dirfd) + "/";
    found = open((base + path).c_str(), O_PATH | O_CLOEXEC);
  }
  struct stat st {};
  std::size_t which = 0;
  ServedLed* s =
      found >= 0 && fstat(found, &st) == 0 ? find_file({st.st_dev, st.st_ino}, which) : nullptr;
  if (!s || s->gone || s->files[which].gone) {
    if (found >= 0) close(found);
    continue_call(listener, request.id);
    return;
  }
  const FileKey key{st.st_dev, st.st_ino};
  const int access = flags & O_ACCMODE;
  const int fd =
      which == max_brightness_file
          ? -1
          : open(("/proc/self/fd/" + std::to_string(found)).c_str(), O_RDONLY | O_CLOEXEC);
  close(found);
  if (fd < 0) {
    // The attribute has no store: no one opens it for writing, root neither.
    (void)answer_call(listener, request.id, 0, which == max_brightness_file ? EACCES : errno);
    return;
  }
  const int led = which == brightness_file ? led_of_open(pid, key, s->led.name) : 0;
  seccomp_notif_addfd add{};
  add.id = request.id;
  add.flags = SECCOMP_ADDFD_FLAG_SEND;
  add.srcfd = static_cast<std::uint32_t>(fd);
  add.newfd_flags = static_cast<std::uint32_t>(flags & O_CLOEXEC);
  const int installed = ioctl(listener, SECCOMP_IOCTL_NOTIF_ADDFD, &add);
  close(fd);
  if (installed < 0) return;  // the call was cut short: it is asked again
  remember_open(
      {pid, installed, key, access == O_RDWR, access == O_WRONLY || access == O_RDWR, led});
}

}  // namespace

int add_class_led(const std::string& name, std::uint32_t max_brightness, std::string& error) {
  if (!valid_class_led_name(name)) {
    error = "not a name for an LED";
    return -1;
  }
  if (ServedLed* old = live_led(name)) take_away(*old);
  if (served.size() >= served_max) {
    const auto gone =
        std::find_if(served.begin(), served.end(), [](const ServedLed& s) { return s.gone; });
    if (gone == served.end()) {
      error = "too many LEDs";
      return -1;
    }
    served.erase(gone);
  }
  ServedLed s{{name, max_brightness, 0, 0}, false, {}};
  if (lay_out(s) != 0) {
    error = std::string("cannot lay out its files: ") + std::strerror(errno);
    take_away(s);
    return -1;
  }
  served.push_back(s);
  return 0;
}

int remove_class_led(const std::string& name, std::string& error) {
  ServedLed* s = live_led(name);
  if (!s) {
    error = "no such LED";
    return -1;
  }
  take_away(*s);
  return 0;
}

int set_class_led_trigger(const std::string& name, const std::string& trigger, std::string& error) {
  ServedLed* s = live_led(name);
  if (!s) {
    error = "no such LED";
    return -1;
  }
  ClassLed after = s->led;
  if (store_trigger(after, trigger) != 0) {
    error = "no such trigger";
    return -1;
  }
  s->led = after;
  if (show(*s, true) == 0) return 0;
  error = "cannot rewrite its files";
  return -1;
}

int serve_default_leds(long user) {
  served_user = user;
  for (const char* name : default_class_leds) {
    std::string error;
    if (add_class_led(name, default_max_brightness, error) != 0) {
      (void)std::fprintf(stderr, "norvask-board: cannot serve the LED %s: %s\n", name,
                         error.c_str());
      return -1;
    }
  }
  return 0;
}

bool is_led_file_call(long nr) {
#ifdef __NR_open
  if (nr == __NR_open) return true;
#endif
  return nr == __NR_openat || nr == __NR_pread64 || nr == __NR_pwrite64;
}

void serve_led_file_call(int listener, const seccomp_notif& request, double when) {
  if (request.data.nr == __NR_pread64 || request.data.nr == __NR_pwrite64) {
    serve_transfer(listener, request, when);
  } else {
    serve_open(listener, request);
  }
}

void forget_led_opens(pid_t pid) {
  std::erase_if(opens, [pid](const LedOpen& o) { return o.pid == pid; });
}
