// Small helpers shared by the unit tests: a private directory, files in it,
// stand-in programs, and a PATH that finds them first.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

// A fresh directory removed with everything in it when the test ends.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/nvtest.XXXXXX";
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempDir() {
    if (!path_.empty()) nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  static int remove_entry(const char* path, const struct stat* /*st*/, int /*kind*/, FTW* /*ftw*/) {
    (void)std::remove(path);
    return 0;  // go on past anything that cannot be removed
  }
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// `path` and the directories above it, as mkdir -p makes them.
inline void make_dirs(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    (void)mkdir(path.substr(0, slash).c_str(), 0755);
  }
  (void)mkdir(path.c_str(), 0755);
}

// A shell script at `path`, executable.
inline void write_script(const std::string& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body + "\n");
  chmod(path.c_str(), 0755);
}

inline int count_open_fds() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count - 1;  // the directory's own descriptor
}

// Puts `dir` in front of PATH for as long as it lives.
class PathPrefix {
 public:
  explicit PathPrefix(const std::string& dir) {
    const char* old = std::getenv("PATH");
    saved_ = old ? old : "/usr/bin:/bin";
    setenv("PATH", (dir + ":" + saved_).c_str(), 1);
  }
  ~PathPrefix() { setenv("PATH", saved_.c_str(), 1); }
  PathPrefix(const PathPrefix&) = delete;
  PathPrefix& operator=(const PathPrefix&) = delete;

 private:
  std::string saved_;
};
