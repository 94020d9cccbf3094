// The supervisor's report: one line per event on standard output, each
// starting with the seconds since the supervisor started.
#pragma once

#include <cstdint>
#include <string>

// Seconds on the monotonic clock since the first call.
[[nodiscard]] double board_clock();

// Writes "<time> <text>" as one line; `when` is a board_clock() reading.
void emit_at(double when, const std::string& text);
void emit(const std::string& text);
