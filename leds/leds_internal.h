// Internals of the LED devices: where kernel LEDs are, what the daemon keeps
// of each, and the reads norvask-status shares.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "leds/leds.h"
#include "settings/settings.h"

// Where kernel LEDs are: /sys/class/leds unless set otherwise.
extern const char* leds_class_path;

enum class LedKind : std::uint8_t {
  Gpio,     // the board's, through /dev/gpio
  Class,    // a kernel LED class device
  Refused,  // named, but refused: never written
};

// Why a name is refused, in the order it is checked.
enum class LedRefusal : std::uint8_t { None, Empty, TooLong, Control, Slash, Dots, Missing };

// Room for a trigger's name, and for what is given back at stop: the
// trigger found at start and its settings, each file's name and the text to
// write it ("trigger\0timer\n\0delay_on\0500\n\0..."), the trigger first.
inline constexpr std::size_t led_trigger_size = 48;
inline constexpr std::size_t led_found_size = 256;

struct LedDevice {
  int number;  // 1 or 2
  LedKind kind = LedKind::Gpio;
  LedRefusal refusal = LedRefusal::None;
  int error = 0;  // why a Missing LED's brightness could not be opened
  std::array<char, led_name_size> name{};
  int brightness_fd = -1;
  int trigger_fd = -1;  // -1 also on a kernel without triggers
  std::uint32_t max_brightness = 1;
  std::uint32_t last_value = 0;  // what the daemon last wrote, once `written`
  bool written = false;
  bool failure_logged = false;
  bool takeback_logged = false;
  std::array<char, led_found_size> found{};
  std::size_t found_used = 0;  // 0: nothing to give back
  bool found_cut = false;      // a setting did not fit and is not given back
};

// Why `name` cannot name a kernel LED, as far as the name alone tells.
[[nodiscard]] LedRefusal led_name_refusal(const LedName& name);
// The reason in a few words ("the name holds '/'"); for Missing, the
// failure's errno says the rest.
[[nodiscard]] const char* led_refusal_words(LedRefusal refusal);
// The name is shown in messages only when it is printable ASCII.
[[nodiscard]] bool led_name_printable(const char* name);

// The path of `file` of the kernel LED `name` ("" for its directory):
// 0, or -1 when it does not fit in `size`.
int led_path(const char* name, const char* file, char* out, std::size_t size);
inline constexpr std::size_t led_path_size = 256;

// The active (bracketed) trigger of the trigger file open on `fd`, read
// whole from its start: 1 with its name in `out`, 0 when none is bracketed,
// -1 when the read failed (errno set).
int led_active_trigger(int fd, char* out, std::size_t size);

// Reads the start of `path`, opened with `flags`, into `out` (ended with a
// NUL): the bytes read, or -1 (errno set).
int led_read_file(const char* path, int flags, char* out, std::size_t size);
// The unsigned number at the start of `file` of LED `name` (brightness,
// max_brightness): 0, or -1 when it cannot be read or holds none.
int led_read_number(const char* name, const char* file, std::uint32_t& value);

// Closes what both LEDs hold and forgets their binding (for tests).
void leds_forget();
