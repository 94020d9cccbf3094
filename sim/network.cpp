#include "sim/network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

std::array<int, tunnel_count> tunnel_fds{-1, -1, -1, -1};

// The far end of each Wi-Fi interface, by its slot in BoardState::wifi.
constexpr std::array<const char*, wifi_slots> far_ends = {"sta0", "sta2", "sta3", "sta4", "ap1"};

const char* far_end(std::size_t slot) { return slot < far_ends.size() ? far_ends[slot] : nullptr; }

// Runs `ip` with `arguments`, each a word of its own: an interface's name
// may hold what a shell or ip's batch mode would read otherwise.
int run_ip(const std::string& ip, std::initializer_list<const char*> arguments) {
  std::vector<const char*> argv{ip.c_str()};
  argv.insert(argv.end(), arguments);
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execv(ip.c_str(), const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  if (pid < 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status == 0 ? 0 : -1;
}

int write_sysctl(const char* path, const char* value) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const auto length = static_cast<ssize_t>(std::strlen(value));
  const bool ok = write(fd, value, static_cast<std::size_t>(length)) == length;
  close(fd);
  return ok ? 0 : -1;
}

int link_up(const char* name) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  ifreq request{};
  (void)std::snprintf(request.ifr_name, IFNAMSIZ, "%s", name);
  int result = ioctl(sock, SIOCGIFFLAGS, &request);
  if (result == 0) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    result = ioctl(sock, SIOCSIFFLAGS, &request);
  }
  close(sock);
  return result == 0 ? 0 : -1;
}

// Broadcast Ethernet frames of the local experimental type, so that no
// protocol on either end answers them.
int send_frames(const char* from, int bytes) {
  const unsigned index = if_nametoindex(from);
  if (index == 0) return -1;
  const int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_ifindex = static_cast<int>(index);
  to.sll_halen = 6;
  std::memset(to.sll_addr, 0xff, 6);
  std::array<unsigned char, 1000> frame{};
  std::memset(frame.data(), 0xff, 6);
  const std::array<unsigned char, 8> source_and_type{0x02, 0, 0, 0, 0, 0x01, 0x88, 0xb5};
  std::memcpy(frame.data() + 6, source_and_type.data(), source_and_type.size());
  int result = 0;
  for (int left = bytes; left > 0;) {
    const int size = left < 60 ? 60 : (left > 1000 ? 1000 : left);
    if (sendto(sock, frame.data(), static_cast<std::size_t>(size), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
      result = -1;
      break;
    }
    left -= size;
  }
  close(sock);
  return result;
}

std::uint16_t ip_checksum(const unsigned char* header, std::size_t size) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    sum += static_cast<std::uint32_t>(header[i] << 8 | header[i + 1]);
  }
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// An IPv4 packet between two loopback addresses with an experimental
// protocol number: the interface counts it, then the stack drops it.
// An IPv4 packet of `size` bytes; below a header's 20 bytes, the start of
// one, which the tunnel counts as received before the IP layer drops it.
std::vector<unsigned char> tunnel_packet(int size) {
  std::vector<unsigned char> packet(std::max<std::size_t>(static_cast<std::size_t>(size), 20), 0);
  packet[0] = 0x45;
  packet[2] = static_cast<unsigned char>(size >> 8);
  packet[3] = static_cast<unsigned char>(size & 0xff);
  packet[8] = 64;
  packet[9] = 253;
  const std::array<unsigned char, 8> addresses{127, 0, 0, 2, 127, 0, 0, 3};
  std::memcpy(&packet[12], addresses.data(), addresses.size());
  const std::uint16_t sum = ip_checksum(packet.data(), 20);
  packet[10] = static_cast<unsigned char>(sum >> 8);
  packet[11] = static_cast<unsigned char>(sum & 0xff);
  packet.resize(static_cast<std::size_t>(size));
  return packet;
}

}  // namespace

int setup_network(const std::string& ip, const BoardState& board) {
  // Without IPv6 a fresh interface sends no solicitations of its own, so its
  // counters move only when a scenario sends traffic. A kernel without IPv6
  // has nothing to turn off.
  write_sysctl("/proc/sys/net/ipv6/conf/default/disable_ipv6", "1");
  write_sysctl("/proc/sys/net/ipv6/conf/all/disable_ipv6", "1");
  if (link_up("lo") != 0) {
    (void)std::fprintf(stderr, "norvask-board: cannot bring up lo: %s\n", std::strerror(errno));
    return -1;
  }
  for (std::size_t slot = 0; slot < board.wifi.size(); ++slot) {
    const std::string& name = board.wifi[slot];
    if (!name.empty() && set_wifi_interface(ip, slot, name, true) != 0) {
      (void)std::fprintf(stderr, "norvask-board: cannot create interface %s\n", name.c_str());
      return -1;
    }
  }
  return 0;
}

int set_wifi_interface(const std::string& ip, std::size_t slot, const std::string& name,
                       bool present) {
  const char* peer = far_end(slot);
  if (!peer || name.empty()) return -1;
  const bool exists = if_nametoindex(name.c_str()) != 0;
  if (present == exists) return 0;
  if (!present) return run_ip(ip, {"link", "del", "dev", name.c_str()});
  if (run_ip(ip, {"link", "add", "name", name.c_str(), "type", "veth", "peer", "name", peer}) !=
      0) {
    return -1;
  }
  return link_up(peer) == 0 && link_up(name.c_str()) == 0 ? 0 : -1;
}

int send_wifi_traffic(std::size_t slot, const std::string& name, int bytes) {
  const char* peer = far_end(slot);
  if (!peer || bytes <= 0) return -1;
  const int received = send_frames(peer, bytes);
  const int sent = send_frames(name.c_str(), bytes);
  return received == 0 && sent == 0 ? 0 : -1;
}

int set_tunnel(int unit, bool present) {
  if (unit < 0 || unit >= tunnel_count) return -1;
  int& fd = tunnel_fds[static_cast<std::size_t>(unit)];
  if (!present) {
    // The tunnel is not persistent: it goes away with its last descriptor.
    if (fd >= 0) close(fd);
    fd = -1;
    return 0;
  }
  if (fd >= 0) return 0;
  const int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (tun < 0) return -1;
  ifreq request{};
  (void)std::snprintf(request.ifr_name, IFNAMSIZ, "tun%d", unit);
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  if (ioctl(tun, TUNSETIFF, &request) != 0 || link_up(request.ifr_name) != 0) {
    close(tun);
    return -1;
  }
  fd = tun;
  return 0;
}

bool tunnel_present(int unit) {
  return unit >= 0 && unit < tunnel_count && tunnel_fds[static_cast<std::size_t>(unit)] >= 0;
}

int send_tunnel_traffic(int unit, int bytes) {
  if (!tunnel_present(unit) || bytes <= 0) return -1;
  const int fd = tunnel_fds[static_cast<std::size_t>(unit)];
  int delivered = 0;
  for (int left = bytes; left > 0;) {
    const int size = left > 1400 ? 1400 : left;
    const std::vector<unsigned char> packet = tunnel_packet(size);
    if (write(fd, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size())) return -1;
    left -= size;
    delivered += size;
  }
  return delivered;
}
