// Internals of the command runner: the handed-over descriptors and the capture files.
#pragma once

// Closes the parent's copies of handed-over descriptors and empties the slots.
void reset_child_fds();
// The standard-output slot as the next run would use it.
[[nodiscard]] int child_stdout_slot();
// Opens a capture file for writing, truncated, clearing its path of what
// another user put there, or a private file that stands for it; -1 when
// neither can be had.
[[nodiscard]] int open_capture(const char* path);
// Closes the private files that stand for taken capture paths and forgets
// which paths were logged as taken.
void forget_capture_substitutes();
