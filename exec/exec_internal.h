// Internals of the command runner, for tests.
#pragma once

// Closes the parent's copies of handed-over descriptors and empties the slots.
void reset_child_fds();
// The standard-output slot as the next run would use it.
[[nodiscard]] int child_stdout_slot();
// Opens a capture file for writing, truncated; -1 unless it is a plain file.
[[nodiscard]] int open_capture(const char* path);
