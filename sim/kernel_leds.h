// The router's kernel LEDs as its kernel drives them: each value the GPIO
// driver sets on an LED's line, read from the kernel's own trace, reported
// as "led N V" at the kernel's time on the board's clock. N is the LED the
// settings file named the LED device for (MOD_NORVASK_LED, MOD_NORVASK_LED2;
// LED 1's when both name it) when the daemon last started, by the kernel's
// trace of its exec (the file may change while it runs, which goes on as it
// began); a line no setting names is not reported.
#pragma once

// Sets up a trace instance of the board's own that records each value set
// on a GPIO line, and learns which line each kernel LED holds. 0, or -1
// with a message on standard error.
int open_led_trace();

// Learns again which line each kernel LED holds: after a driver was bound.
void learn_led_lines();

// Reports every value set since the last call, in the kernel's order.
void drain_led_trace();
