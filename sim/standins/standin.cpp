// norvask-standin: the board's stand-in for the router's commands. One small
// program, run under each command's name (hostapd_cli, wpa_cli, io, stroke,
// swanctl; ifconfig and netstat where no real interfaces and sockets stand
// behind them), printing what the real command prints for the board's state
// as the board writes it (sim/board.h). Every call is appended, as one line,
// to the state folder's "calls" file.
//
// The state folder is the board's, /opt/board/state, or the one named by
// NORVASK_STANDIN_STATE. Only the C library is used, so that a call costs
// next to nothing beside the daemon that makes it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

constexpr const char* default_state_dir = "/opt/board/state";
constexpr std::size_t path_size = 512;
constexpr std::size_t line_size = 256;
constexpr int tunnel_count = 4;

const char* state_dir = default_state_dir;

void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t done = write(fd, data, size);
    if (done <= 0) return;
    data += done;
    size -= static_cast<std::size_t>(done);
  }
}

// Standard output, written in blocks: a board may have a thousand stations.
struct Output {
  char text[4096];
  std::size_t used;
};

Output out{};

void flush() {
  write_all(1, out.text, out.used);
  out.used = 0;
}

__attribute__((format(printf, 1, 2))) void print(const char* format, ...) {
  char line[line_size * 2];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length <= 0) return;
  const auto size = static_cast<std::size_t>(length) < sizeof line
                        ? static_cast<std::size_t>(length)
                        : sizeof line - 1;
  if (out.used + size > sizeof out.text) flush();
  std::memcpy(out.text + out.used, line, size);
  out.used += size;
}

// A message on standard error, made of `parts`, and the exit status.
int fail(int status, std::initializer_list<const char*> parts) {
  for (const char* part : parts) write_all(2, part, std::strlen(part));
  write_all(2, "\n", 1);
  return status;
}

bool state_path(char* path, const char* prefix, const char* name) {
  const int n = std::snprintf(path, path_size, "%s/%s%s", state_dir, prefix, name);
  return n > 0 && static_cast<std::size_t>(n) < path_size;
}

// The first line of the state file `prefix``name`, without its newline;
// false when the file is absent (the board lacks the thing).
bool read_state(const char* prefix, const char* name, char* line) {
  char path[path_size];
  if (!state_path(path, prefix, name)) return false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = read(fd, line, line_size - 1);
  close(fd);
  if (n < 0) return false;
  line[n] = '\0';
  line[std::strcspn(line, "\n")] = '\0';
  return true;
}

long read_count(const char* prefix, const char* name) {
  char line[line_size];
  return read_state(prefix, name, line) ? std::strtol(line, nullptr, 10) : 0;
}

void log_call(int argc, char** argv, const char* tool) {
  char line[line_size * 2];
  std::size_t used = 0;
  for (int i = 0; i < argc; ++i) {
    const int n = std::snprintf(line + used, sizeof line - used, "%s%s", i > 0 ? " " : "",
                                i == 0 ? tool : argv[i]);
    if (n < 0 || used + static_cast<std::size_t>(n) + 1 >= sizeof line) break;
    used += static_cast<std::size_t>(n);
  }
  line[used++] = '\n';
  char path[path_size];
  if (!state_path(path, "", "calls")) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  write_all(fd, line, used);
  close(fd);
}

// "-i IFACE COMMAND" or "-iIFACE COMMAND", as hostapd_cli and wpa_cli take them.
struct ControlCall {
  const char* iface;
  const char* command;
};

ControlCall parse_control(int argc, char** argv, const char* default_iface) {
  ControlCall call{default_iface, ""};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
      call.iface = argv[++i];
    } else if (std::strncmp(argv[i], "-i", 2) == 0) {
      call.iface = argv[i] + 2;
    } else {
      call.command = argv[i];
    }
  }
  return call;
}

// Why a program's control socket cannot be reached, when it does not run:
// null while it runs. A stopped program removed its socket; a killed one
// left it behind.
const char* unreachable(const char* program) {
  char state[line_size];
  if (!read_state("down.", program, state)) return nullptr;
  return std::strcmp(state, "killed") == 0 ? "Connection refused" : "No such file or directory";
}

// Access point control: the stations associated with the interface.
int hostapd_cli(int argc, char** argv) {
  const ControlCall call = parse_control(argc, argv, "wlan0");
  if (const char* why = unreachable("hostapd")) {
    return fail(255, {"Failed to connect to hostapd - wpa_ctrl_open: ", why});
  }
  if (std::strcmp(call.command, "all_sta") != 0)
    return fail(1, {"unknown command: ", call.command});
  const long count = read_count("stations.", call.iface);
  for (long n = 1; n <= count; ++n) {
    print("02:00:5e:00:%02lx:%02lx\nflags=[AUTH][ASSOC][AUTHORIZED][SHORT_PREAMBLE]\n", n / 256,
          n % 256);
    print("aid=%ld\ncapability=0x431\nlisten_interval=5\nsupported_rates=82 84 8b 96\n", n);
    print("timeout_next=NULLFUNC POLL\nrx_packets=12\ntx_packets=9\n");
    print("rx_bytes=1500\ntx_bytes=3200\ninactive_msec=300\nsignal=-30\n");
    print("rx_rate_info=10\ntx_rate_info=10\nconnected_time=%ld\n", n * 60);
  }
  return 0;
}

// Wi-Fi client control: whether the interface is associated, and with what.
int wpa_cli(int argc, char** argv) {
  const ControlCall call = parse_control(argc, argv, "wlan1");
  if (const char* why = unreachable("wpa_supplicant")) {
    return fail(255,
                {"Failed to connect to non-global ctrl_ifname: ", call.iface, "  error: ", why});
  }
  if (std::strcmp(call.command, "status") != 0) return fail(1, {"unknown command: ", call.command});
  char ssid[line_size];
  if (read_state("ssid.", call.iface, ssid)) {
    print("bssid=02:00:5e:10:00:01\nfreq=2437\nssid=%s\nid=0\nmode=station\n", ssid);
    print("pairwise_cipher=CCMP\ngroup_cipher=CCMP\nkey_mgmt=WPA2-PSK\n");
    print("wpa_state=COMPLETED\nip_address=192.0.2.15\n");
  } else {
    print("wpa_state=DISCONNECTED\n");
  }
  print("p2p_device_address=02:00:5e:10:00:02\naddress=02:00:5e:10:00:02\n");
  print("uuid=5e6c1c6a-7b3e-5c2a-9f0e-2d1b0a9c8d7e\n");
  return 0;
}

// The board's I/O command: "io get PIN" prints the pin's value and exits with it.
int io(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "get") != 0 || argv[2][0] == '\0') {
    return fail(2, {"usage: io get PIN"});
  }
  char value[line_size];
  if (!read_state("pin.", argv[2], value)) {
    print("unknown pin: %s\n", argv[2]);
    return 1;
  }
  print("%s\n", value);
  return static_cast<int>(std::strtol(value, nullptr, 10));
}

// IPsec status through the stroke interface.
int stroke(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "statusall") != 0) {
    return fail(1, {"unknown command: ", argc < 2 ? "" : argv[1]});
  }
  // charon leaves its socket behind even when stopped cleanly.
  if (unreachable("charon")) {
    return fail(255, {"connecting to 'unix:///var/run/charon.ctl' failed: Connection refused\n",
                      "failed to connect to stroke socket 'unix:///var/run/charon.ctl'"});
  }
  const long up = read_count("sas", "");
  print("Status of IKE charon daemon (strongSwan 5.9.8, Linux 6.1.0, aarch64):\n");
  print("  uptime: 5 minutes, since Dec 07 10:00:00 2026\n");
  print("Listening IP addresses:\n  192.0.2.1\n");
  print("Connections:\n     ipsec-1:  192.0.2.1...198.51.100.7  IKEv2\n");
  print("Security Associations (%ld up, 0 connecting):\n", up);
  for (long n = 1; n <= up; ++n) {
    print("     ipsec-1[%ld]: ESTABLISHED 4 minutes ago, 192.0.2.1[router]...198.51.100.7[peer]\n",
          n);
  }
  if (up == 0) print("  none\n");
  return 0;
}

// IPsec status through the vici interface.
int swanctl(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--list-sas") != 0) {
    return fail(1, {"unknown option: ", argc < 2 ? "" : argv[1]});
  }
  if (unreachable("charon")) {
    return fail(111, {"connecting to 'unix:///var/run/charon.vici' failed: Connection refused\n",
                      "Error: connecting to 'default' URI failed: Connection refused"});
  }
  const long up = read_count("sas", "");
  for (long n = 1; n <= up; ++n) {
    print("ipsec-%ld: #%ld, ESTABLISHED, IKEv2, 1a2b3c4d5e6f7081_i* 8192a3b4c5d6e7f8_r\n", n, n);
    print("  local  '192.0.2.1' @ 192.0.2.1[4500]\n");
    print("  remote '198.51.100.7' @ 198.51.100.7[4500]\n");
    print("  ipsec-%ld: #%ld, reqid %ld, INSTALLED, TUNNEL, ESP:AES_CBC-128/HMAC_SHA2_256_128\n", n,
          n, n);
  }
  return 0;
}

// busybox's ifconfig for one of the OpenVPN tunnels tun0 to tun3.
int ifconfig(int argc, char** argv) {
  const char* iface = argc > 1 ? argv[argc - 1] : "";
  char rx[line_size] = "";
  const bool tunnel = std::strncmp(iface, "tun", 3) == 0 && iface[3] >= '0' &&
                      iface[3] < '0' + tunnel_count && iface[4] == '\0';
  if (!tunnel || !read_state("tun.", iface + 3, rx)) {
    return fail(1,
                {"ifconfig: ", iface, ": error fetching interface information: Device not found"});
  }
  const long long bytes = std::strtoll(rx, nullptr, 10);
  print("%-9s Link encap:UNSPEC  HWaddr 00-00-00-00-00-00-00-00-00-00-00-00-00-00-00-00\n", iface);
  print("          inet addr:10.8.0.6  P-t-P:10.8.0.5  Mask:255.255.255.255\n");
  print("          UP POINTOPOINT RUNNING NOARP MULTICAST  MTU:1500  Metric:1\n");
  print("          RX packets:%lld errors:0 dropped:0 overruns:0 frame:0\n", (bytes + 1399) / 1400);
  print("          TX packets:0 errors:0 dropped:0 overruns:0 carrier:0\n");
  print("          collisions:0 txqueuelen:500\n");
  print("          RX bytes:%lld (%.1f KiB)  TX bytes:0 (0.0 B)\n", bytes,
        static_cast<double>(bytes) / 1024);
  return 0;
}

// One service's line in net-tools' netstat, which cuts "PID/program" to 19
// characters.
void socket_line(const char* local, const char* remote, const char* state, long pid,
                 const char* name) {
  char owner[64];
  if (std::snprintf(owner, sizeof owner, "%ld/%.40s", pid, name) < 0) return;
  owner[19] = '\0';
  print("tcp        0      0 %-23s %-23s %-11s %s\n", local, remote, state, owner);
}

// A service's state file: "connected" or "listening", and its PID.
bool read_service(const char* name, char* state, long& pid) {
  char line[line_size];
  if (!read_state("service.", name, line)) return false;
  char* blank = std::strchr(line, ' ');
  if (!blank) return false;
  *blank = '\0';
  std::memcpy(state, line, static_cast<std::size_t>(blank - line) + 1);
  char* end = nullptr;
  pid = std::strtol(blank + 1, &end, 10);
  return end != blank + 1;
}

// net-tools' netstat with -p, -n and -t, and -a (every socket) or -l
// (listening only), over the board's two services.
int netstat(int argc, char** argv) {
  bool all = false;
  bool listening = false;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;
    all = all || std::strchr(argv[i], 'a');
    listening = listening || std::strchr(argv[i], 'l');
  }
  const bool listening_only = listening && !all;
  print("Active Internet connections (%s)\n", all         ? "servers and established"
                                              : listening ? "only servers"
                                                          : "w/o servers");
  print(
      "Proto Recv-Q Send-Q Local Address           Foreign Address         State       "
      "PID/Program name\n");
  char state[line_size];
  long pid = 0;
  if (read_service("tessik_clientd", state, pid)) {
    if (std::strcmp(state, "connected") == 0 && !listening_only) {
      socket_line("127.0.0.1:4000", "127.0.0.1:4001", "ESTABLISHED", pid, "tessik_clientd");
    } else if (std::strcmp(state, "listening") == 0 && (all || listening)) {
      socket_line("127.0.0.1:4002", "0.0.0.0:*", "LISTEN", pid, "tessik_clientd");
    }
  }
  if (read_service("drennic", state, pid) && std::strcmp(state, "listening") == 0 &&
      (all || listening)) {
    socket_line("127.0.0.1:4003", "0.0.0.0:*", "LISTEN", pid, "drennic");
  }
  return 0;
}

struct Tool {
  const char* name;
  int (*run)(int, char**);
};

constexpr Tool tools[] = {
    {"hostapd_cli", hostapd_cli}, {"wpa_cli", wpa_cli},   {"io", io},           {"stroke", stroke},
    {"swanctl", swanctl},         {"ifconfig", ifconfig}, {"netstat", netstat},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 1) return 2;
  const char* slash = std::strrchr(argv[0], '/');
  const char* name = slash ? slash + 1 : argv[0];
  if (const char* dir = std::getenv("NORVASK_STANDIN_STATE")) state_dir = dir;
  for (const Tool& tool : tools) {
    if (std::strcmp(name, tool.name) != 0) continue;
    log_call(argc, argv, tool.name);
    const int status = tool.run(argc, argv);
    flush();
    return status;
  }
  return fail(127, {"norvask-standin: run it under the name of a command it stands in for"});
}
