// Kernel LEDs as the daemon and norvask-status read them: names, paths,
// the active trigger and the numbers. Nothing here writes.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "leds/leds_internal.h"

const char* leds_class_path = "/sys/class/leds";

LedRefusal led_name_refusal(const LedName& name) {
  const char* text = name.text.data();
  if (name.length == 0) return LedRefusal::Empty;
  if (name.length >= led_name_size) return LedRefusal::TooLong;
  for (const char* p = text; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f) return LedRefusal::Control;
  }
  if (std::strchr(text, '/')) return LedRefusal::Slash;
  if (std::strcmp(text, ".") == 0 || std::strcmp(text, "..") == 0) return LedRefusal::Dots;
  return LedRefusal::None;
}

const char* led_refusal_words(LedRefusal refusal) {
  switch (refusal) {
    case LedRefusal::None:
      break;
    case LedRefusal::Empty:
      return "the name is empty";
    case LedRefusal::TooLong:
      return "the name is longer than 63 bytes";
    case LedRefusal::Control:
      return "the name holds a control character";
    case LedRefusal::Slash:
      return "the name holds '/'";
    case LedRefusal::Dots:
      return "'.' and '..' name no LED";
    case LedRefusal::Missing:
      return "its brightness cannot be opened for writing";
  }
  return "";
}

bool led_name_printable(const char* name) {
  for (const char* p = name; *p; ++p) {
    if (*p < 0x20 || *p > 0x7e) return false;
  }
  return true;
}

int led_path(const char* name, const char* file, char* out, std::size_t size) {
  std::size_t used = 0;
  for (const char* part : {leds_class_path, "/", name, "/", file}) {
    const std::size_t length = std::strlen(part);
    if (length >= size - used) return -1;
    std::memcpy(out + used, part, length);
    used += length;
  }
  out[used] = '\0';
  return 0;
}

int led_active_trigger(int fd, char* out, std::size_t size) {
  out[0] = '\0';
  // The kernel lists every trigger, the active one in brackets; the list
  // may be longer than a page, so it is read in pieces.
  char piece[256];
  bool inside = false;
  std::size_t kept = 0;
  for (off_t at = 0; at < 65536;) {
    const ssize_t got = pread(fd, piece, sizeof piece, at);
    if (got < 0) return -1;
    if (got == 0) break;
    for (ssize_t i = 0; i < got; ++i) {
      const char c = piece[i];
      if (!inside) {
        inside = c == '[';
        kept = 0;
      } else if (c == ']') {
        out[kept] = '\0';
        return 1;
      } else if (kept + 1 < size) {
        out[kept++] = c;
      }
    }
    at += got;
  }
  out[0] = '\0';
  return 0;
}

int led_read_file(const char* path, int flags, char* out, std::size_t size) {
  const int fd = open(path, flags | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t got = read(fd, out, size - 1);
  const int error = errno;
  close(fd);
  errno = error;
  out[got > 0 ? got : 0] = '\0';
  return static_cast<int>(got);
}

int led_read_number(const char* name, const char* file, std::uint32_t& value) {
  char path[led_path_size];
  char text[24];
  std::uint64_t number = 0;
  if (led_path(name, file, path, sizeof path) != 0 ||
      led_read_file(path, O_RDONLY, text, sizeof text) <= 0 ||
      !scan_unsigned(text, UINT32_MAX, number)) {
    return -1;
  }
  value = static_cast<std::uint32_t>(number);
  return 0;
}
