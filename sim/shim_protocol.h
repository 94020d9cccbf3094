// How an in-process device shim asks the board about a device call, for runs
// where the supervisor cannot see the daemon's system calls (an emulator
// answers the device ioctls before the kernel, and its seccomp filter, would).
//
// The shim sends one ShimRequest from a datagram socket of its own (bound to
// an abstract address, so that the answer can find it) to board_device_socket
// and waits for the ShimAnswer. The supervisor identifies the device from the
// sender's descriptor, as it does for the seccomp filter, and reports the call
// as an event. The daemon waits for the answer, so everything it logged or
// printed before the call is reported first.
//
// Plain fixed-size records: both ends are little-endian 64-bit Linux, the
// supervisor on the host and the shim built for the daemon's target.
#pragma once

#include <cstdint>

// The supervisor's socket inside the sandbox, and where a shim given with
// --shim is found there.
inline constexpr const char* board_device_socket = "/opt/board/devices";
inline constexpr const char* board_shim_path = "/opt/board/shim.so";

struct ShimRequest {
  std::int32_t fd;
  std::uint32_t request;  // the low 32 bits, which is all the kernel looks at
  std::uint64_t arg;
};

struct ShimAnswer {
  std::int32_t handled;   // 0: not one of the board's devices, the kernel answers
  std::int32_t error;     // an errno value, or 0
  std::int64_t value;     // the call's result when error is 0
  std::int32_t counters;  // 1: rx and tx go to the serial_icounter_struct at arg
  std::int32_t rx;
  std::int32_t tx;
  std::int32_t unused;
};

static_assert(sizeof(ShimRequest) == 16 && sizeof(ShimAnswer) == 32);
