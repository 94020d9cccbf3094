// holdsock: holds a TCP socket open, under whatever name it is started as
// (netstat names a socket's owner by its program name).
//
//   NAME listen PORT          listen on every address, accepting and holding
//                             whatever connects
//   NAME connect ADDR PORT    connect, and connect again whenever the
//                             connection ends

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int usage() {
  (void)std::fprintf(stderr, "usage: NAME listen PORT | NAME connect ADDR PORT\n");
  return 2;
}

int parse_port(const char* text, in_port_t& port) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 65535) return -1;
  port = htons(static_cast<in_port_t>(value));
  return 0;
}

int serve(in_port_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = port;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
    std::perror("listen");
    return 1;
  }
  // Connections are held and never read: a closed one lingers harmlessly.
  for (;;) {
    const int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) usleep(100000);
  }
}

// Waits until the peer closes the connection.
void hold(int fd) {
  pollfd waiting{fd, POLLIN | POLLRDHUP, 0};
  char buf[256];
  while (poll(&waiting, 1, -1) >= 0) {
    if (read(fd, buf, sizeof buf) <= 0) return;
  }
}

int keep_connected(const char* host, in_port_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = port;
  if (inet_pton(AF_INET, host, &address.sin_addr) != 1) return usage();
  for (;;) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      hold(fd);
    }
    if (fd >= 0) close(fd);
    usleep(200000);
  }
}

}  // namespace

int main(int argc, char** argv) {
  in_port_t port = 0;
  if (argc == 3 && std::strcmp(argv[1], "listen") == 0 && parse_port(argv[2], port) == 0) {
    return serve(port);
  }
  if (argc == 4 && std::strcmp(argv[1], "connect") == 0 && parse_port(argv[3], port) == 0) {
    return keep_connected(argv[2], port);
  }
  return usage();
}
