// The settings reader on arbitrary files: both modes, both LED names and both
// Wi-Fi keys
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
#include <vector>

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

// An interface name as the kernel takes it, printable ASCII only.
bool reference_name(std::string_view name) {
  return !name.empty() && name.size() <= 15 && name != "." && name != ".." &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return std::isgraph(static_cast<unsigned char>(c)) && c != '/' && c != ':';
         });
}

// The names a Wi-Fi key gives: blank-separated words when it takes more
// than one; `defaults` when unset or blank; none when refused.
std::vector<std::string> reference_ifaces(std::string_view file, std::string_view key,
                                          std::size_t limit, std::vector<std::string> defaults) {
  std::string_view value = reference_value(file, key).value_or("");
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!value.empty() && blank(value.front())) value.remove_prefix(1);
  while (!value.empty() && blank(value.back())) value.remove_suffix(1);
  if (value.empty()) return defaults;
  std::vector<std::string> names;
  if (limit == 1) {
    names.emplace_back(value);
  } else {
    std::string word;
    for (const char c : std::string(value) + " ") {
      if (!blank(c)) {
        word += c;
      } else if (!word.empty()) {
        names.push_back(word);
        word.clear();
      }
    }
  }
  if (names.size() > limit || !std::all_of(names.begin(), names.end(), reference_name)) return {};
  return names;
}

std::vector<std::string> names_of(const WifiIfaces& ifaces) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < ifaces.count; ++i) names.emplace_back(ifaces.names[i].data());
  return names;
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
  const std::vector<std::string> access_points =
      reference_ifaces(content, "MOD_NORVASK_WIFI_AP", 4, {"wlan0", "wlan02"});
  fuzz_check(names_of(settings.wifi_ap) == access_points, "the access points");
  fuzz_check((settings.wifi_ap.fault == NameFault::None) == !access_points.empty(),
             "the access points' refusal");
  const std::vector<std::string> client =
      reference_ifaces(content, "MOD_NORVASK_WIFI_CLIENT", 1, {"wlan1"});
  fuzz_check(names_of(settings.wifi_client) == client, "the client");
  fuzz_check((settings.wifi_client.fault == NameFault::None) == !client.empty(),
             "the client's refusal");
  return 0;
}
