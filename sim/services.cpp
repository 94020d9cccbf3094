#include "sim/services.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "sim/sandbox.h"

namespace {

// The service reports on this descriptor that its sockets are in place.
constexpr int ready_fd = 3;

int listen_on_loopback(sockaddr_in& address) {
  const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(sock, 4) != 0 ||
      getsockname(sock, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

// A connection to ourselves: the server's end is closed again, so netstat
// shows the client's established connection and nothing listening.
int connect_to_self() {
  sockaddr_in address{};
  const int server = listen_on_loopback(address);
  if (server < 0) return -1;
  const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client < 0 ||
      connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(server);
    return -1;
  }
  const int accepted = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
  close(server);
  return accepted < 0 ? -1 : 0;
}

}  // namespace

pid_t start_service(int self_fd, const char* name, const std::string& state, long user) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(ready[1], ready_fd);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    // Closed at the exec, not now: the program itself is one of them.
    close_range(ready_fd + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
    if (user >= 0 && become_user(user) != 0) _exit(126);
    char* const argv[] = {const_cast<char*>(name), const_cast<char*>(state.c_str()), nullptr};
    char* const envp[] = {nullptr};
    execveat(self_fd, "", argv, envp, AT_EMPTY_PATH);
    _exit(127);
  }
  close(ready[1]);
  char byte = 0;
  pollfd wait_ready{ready[0], POLLIN, 0};
  const bool ok = pid > 0 && poll(&wait_ready, 1, 5000) == 1 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (!ok && pid > 0) kill(pid, SIGKILL);
  return ok ? pid : -1;
}

int service_main(const std::string& name, int argc, char** argv) {
  if (name != remote_client_name && name != portal_name) return -1;
  // Started through a descriptor, the kernel named us after its number.
  prctl(PR_SET_NAME, name.c_str());
  const std::string state = argc > 1 ? argv[1] : "listening";
  sockaddr_in address{};
  const int result = state == "connected" ? connect_to_self() : listen_on_loopback(address);
  if (result < 0) return 1;
  const char byte = 'r';
  if (write(ready_fd, &byte, 1) != 1) return 1;
  close(ready_fd);
  for (;;) pause();
}
