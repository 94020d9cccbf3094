#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "status/status.h"
#include "status/status_internal.h"

const char* passwd_path = "/etc/passwd";

namespace {

// net-tools' netstat -p prints "PID/Program name" in 19 characters at most.
constexpr std::size_t column_width = 19;
// It reads that many bytes of a process's command line, less one.
constexpr std::size_t cmdline_size = 512;

bool blank(char c) { return c == ' ' || c == '\t'; }

// Past the blanks at `text`, then past the field there, and the blanks after it.
const char* next_field(const char* text) {
  while (blank(*text)) ++text;
  while (*text && *text != '\n' && !blank(*text)) ++text;
  while (blank(*text)) ++text;
  return text;
}

// Digits alone, at most `limit`: 0, or -1.
int parse_id(std::string_view text, unsigned long limit, unsigned long& id) {
  if (text.empty() || text.size() > 10) return -1;
  id = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    id = id * 10 + static_cast<unsigned long>(c - '0');
  }
  return id <= limit ? 0 : -1;
}

// The column netstat shows for the process behind `proc`, made as netstat
// makes it: the pid, a slash and the first word of its command line, of
// which a path gives only its last part, all cut to 19 characters.
int column_of(int proc, pid_t pid, char (&column)[column_width + 1]) {
  char cmdline[cmdline_size];
  if (read_proc_file(proc, "cmdline", cmdline, sizeof cmdline) < 0) return -1;
  const char* name = cmdline;
  if (cmdline[0] == '/') name = std::strrchr(cmdline, '/') + 1;
  const int used = std::snprintf(column, sizeof column, "%d/", static_cast<int>(pid));
  if (used < 0) return -1;
  std::size_t at = std::strlen(column);
  while (at < column_width && *name) column[at++] = *name++;
  column[at] = '\0';
  return 0;
}

// The effective user of the process behind `proc`, from its status' Uid line
// (real, effective, saved, file system). The owner of /proc/PID is not
// asked: a process that makes itself undumpable shows as root's there.
int effective_user(int proc, uid_t& uid) {
  char text[2048];
  if (read_proc_file(proc, "status", text, sizeof text) <= 0) return -1;
  const char* line = std::strstr(text, "\nUid:");
  if (!line) return -1;
  const char* field = next_field(line + 5);
  const std::size_t length = std::strspn(field, "0123456789");
  unsigned long id = 0;
  if (parse_id({field, length}, static_cast<uid_t>(-1) - 1UL, id) != 0) return -1;
  uid = static_cast<uid_t>(id);
  return 0;
}

// One line of the passwd file, name:password:uid:gid:...: 1 when it gives
// `uid` a name, copied into `name`; 0 when it is another uid's line or not
// such a line; -1 when it gives `uid` no name that fits or that is text.
int passwd_entry(std::string_view entry, uid_t uid, char* name, std::size_t cap) {
  const std::size_t first = entry.find(':');
  const std::size_t second = first == std::string_view::npos ? first : entry.find(':', first + 1);
  const std::size_t third = second == std::string_view::npos ? second : entry.find(':', second + 1);
  unsigned long id = 0;
  if (third == std::string_view::npos ||
      parse_id(entry.substr(second + 1, third - second - 1), UINT32_MAX, id) != 0 || id != uid) {
    return 0;
  }
  const std::string_view found = entry.substr(0, first);
  if (found.empty() || found.size() >= cap || found.find('\0') != std::string_view::npos) return -1;
  std::memcpy(name, found.data(), found.size());
  name[found.size()] = '\0';
  return 1;
}

}  // namespace

int netstat_owner_column(const char* line, std::string_view& column) {
  // Proto, Recv-Q, Send-Q, the two addresses and the state come first; a
  // program's name may hold blanks, so the column is the rest of the line.
  const char* start = line;
  for (int i = 0; i < 6; ++i) start = next_field(start);
  std::size_t length = std::strcspn(start, "\n");
  while (length > 0 && blank(start[length - 1])) --length;
  if (length == 0) return -1;
  column = {start, length};
  return 0;
}

void find_service_owner(const char* line, ServiceOwner& owner) {
  owner = {};
  owner.seen = true;
  std::string_view column;
  if (netstat_owner_column(line, column) != 0) return;
  const std::size_t slash = column.find('/');
  unsigned long pid = 0;
  if (slash == std::string_view::npos || parse_id(column.substr(0, slash), INT32_MAX, pid) != 0 ||
      pid == 0) {
    return;
  }
  owner.pid = static_cast<pid_t>(pid);
  char path[32];
  (void)std::snprintf(path, sizeof path, "/proc/%lu", pid);
  // Both reads go through one open /proc/PID: they fail once the process
  // has ended, even when its pid is taken again, so the name checked and the
  // user read are of the same process.
  const int proc = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return;
  char now[column_width + 1];
  uid_t uid = 0;
  if (column_of(proc, owner.pid, now) == 0 && effective_user(proc, uid) == 0) {
    std::string_view shown = now;
    while (!shown.empty() && blank(shown.back())) shown.remove_suffix(1);
    owner.found = shown == column;
  }
  close(proc);
  if (!owner.found) return;
  owner.uid = uid;
  if (user_name(passwd_path, uid, owner.user.data(), owner.user.size()) != 1) owner.user[0] = '\0';
}

int user_name(const char* path, uid_t uid, char* name, std::size_t cap) {
  // Never wait on a FIFO or a device put there in its place.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  std::FILE* file =
      fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "re") : nullptr;
  if (!file) {
    if (fd >= 0) close(fd);
    return -1;
  }
  // The first line for the uid decides, as the C library's lookup has it.
  // A line longer than the buffer is skipped whole.
  char line[1024];
  std::size_t length = 0;
  bool too_long = false;
  int found = 0;
  for (int c = 0; found == 0 && c != EOF;) {
    c = std::getc(file);
    if (c != '\n' && c != EOF) {
      too_long = too_long || length == sizeof line;
      if (!too_long) line[length++] = static_cast<char>(c);
      continue;
    }
    if (!too_long) found = passwd_entry({line, length}, uid, name, cap);
    length = 0;
    too_long = false;
  }
  (void)std::fclose(file);
  return found == 1 ? 1 : 0;
}
