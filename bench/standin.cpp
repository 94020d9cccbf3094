// One small program standing in for every external tool the daemon runs
// (hostapd_cli, wpa_cli, ifconfig, netstat, the strongSwan tools, the board's
// I/O command). Installed under each tool's name; what it prints comes from
// the state directory named by NORVASK_STANDIN_STATE:
//
//   "<tool> <arguments...>"  its standard output; the tool exits 0, or for
//                            "io" with the value of the first character.
//   missing                  a message on standard error and exit status 1.
//
// With NORVASK_STANDIN_LOG set, every call appends its command line to that
// file, so that a harness can count ticks from the calls.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t name_size = 512;

bool append(char* out, std::size_t& used, const char* text) {
  const std::size_t length = std::strlen(text);
  if (used + length + 1 >= name_size) return false;
  std::memcpy(out + used, text, length);
  used += length;
  out[used] = '\0';
  return true;
}

void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t done = write(fd, data, size);
    if (done <= 0) return;
    data += done;
    size -= static_cast<std::size_t>(done);
  }
}

void log_call(const char* line, std::size_t length) {
  const char* log = std::getenv("NORVASK_STANDIN_LOG");
  if (!log) return;
  const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char buffer[name_size + 1];
  std::memcpy(buffer, line, length);
  buffer[length] = '\n';
  write_all(fd, buffer, length + 1);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const char* state = std::getenv("NORVASK_STANDIN_STATE");
  if (!state || argc < 1) return 2;
  const char* slash = std::strrchr(argv[0], '/');
  const char* tool = slash ? slash + 1 : argv[0];

  // The call as one line: "tool arg1 arg2 ...".
  char call[name_size] = "";
  std::size_t used = 0;
  if (!append(call, used, tool)) return 2;
  for (int i = 1; i < argc; ++i) {
    if (!append(call, used, " ") || !append(call, used, argv[i])) return 2;
  }
  log_call(call, used);

  char path[name_size * 2];
  const std::size_t state_length = std::strlen(state);
  if (state_length + used + 2 > sizeof path) return 2;
  std::memcpy(path, state, state_length);
  path[state_length] = '/';
  std::memcpy(path + state_length + 1, call, used + 1);

  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    static const char message[] = ": not available\n";
    write_all(2, call, used);
    write_all(2, message, sizeof message - 1);
    return 1;
  }
  char buffer[4096];
  char first = 0;
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    if (first == 0) first = buffer[0];
    write_all(1, buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  if (std::strcmp(tool, "io") == 0) return first == '1' ? 1 : 0;
  return 0;
}
