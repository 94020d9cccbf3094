// The two LEDs' devices, chosen once at start: the board's GPIO LED, or a
// kernel LED class device that the settings name. The loop drives either
// through the same calls.
#pragma once

#include <cstdint>

struct LedSettings;

// What one evaluation of a mode does to its LED.
enum class LedAction : std::uint8_t { Off, On, Blink, Keep };

// One LED's device and what the daemon keeps of it (leds_internal.h).
struct LedDevice;
extern LedDevice led1_device;
extern LedDevice led2_device;

// At start, LED 1 then LED 2: without a name, the board's GPIO LED; with
// one, that kernel LED, taken from the trigger it had. A name that is
// refused is logged, and that LED is never written.
void leds_bind(const LedSettings& settings);
// At stop, LED 2 then LED 1: each kernel LED gets back the trigger found at
// start, with that trigger's settings. The board's LEDs stay as they are.
void leds_release();

// Carries out `action` on the LED: Off switches it off; On switches it on
// (a kernel LED to its max_brightness, the board's to `value`); Blink makes
// eight writes 125 ms apart (off, on, four times), ending on; Keep leaves it
// as it is. A kernel LED that another program's trigger took is taken back
// first, and a kept one given its last value again.
void led_act(LedDevice& led, LedAction action, std::uint32_t value);
