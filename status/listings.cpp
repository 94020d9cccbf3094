#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "status/status_internal.h"

namespace {

constexpr std::size_t mac_length = 17;  // "02:00:5e:00:00:01"

bool is_mac(const char* line, std::size_t length) {
  if (length != mac_length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const bool colon = i % 3 == 2;
    if (colon ? line[i] != ':' : !std::isxdigit(static_cast<unsigned char>(line[i]))) return false;
  }
  return true;
}

// net-tools' netstat -p prints "PID/Program name" in 19 characters at most.
constexpr std::size_t owner_width = 19;

}  // namespace

int count_stations(const char* listing) {
  int count = 0;
  for (const char* line = listing; *line;) {
    const std::size_t length = std::strcspn(line, "\n");
    count += is_mac(line, length) ? 1 : 0;
    line += length + (line[length] ? 1 : 0);
  }
  return count;
}

int find_cut_owner(const char* netstat, const char* program, char* cut, std::size_t cap) {
  const std::size_t program_length = std::strlen(program);
  for (const char* line = netstat; *line;) {
    std::size_t length = std::strcspn(line, "\n");
    const char* next = line + length + (line[length] ? 1 : 0);
    while (length > 0 && std::isspace(static_cast<unsigned char>(line[length - 1]))) --length;
    std::size_t start = length;
    while (start > 0 && !std::isspace(static_cast<unsigned char>(line[start - 1]))) --start;
    const char* owner = line + start;
    const std::size_t owner_length = length - start;
    const void* slash = std::memchr(owner, '/', owner_length);
    const char* name = slash ? static_cast<const char*>(slash) + 1 : nullptr;
    const std::size_t name_length =
        name ? owner_length - static_cast<std::size_t>(name - owner) : 0;
    const bool established =
        std::string_view(line, length).find("ESTABLISHED") != std::string_view::npos;
    if (established && owner_length == owner_width && name_length > 0 &&
        name_length < program_length && std::strncmp(name, program, name_length) == 0 &&
        owner_length < cap) {
      std::memcpy(cut, owner, owner_length);
      cut[owner_length] = '\0';
      return 1;
    }
    line = next;
  }
  return 0;
}

void format_text(char* out, std::size_t size, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  (void)std::vsnprintf(out, size, format, arguments);
  va_end(arguments);
}

void put(std::FILE* out, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  (void)std::vfprintf(out, format, arguments);
  va_end(arguments);
}

std::size_t utf8_length(const unsigned char* p) {
  const unsigned char c = p[0];
  const std::size_t length = c < 0x80 ? 1 : c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
  if (length == 0 || c > 0xf4) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xc0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and code points past U+10FFFF.
  if ((c == 0xe0 && p[1] < 0xa0) || (c == 0xf0 && p[1] < 0x90) || (c == 0xed && p[1] >= 0xa0) ||
      (c == 0xf4 && p[1] >= 0x90)) {
    return 0;
  }
  return length;
}

std::uint32_t utf8_code_point(const unsigned char* p, std::size_t length) {
  static constexpr unsigned char lead_bits[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
  std::uint32_t code_point = p[0] & lead_bits[length];
  for (std::size_t i = 1; i < length; ++i) code_point = code_point << 6 | (p[i] & 0x3fU);
  return code_point;
}

bool control_character(std::uint32_t code_point) {
  return code_point < 0x20 || (code_point >= 0x7f && code_point <= 0x9f) || code_point == 0x061c ||
         code_point == 0x200e || code_point == 0x200f ||
         (code_point >= 0x2028 && code_point <= 0x202e) ||
         (code_point >= 0x2066 && code_point <= 0x2069);
}
