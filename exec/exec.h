// Running external programs synchronously, and the files they leave behind.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The next child's standard output: a descriptor above 2 passes to the runner,
// which closes it after the fork; a negative one means /dev/null; 0 and 2 are ignored.
void set_child_stdout(int fd);

// Bounds on the children: may_start can stop new ones, and wait can end one
// that runs too long. The daemon sets none and waits for each child as long
// as it runs. With one set, each child
// gets a process group of its own, so that ending it ends its pipeline too.
struct ChildControl {
  bool (*may_start)();     // false: no more commands are started
  int (*wait)(pid_t pid);  // the wait status, or -1 when it ended the group
};
extern const ChildControl* child_control;

// Runs `program` with the arguments up to the null (at most 62 of them) and
// waits for it. Returns the raw wait status, or -1 when the fork failed or
// child_control did not start it or ended it.
int run_command(const char* program, ...) __attribute__((sentinel));

// Runs `command` through /bin/sh -c with its output in the capture file `path`,
// truncated first, a plain file of our own with a single name. Whatever
// another user put at the path is removed first (logged once per path);
// what cannot be removed leaves the output in a private file that
// file_size and read_capture read for `path`. When neither can be had the
// output goes to /dev/null.
int capture_command(const char* path, const char* command);

// Whether the last capture_command's output went to its capture file. When
// it did not, whatever the file holds is not that command's output.
[[nodiscard]] bool capture_written();

// Runs `command` through /bin/sh -c with its output discarded.
int shell_command(const char* command);

// 1 when stat succeeds on `path`, else 0.
[[nodiscard]] int file_exists(const char* path);

// The size of the capture file at `path` (or of the private file that stands
// for it); 0 when it is missing, or not a plain file of our own with a
// single name.
[[nodiscard]] std::int64_t file_size(const char* path);

// Reads the start of the capture file at `path` into `buf` (at most cap - 1
// bytes, then a NUL), never following a link or waiting on a FIFO; a file
// that capture_command would refuse cannot be read.
// Returns the byte count, or -1 when it cannot be read.
int read_capture(const char* path, char* buf, std::size_t cap);
