// A stand-in board for the benchmarks: a temporary directory with the
// board's stand-in commands on PATH, the board's state files they answer
// from, the capture files and a counters file, and the daemon's seams
// pointed at them. Nothing is written at the daemon's real paths.
#pragma once

#include <cstdint>
#include <string>

#include "settings/settings.h"
#include "sim/board.h"

// Creates the directory and points the daemon at it; false when it cannot.
bool board_setup(const char* standin_program);
// Removes everything board_setup created.
void board_teardown();

// A path inside the directory.
std::string board_path(const char* name);

// Writes the board's state, which the stand-ins answer from.
void board_state(const BoardState& state);
// Rewrites the counters file with these counts for wlan0, wlan02 and wlan1.
void board_counters(std::uint64_t wlan0, std::uint64_t wlan02, std::uint64_t wlan1);

// Names the board's two kernel LEDs for LED 1 and LED 2, as the settings would.
void board_name_kernel_leds(LedSettings& settings);

// Forgets everything the daemon carries from tick to tick, and each LED's device.
void board_forget_daemon_state();

// Heap allocations made by this process so far (malloc, calloc, realloc and
// the aligned forms).
std::uint64_t heap_allocations();
