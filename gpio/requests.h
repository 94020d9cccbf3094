// The GPIO device's ioctl request codes: the LED writes take the value as the
// argument itself, the pin reads return the pin's value. Nothing else here:
// the codes are the device's interface, and stand on their own.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t led1_request = 0x40004203;
inline constexpr std::uint32_t led2_request = 0x40005200;
inline constexpr std::uint32_t bin0_request = 0x80004207;
inline constexpr std::uint32_t bin1_request = 0x8000421b;
inline constexpr std::uint32_t out0_request = 0x80004206;
inline constexpr std::uint32_t out1_request = 0x8000422b;
