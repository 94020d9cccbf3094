// Internals of the settings reader: where it looks, and its steps.
#pragma once

#include <cstdint>
#include <cstdio>

#include "settings/settings.h"

inline constexpr std::size_t settings_line_size = 16384;

// Where read_settings looks: /opt/norvask/etc/settings unless set otherwise.
extern const char* settings_path;

[[nodiscard]] char* settings_find(std::FILE* stream, const char* key);
[[nodiscard]] std::uint32_t settings_get_uint(std::FILE* stream, const char* key);
void settings_close(std::FILE* stream);
