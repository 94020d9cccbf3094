// Reading the LED modes, the LEDs' devices and the Wi-Fi interfaces from the
// settings file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

// An interface name as the kernel takes it, 1 to 15 bytes, and its end.
inline constexpr std::size_t iface_name_size = 16;
using IfaceName = std::array<char, iface_name_size>;
// Mode 11 watches up to this many access points.
inline constexpr std::size_t wifi_ap_limit = 4;

inline constexpr const char* wifi_ap_key = "MOD_NORVASK_WIFI_AP";
inline constexpr const char* wifi_client_key = "MOD_NORVASK_WIFI_CLIENT";

// Why a name in a Wi-Fi key was refused.
enum class NameFault : std::uint8_t {
  None,
  Empty,
  TooLong,   // more than 15 bytes
  Dots,      // "." or ".."
  Slash,     // '/'
  Colon,     // ':'
  Blank,     // a space or a tab
  Control,   // a control character
  NotAscii,  // a byte above 0x7f
  TooMany,   // more names than the key takes
};

// The interfaces one Wi-Fi key names. A refused key names none: `fault`
// says why, and `refused` holds the start of the name that was refused.
struct WifiIfaces {
  std::array<IfaceName, wifi_ap_limit> names;  // `count` of them, each terminated
  std::size_t count;
  NameFault fault;
  std::array<char, 24> refused;
  bool refused_cut;  // the name was longer than `refused` holds
};

constexpr WifiIfaces wifi_ifaces(std::initializer_list<std::string_view> names) {
  WifiIfaces ifaces{};
  for (std::string_view name : names) {
    IfaceName& to = ifaces.names[ifaces.count++];
    for (std::size_t i = 0; i < name.size() && i + 1 < to.size(); ++i) to[i] = name[i];
  }
  return ifaces;
}

inline constexpr WifiIfaces default_wifi_ap = wifi_ifaces({"wlan0", "wlan02"});
inline constexpr WifiIfaces default_wifi_client = wifi_ifaces({"wlan1"});

// Room for a kernel LED's name: 63 bytes and the end.
inline constexpr std::size_t led_name_size = 64;

// The value of a key that names an LED, as the file gives it.
struct LedName {
  bool given;                            // a line sets the key (maybe to nothing)
  std::size_t length;                    // the value's length, also when it did not fit
  std::array<char, led_name_size> text;  // the value, cut to 63 bytes
};

struct LedSettings {
  std::uint32_t mode1;  // MOD_NORVASK_MODE
  std::uint32_t mode2;  // MOD_NORVASK_MODE2
  LedName led1{};       // MOD_NORVASK_LED: not given, the board's GPIO LED
  LedName led2{};       // MOD_NORVASK_LED2
  // MOD_NORVASK_WIFI_AP and MOD_NORVASK_WIFI_CLIENT: what modes 11 and 12 watch.
  WifiIfaces wifi_ap = default_wifi_ap;
  WifiIfaces wifi_client = default_wifi_client;
};

// Fills both modes, both LED names and the Wi-Fi interfaces; a file that
// cannot be opened, or is not a regular file, gives 0 for each mode, no name
// and the default interfaces. Returns 0, or why the file could not be read as
// an errno value (EISDIR for a directory, EINVAL for a FIFO, device or socket).
int read_settings(LedSettings& settings);

// Whether the kernel would take `name` for an interface (1 to 15 bytes, not
// "." or "..", no '/', ':' or white space), and, stricter than the kernel,
// whether it is printable ASCII, so that it shows as it is wherever it is
// printed. The first fault found, or None.
[[nodiscard]] NameFault iface_name_fault(std::string_view name);

// Why `ifaces` was refused, in a few words with the name escaped to
// printable ASCII ("\"a/b\" holds '/'"), cut to `cap`; "" when it was not.
void iface_refusal(const WifiIfaces& ifaces, char* out, std::size_t cap);

// A refused Wi-Fi key as the daemon logs it, once, at start: "KEY refused:
// WHY; mode N keeps its LED off", WHY as iface_refusal gives it, N the mode
// that watches what the key names; "" when it was not refused.
void wifi_key_refusal(const WifiIfaces& ifaces, const char* key, char* out, std::size_t cap);

// scanf-style unsigned decimal: leading white space, an optional sign, digits.
// Returns the end of the digits, or null when no digit follows. A magnitude
// above `max` gives `max`; a negative value wraps modulo max + 1 (max must be
// 2^k - 1), as strtoul does.
[[nodiscard]] const char* scan_unsigned(const char* text, std::uint64_t max, std::uint64_t& out);
