#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

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

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

void refuse(WifiIfaces& ifaces, NameFault fault, std::string_view name) {
  ifaces = {};
  ifaces.fault = fault;
  const std::size_t kept = std::min(name.size(), ifaces.refused.size() - 1);
  std::memcpy(ifaces.refused.data(), name.data(), kept);
  ifaces.refused_cut = name.size() > kept;
}

}  // namespace

NameFault iface_name_fault(std::string_view name) {
  if (name.empty()) return NameFault::Empty;
  if (name.size() >= iface_name_size) return NameFault::TooLong;
  if (name == "." || name == "..") return NameFault::Dots;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/') return NameFault::Slash;
    if (c == ':') return NameFault::Colon;
    if (is_blank(c)) return NameFault::Blank;
    if (byte < 0x20 || byte == 0x7f) return NameFault::Control;
    if (byte > 0x7f) return NameFault::NotAscii;
  }
  return NameFault::None;
}

void settings_get_ifaces(std::FILE* stream, const char* key, std::size_t limit,
                         WifiIfaces& ifaces) {
  if (!stream) return;
  std::rewind(stream);
  const char* value = settings_find(stream, key);
  std::string_view rest = trim_blanks(value ? value : "");
  if (rest.empty()) return;
  WifiIfaces named{};
  while (!rest.empty()) {
    std::size_t length = rest.size();
    if (limit > 1) {
      length = 0;
      while (length < rest.size() && !is_blank(rest[length])) ++length;
    }
    // Not substr, which may throw, and so would pull in the C++ library.
    const std::string_view name(rest.data(), length);
    rest.remove_prefix(length);
    rest = trim_blanks(rest);
    const NameFault fault = named.count == limit ? NameFault::TooMany : iface_name_fault(name);
    if (fault != NameFault::None) {
      refuse(ifaces, fault, name);
      return;
    }
    std::memcpy(named.names[named.count++].data(), name.data(), name.size());
  }
  ifaces = named;
}

void iface_refusal(const WifiIfaces& ifaces, char* out, std::size_t cap) {
  if (cap == 0) return;
  out[0] = '\0';
  if (ifaces.fault == NameFault::None) return;
  if (ifaces.fault == NameFault::TooMany) {
    (void)std::snprintf(out, cap, "names more than %zu interfaces", wifi_ap_limit);
    return;
  }
  // The name as printable ASCII: at most four bytes for each of its bytes.
  constexpr std::string_view hex = "0123456789abcdef";
  std::array<char, sizeof ifaces.refused * 4 + 4> shown{};
  std::size_t used = 0;
  for (const char* p = ifaces.refused.data(); *p; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte == '"' || byte == '\\') {
      shown[used++] = '\\';
      shown[used++] = *p;
    } else if (byte < 0x20 || byte > 0x7e) {
      for (const char c : {'\\', 'x', hex[byte >> 4], hex[byte & 0xf]}) shown[used++] = c;
    } else {
      shown[used++] = *p;
    }
  }
  if (ifaces.refused_cut) std::memcpy(&shown[used], "...", 3);
  const char* why = "";
  switch (ifaces.fault) {
    case NameFault::Empty:
      why = "is empty";
      break;
    case NameFault::TooLong:
      why = "is longer than 15 bytes";
      break;
    case NameFault::Dots:
      why = "is not a name an interface can have";
      break;
    case NameFault::Slash:
      why = "holds '/'";
      break;
    case NameFault::Colon:
      why = "holds ':'";
      break;
    case NameFault::Blank:
      why = "holds a blank";
      break;
    case NameFault::Control:
      why = "holds a control character";
      break;
    case NameFault::NotAscii:
      why = "holds a byte outside ASCII";
      break;
    case NameFault::None:
    case NameFault::TooMany:
      break;
  }
  (void)std::snprintf(out, cap, "\"%s\" %s", shown.data(), why);
}

void wifi_key_refusal(const WifiIfaces& ifaces, const char* key, char* out, std::size_t cap) {
  if (cap == 0) return;
  out[0] = '\0';
  if (ifaces.fault == NameFault::None) return;
  std::array<char, 160> why{};
  iface_refusal(ifaces, why.data(), why.size());
  const int mode = std::string_view(key) == wifi_client_key ? 12 : 11;
  (void)std::snprintf(out, cap, "%s refused: %s; mode %d keeps its LED off", key, why.data(), mode);
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
  settings.wifi_ap = default_wifi_ap;
  settings_get_ifaces(stream, wifi_ap_key, wifi_ap_limit, settings.wifi_ap);
  settings.wifi_client = default_wifi_client;
  settings_get_ifaces(stream, wifi_client_key, 1, settings.wifi_client);
  settings_close(stream);
  return error;
}
