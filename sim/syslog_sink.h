// The sandbox's /dev/log: every message the daemon sends to syslog, with the
// identity and PID it claims and the PID the kernel vouches for.
#pragma once

#include <sys/types.h>

#include <string>

struct SyslogMessage {
  int facility;  // LOG_DAEMON >> 3 and so on
  int severity;  // LOG_NOTICE and so on
  std::string ident;
  long pid;  // the PID in the message, -1 without one
  std::string text;
};

// Parses one datagram as the C library's syslog() formats it:
// "<priority>Mmm dd hh:mm:ss ident[pid]: text". 0, or -1 when it is not one.
int parse_syslog_message(const std::string& datagram, SyslogMessage& message);

[[nodiscard]] const char* facility_name(int facility);
[[nodiscard]] const char* severity_name(int severity);

// A datagram socket bound at `path` that receives its senders' credentials.
int open_log_socket(const char* path);

// Reads one datagram into `datagram` and the sender's PID into `sender`
// (-1 when the kernel gave none). 0, or -1 when nothing could be read.
int receive_log_datagram(int fd, std::string& datagram, pid_t& sender);
