// Internals of the settings reader: where it looks, and its steps.
#pragma once

#include <cstdint>
#include <cstdio>

#include "settings/settings.h"

inline constexpr std::size_t settings_line_size = 16384;

// Where read_settings looks: /opt/norvask/etc/settings unless set otherwise.
extern const char* settings_path;

// The value `line` (as fgets read it, at most settings_line_size - 1 bytes)
// gives `key`, or null when it sets another key or none. The value ends at
// the line's end or its last double quote; the line is cut up on the way.
[[nodiscard]] char* settings_line_value(char* line, const char* key);
// The value of the first line of `stream` that sets `key`, or null.
[[nodiscard]] char* settings_find(std::FILE* stream, const char* key);
[[nodiscard]] std::uint32_t settings_get_uint(std::FILE* stream, const char* key);
// The value of `key` as an LED's name; not given when no line sets it.
void settings_get_name(std::FILE* stream, const char* key, LedName& name);
void settings_close(std::FILE* stream);
