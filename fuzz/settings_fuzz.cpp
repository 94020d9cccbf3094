// The settings reader on arbitrary files: both modes and both LED names
// must match a plain reading of the same bytes that follows the reader's
// documented rules.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "settings/settings_internal.h"

namespace {

bool same_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// An unsigned decimal after blanks and a sign; above 2^32 - 1 it saturates,
// a negative one wraps; no digit reads 0.
std::uint32_t reference_number(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  std::size_t end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end == at) return 0;
  const std::string digits(text.substr(at, end - at));
  errno = 0;
  const unsigned long long magnitude = std::strtoull(digits.c_str(), nullptr, 10);
  if (errno == ERANGE || magnitude > UINT32_MAX) return UINT32_MAX;
  return static_cast<std::uint32_t>(negative ? 0 - magnitude : magnitude);
}

// The file is read in pieces that end after a line feed or fill the line
// buffer, each taken as text up to its first NUL. The value of the first
// piece that sets `key`, or none.
std::optional<std::string_view> reference_value(std::string_view file, std::string_view key) {
  std::size_t at = 0;
  while (at < file.size()) {
    const std::size_t limit = std::min(file.size(), at + settings_line_size - 1);
    std::size_t end = at;
    while (end < limit && file[end++] != '\n') {
    }
    std::string_view line = file.substr(at, end - at);
    at = end;
    line = line.substr(0, line.find('\0'));
    line = line.substr(0, line.find('\r'));
    line = line.substr(0, line.find('\n'));
    if (const std::size_t quote = line.rfind('"'); quote != std::string_view::npos) {
      line = line.substr(0, quote);
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || !same_ignoring_case(line.substr(0, equals), key)) {
      continue;
    }
    std::string_view value = line.substr(equals + 1);
    if (!value.empty() && value.front() == '"') value.remove_prefix(1);
    return value;
  }
  return std::nullopt;
}

std::uint32_t reference_lookup(std::string_view file, std::string_view key) {
  const std::optional<std::string_view> value = reference_value(file, key);
  return value ? reference_number(*value) : 0;
}

// A name is its value whole, kept to 63 bytes with its length noted.
bool same_name(const LedName& name, std::string_view file, std::string_view key) {
  const std::optional<std::string_view> value = reference_value(file, key);
  if (!value) return !name.given;
  return name.given && name.length == value->size() &&
         std::string_view(name.text.data()) == value->substr(0, led_name_size - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const InputFile file("settings");
  file.fill(data, size);
  settings_path = file.path();
  LedSettings settings{77, 77};
  read_settings(settings);

  const std::string_view content(reinterpret_cast<const char*>(data), size);
  fuzz_check(settings.mode1 == reference_lookup(content, "MOD_NORVASK_MODE"), "LED 1's mode");
  fuzz_check(settings.mode2 == reference_lookup(content, "MOD_NORVASK_MODE2"), "LED 2's mode");
  fuzz_check(same_name(settings.led1, content, "MOD_NORVASK_LED"), "LED 1's name");
  fuzz_check(same_name(settings.led2, content, "MOD_NORVASK_LED2"), "LED 2's name");
  return 0;
}
