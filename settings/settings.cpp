#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "settings/settings_internal.h"

const char* settings_path = "/opt/norvask/etc/settings";

namespace {

// Shared by every lookup: a returned value lives until the next one.
std::array<char, settings_line_size> line_buffer;

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void cut_at_first(char* line, char c) {
  if (char* p = std::strchr(line, c)) *p = '\0';
}

}  // namespace

const char* scan_unsigned(const char* text, std::uint64_t max, std::uint64_t& out) {
  const char* p = text;
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return nullptr;
  std::uint64_t value = 0;
  bool overflow = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const auto digit = static_cast<std::uint64_t>(*p - '0');
    if (value > (max - digit) / 10)
      overflow = true;
    else
      value = value * 10 + digit;
  }
  out = overflow ? max : negative ? (0 - value) & max : value;
  return p;
}

char* settings_line_value(char* line, const char* key) {
  cut_at_first(line, '\r');
  cut_at_first(line, '\n');
  if (char* quote = std::strrchr(line, '"')) *quote = '\0';
  char* equals = std::strchr(line, '=');
  if (!equals) return nullptr;
  *equals = '\0';
  if (strcasecmp(line, key) != 0) return nullptr;
  char* value = equals + 1;
  return *value == '"' ? value + 1 : value;
}

char* settings_find(std::FILE* stream, const char* key) {
  char* line = line_buffer.data();
  while (std::fgets(line, static_cast<int>(line_buffer.size()), stream)) {
    if (char* value = settings_line_value(line, key)) return value;
  }
  return nullptr;
}

std::uint32_t settings_get_uint(std::FILE* stream, const char* key) {
  if (!stream) return 0;
  std::rewind(stream);
  const char* value = settings_find(stream, key);
  std::uint64_t number = 0;
  if (!value || !scan_unsigned(value, UINT32_MAX, number)) return 0;
  return static_cast<std::uint32_t>(number);
}

void settings_get_name(std::FILE* stream, const char* key, LedName& name) {
  const char* value = nullptr;
  if (stream) {
    std::rewind(stream);
    value = settings_find(stream, key);
  }
  name.given = value != nullptr;
  if (!value) value = "";
  name.length = std::strlen(value);
  const std::size_t kept = std::min(name.length, name.text.size() - 1);
  std::memcpy(name.text.data(), value, kept);
  name.text[kept] = '\0';
}

void settings_close(std::FILE* stream) {
  if (stream) (void)std::fclose(stream);
}

namespace {

// Non-blocking, so that a FIFO at the path cannot hold start-up. Only a
// regular file is read: a FIFO, a directory or a device (a link to
// /dev/zero would feed the reader for ever) reads as a file that cannot be
// read. Returns 0, or why the file cannot be read as an errno value.
int open_settings(std::FILE*& stream) {
  stream = nullptr;
  const int fd = open(settings_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st {};
  int error = 0;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else if ((stream = fdopen(fd, "r")) == nullptr) {
    error = errno;
  }
  if (error != 0) close(fd);
  return error;
}

}  // namespace

int read_settings(LedSettings& settings) {
  std::FILE* stream = nullptr;
  const int error = open_settings(stream);
  settings.mode2 = settings_get_uint(stream, "MOD_NORVASK_MODE2");
  settings.mode1 = settings_get_uint(stream, "MOD_NORVASK_MODE");
  settings_get_name(stream, "MOD_NORVASK_LED", settings.led1);
  settings_get_name(stream, "MOD_NORVASK_LED2", settings.led2);
  settings_close(stream);
  return error;
}
