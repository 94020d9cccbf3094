// Shared by the fuzz targets: files that the code under test opens by name,
// and the check that turns a wrong answer into a crash the fuzzer reports.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

// Stops the run when an answer is wrong, so that libFuzzer keeps the input.
inline void fuzz_check(bool ok, const char* what) {
  if (ok) return;
  (void)std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// A file in a private directory under $TMPDIR, refilled for every input and
// removed when the fuzzer exits.
class InputFile {
 public:
  explicit InputFile(const char* name) {
    const char* base = std::getenv("TMPDIR");
    dir_ = std::string(base && *base ? base : "/tmp") + "/nvfuzz.XXXXXX";
    fuzz_check(mkdtemp(dir_.data()) != nullptr, "cannot make a private directory");
    path_ = dir_ + "/" + name;
  }
  ~InputFile() {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  [[nodiscard]] const char* path() const { return path_.c_str(); }

  // Replaces the file's content with `size` bytes from `data`.
  void fill(const void* data, std::size_t size, mode_t mode = 0600) const {
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    fuzz_check(fd >= 0, "cannot open the input file");
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t put = write(fd, bytes, size);
      fuzz_check(put > 0, "cannot write the input file");
      bytes += put;
      size -= static_cast<std::size_t>(put);
    }
    close(fd);
  }

 private:
  std::string dir_;
  std::string path_;
};
