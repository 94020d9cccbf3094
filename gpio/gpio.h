// The board's GPIO device: the two LEDs and the binary pins.
#pragma once

#include <cstdint>

int set_led1(std::uint32_t value);
int set_led2(std::uint32_t value);

// Eight writes 125 ms apart (off, on, four times); the LED ends on.
void blink_led1();
void blink_led2();

enum class Pin : std::uint8_t { Bin0, Bin1, Out0, Out1 };

// The pin's value; every failure, and a pin the board lacks, reads 0.
[[nodiscard]] std::uint32_t read_pin(Pin pin);
