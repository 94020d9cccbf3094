#include "sim/syslog_sink.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstring>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "Mmm dd hh:mm:ss " as syslog() writes its time stamp.
bool is_time_stamp(const std::string& s, std::size_t at) {
  if (s.size() < at + 16) return false;
  const char* p = s.data() + at;
  return std::isupper(static_cast<unsigned char>(p[0])) && p[3] == ' ' &&
         (p[4] == ' ' || is_digit(p[4])) && is_digit(p[5]) && p[6] == ' ' && p[9] == ':' &&
         p[12] == ':' && p[15] == ' ';
}

}  // namespace

int parse_syslog_message(const std::string& datagram, SyslogMessage& message) {
  if (datagram.size() < 3 || datagram[0] != '<') return -1;
  std::size_t at = 1;
  int priority = 0;
  for (; at < datagram.size() && is_digit(datagram[at]); ++at) {
    priority = priority * 10 + (datagram[at] - '0');
  }
  if (at == 1 || at >= datagram.size() || datagram[at] != '>' || priority > 1023) return -1;
  ++at;
  if (is_time_stamp(datagram, at)) at += 16;
  const std::size_t colon = datagram.find(": ", at);
  if (colon == std::string::npos) return -1;
  std::string head = datagram.substr(at, colon - at);
  message.pid = -1;
  const std::size_t bracket = head.find('[');
  if (bracket != std::string::npos && head.back() == ']') {
    const std::string digits = head.substr(bracket + 1, head.size() - bracket - 2);
    if (digits.empty()) return -1;
    long pid = 0;
    for (const char c : digits) {
      if (!is_digit(c)) return -1;
      pid = pid * 10 + (c - '0');
    }
    message.pid = pid;
    head.resize(bracket);
  }
  message.facility = priority >> 3;
  message.severity = priority & 7;
  message.ident = head;
  message.text = datagram.substr(colon + 2);
  while (!message.text.empty() && message.text.back() == '\n') message.text.pop_back();
  return 0;
}

const char* facility_name(int facility) {
  static constexpr const char* names[24] = {
      "kern",   "user",   "mail",     "daemon", "auth",   "syslog",   "lpr",     "news",
      "uucp",   "cron",   "authpriv", "ftp",    "ntp",    "security", "console", "solaris-cron",
      "local0", "local1", "local2",   "local3", "local4", "local5",   "local6",  "local7"};
  if (facility < 0 || facility >= 24) return "unknown";
  return names[facility];
}

const char* severity_name(int severity) {
  static constexpr const char* names[8] = {"emerg",   "alert",  "crit", "err",
                                           "warning", "notice", "info", "debug"};
  if (severity < 0 || severity >= 8) return "unknown";
  return names[severity];
}

int open_log_socket(const char* path) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  unlink(path);
  const int on = 1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int receive_log_datagram(int fd, std::string& datagram, pid_t& sender) {
  std::array<char, 8192> buf{};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(ucred))> control{};
  iovec io{buf.data(), buf.size()};
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  header.msg_control = control.data();
  header.msg_controllen = control.size();
  const ssize_t n = recvmsg(fd, &header, 0);
  if (n < 0) return -1;
  datagram.assign(buf.data(), static_cast<std::size_t>(n));
  sender = -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
      ucred credentials{};
      std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
      sender = credentials.pid;
    }
  }
  return 0;
}
