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
// The interfaces `key` names, at most `limit` of them, blank-separated when
// the limit is above 1. `ifaces` holds the defaults and keeps them when no
// line sets the key or its value is blank; a value with a name the kernel
// would not take, or too many names, is refused whole.
void settings_get_ifaces(std::FILE* stream, const char* key, std::size_t limit, WifiIfaces& ifaces);
void settings_close(std::FILE* stream);
