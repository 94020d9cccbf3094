#include "sim/devices.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "sim/events.h"
#include "sim/served_leds.h"

#if defined(__x86_64__)
constexpr std::uint32_t filter_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t filter_arch = AUDIT_ARCH_AARCH64;
#else
#error "the device filter knows x86_64 and aarch64 only"
#endif

namespace {

// The low 32 bits of argument `n`: the kernel takes an ioctl's request and
// an open's flags as 32-bit values.
constexpr std::uint32_t argument_offset(std::size_t n) {
  return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + n * sizeof(std::uint64_t) +
                                    (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0));
}

// An open whose flags (argument `flags_at`) ask for writing goes to the board.
void notify_open_for_writing(std::vector<sock_filter>& code, std::vector<std::size_t>& to_notify,
                             std::vector<std::size_t>& to_allow, std::uint32_t nr,
                             std::size_t flags_at) {
  code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 2));
  code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argument_offset(flags_at)));
  to_notify.push_back(code.size());
  to_allow.push_back(code.size());
  code.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_WRONLY | O_RDWR, 0, 0));
}

std::vector<sock_filter> build_filter(bool class_leds) {
  std::vector<sock_filter> code;
  std::vector<std::size_t> to_allow;
  std::vector<std::size_t> to_notify;
  code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  to_allow.push_back(code.size());
  code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, filter_arch, 0, 0));
  code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  // Sleeps on every clock: the daemon's tick-ending one is reported.
#ifdef __NR_nanosleep
  to_notify.push_back(code.size());
  code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_nanosleep, 0, 0));
#endif
  to_notify.push_back(code.size());
  code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clock_nanosleep, 0, 0));
  if (class_leds) {
    for (const long nr : {__NR_pread64, __NR_pwrite64}) {
      to_notify.push_back(code.size());
      code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(nr), 0, 0));
    }
    notify_open_for_writing(code, to_notify, to_allow, __NR_openat, 2);
#ifdef __NR_open
    // The accumulator holds the flags now: load the number again.
    code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    notify_open_for_writing(code, to_notify, to_allow, __NR_open, 1);
#endif
    code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  }
  to_allow.push_back(code.size());
  code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 0));
  code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argument_offset(1)));
  for (const std::uint32_t request : board_requests) {
    to_notify.push_back(code.size());
    code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, request, 0, 0));
  }
  const std::size_t allow = code.size();
  code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const std::size_t notify = code.size();
  code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF));
  // The architecture, ioctl and open tests fall through on a match and jump
  // to "allow" otherwise; the request, sleep, file call and open flags tests
  // jump to "notify" on a match.
  for (const std::size_t at : to_allow) code[at].jf = static_cast<std::uint8_t>(allow - at - 1);
  for (const std::size_t at : to_notify) code[at].jt = static_cast<std::uint8_t>(notify - at - 1);
  return code;
}

Device identify(const DeviceFiles& files, pid_t pid, int fd) {
  const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  struct stat st {};
  if (stat(link.c_str(), &st) != 0) return Device::None;
  for (const DeviceFiles::Entry& entry : files.entries) {
    if (entry.dev == st.st_dev && entry.ino == st.st_ino) return entry.device;
  }
  return Device::None;
}

bool still_waiting(int listener, std::uint64_t id) {
  return ioctl(listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &id) == 0;
}

// Through /proc/<pid>/mem, opened before the validity check: the descriptor
// stays bound to the process that asked even if its PID were reused.
int write_target_memory(int listener, std::uint64_t id, pid_t pid, std::uint64_t address,
                        const void* data, std::size_t size) {
  const std::string path = "/proc/" + std::to_string(pid) + "/mem";
  const int mem = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (mem < 0) return -1;
  int result = -1;
  if (still_waiting(listener, id) &&
      pwrite(mem, data, size, static_cast<off_t>(address)) == static_cast<ssize_t>(size)) {
    result = 0;
  }
  close(mem);
  return result;
}

}  // namespace

ssize_t read_target_memory(int listener, std::uint64_t id, pid_t pid, std::uint64_t address,
                           void* data, std::size_t size) {
  const std::string path = "/proc/" + std::to_string(pid) + "/mem";
  const int mem = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (mem < 0) return -1;
  const ssize_t n =
      still_waiting(listener, id) ? pread(mem, data, size, static_cast<off_t>(address)) : -1;
  close(mem);
  return n;
}

namespace {

// One event per call the daemon saw answered.
void report_call(double when, Device device, const IoctlAnswer& answer) {
  if (device == Device::Gpio) {
    char text[64];
    if (describe_gpio(answer.gpio, text, sizeof text) > 0) emit_at(when, text);
    return;
  }
  const std::string text = std::string("ioctl ") + device_name(device) + " ";
  if (answer.error) {
    emit_at(when, text + "error " + strerrorname_np(answer.error));
  } else {
    emit_at(when, text + "icount " + std::to_string(answer.counters.rx) + " " +
                      std::to_string(answer.counters.tx));
  }
}

// The seconds a sleep asks for, read from the sleeper's memory; -1 when
// unknown or when it sleeps until a point in time.
long requested_seconds(pid_t pid, const seccomp_data& call) {
  std::uint64_t address = call.args[2];  // clock_nanosleep(clock, flags, request, remaining)
#ifdef __NR_nanosleep
  if (call.nr == __NR_nanosleep) address = call.args[0];
#endif
  if (call.nr == __NR_clock_nanosleep && (call.args[1] & TIMER_ABSTIME)) return -1;
  const std::string path = "/proc/" + std::to_string(pid) + "/mem";
  const int mem = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (mem < 0) return -1;
  timespec request{};
  const bool read_all = pread(mem, &request, sizeof request, static_cast<off_t>(address)) ==
                        static_cast<ssize_t>(sizeof request);
  close(mem);
  return read_all ? request.tv_sec : -1;
}

bool runs_file(pid_t pid, const FileId& file) {
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  struct stat st {};
  return stat(exe.c_str(), &st) == 0 && st.st_dev == file.dev && st.st_ino == file.ino;
}

int answer_sleep(int listener, std::uint64_t id) {
  seccomp_notif_resp response{};
  response.id = id;
  return ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response) == 0 ? 0 : -1;
}

// A sleep: the daemon's own end at once on a fast clock; every other
// process's sleep runs as it would. The daemon's sleep of a second or more
// ends its tick: that one is reported, and held on a stepping clock.
void serve_sleep(int listener, const seccomp_notif& request, seccomp_notif_resp& response,
                 double when, bool daemons, bool clock_fast, SleepGate* gate) {
  const auto pid = static_cast<pid_t>(request.pid);
  const bool tick_ends = daemons && requested_seconds(pid, request.data) >= 1;
  if (tick_ends && gate && gate->stepping && still_waiting(listener, request.id)) {
    if (gate->credit == 0) {
      // Held already: a signal interrupted it and the daemon asks again.
      if (!gate->held) emit_at(when, "asleep");
      gate->held = true;
      gate->id = request.id;
      return;
    }
    --gate->credit;
  } else if (!clock_fast || !daemons) {
    response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
  }
  // Once the daemon has the answer: a sleep interrupted before that is
  // asked for again, and reported then.
  if (ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response) == 0 && tick_ends) {
    emit_at(when, "asleep");
  }
}

struct NotifSizes {
  std::size_t request;
  std::size_t response;
};

NotifSizes notification_sizes() {
  seccomp_notif_sizes sizes{};
  if (syscall(SYS_seccomp, SECCOMP_GET_NOTIF_SIZES, 0, &sizes) != 0) {
    return {sizeof(seccomp_notif), sizeof(seccomp_notif_resp)};
  }
  return {sizes.seccomp_notif < sizeof(seccomp_notif) ? sizeof(seccomp_notif) : sizes.seccomp_notif,
          sizes.seccomp_notif_resp < sizeof(seccomp_notif_resp) ? sizeof(seccomp_notif_resp)
                                                                : sizes.seccomp_notif_resp};
}

}  // namespace

int remember_device_file(DeviceFiles& files, Device device, const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  files.entries.push_back({device, st.st_dev, st.st_ino});
  return 0;
}

void release_sleep(int listener, SleepGate& gate) {
  // A held sleep that a signal interrupted is asked for again: that one ends.
  if (!gate.held || answer_sleep(listener, gate.id) != 0) ++gate.credit;
  gate.held = false;
}

int install_device_filter(bool class_leds) {
  std::vector<sock_filter> code = build_filter(class_leds);
  sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
  // Once we have a call, only a fatal signal may cut the daemon's wait short:
  // a call interrupted after our answer would be restarted and answered (and
  // reported) twice. Kernels before 5.19 lack the flag.
  const long listener =
      syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
              SECCOMP_FILTER_FLAG_NEW_LISTENER | SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV, &program);
  if (listener >= 0 || errno != EINVAL) return static_cast<int>(listener);
  return static_cast<int>(
      syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
}

int serve_notification(int listener, const BoardState& board, const DeviceFiles& files,
                       pid_t daemon_pid, bool clock_fast, SleepGate* gate,
                       const FileId* daemon_file) {
  static const NotifSizes sizes = notification_sizes();
  std::vector<unsigned char> request_buf(sizes.request, 0);
  std::vector<unsigned char> response_buf(sizes.response, 0);
  auto* request = reinterpret_cast<seccomp_notif*>(request_buf.data());
  auto* response = reinterpret_cast<seccomp_notif_resp*>(response_buf.data());
  if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, request) != 0) {
    // The asking process was killed or its call interrupted before we looked.
    return errno == ENOENT || errno == EINTR ? 0 : -1;
  }
  const double when = board_clock();
  response->id = request->id;
  const seccomp_data& call = request->data;
  if (is_led_file_call(call.nr)) {
    serve_led_file_call(listener, *request, when);
    return 0;
  }
  if (call.nr != __NR_ioctl) {
    const auto pid = static_cast<pid_t>(request->pid);
    const bool daemons = pid == daemon_pid || (daemon_file && runs_file(pid, *daemon_file));
    serve_sleep(listener, *request, *response, when, daemons, clock_fast, gate);
    return 0;
  }
  const auto pid = static_cast<pid_t>(request->pid);
  const Device device = identify(files, pid, static_cast<int>(call.args[0]));
  if (!still_waiting(listener, request->id)) return 0;
  if (device == Device::None) {
    // Not one of the board's devices: the kernel answers as usual.
    response->flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, response);
    return 0;
  }
  IoctlAnswer answer =
      answer_ioctl(board, device, static_cast<std::uint32_t>(call.args[1]), call.args[2]);
  if (answer.fills_counters && write_target_memory(listener, request->id, pid, call.args[2],
                                                   &answer.counters, sizeof answer.counters) != 0) {
    answer.error = EFAULT;
  }
  response->val = answer.error ? 0 : answer.value;
  response->error = answer.error ? -answer.error : 0;
  // An interrupted call is restarted and asks again: only an answer the
  // daemon received is reported.
  if (ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, response) != 0) return 0;
  report_call(when, device, answer);
  return 0;
}

namespace {
// One byte with room for one descriptor beside it.
struct DescriptorMessage {
  char byte = 'l';
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};

  DescriptorMessage() {
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
  }
  DescriptorMessage(const DescriptorMessage&) = delete;
  DescriptorMessage& operator=(const DescriptorMessage&) = delete;
};
}  // namespace

int send_descriptor(int socket_fd, int fd) {
  DescriptorMessage sent;
  cmsghdr* c = CMSG_FIRSTHDR(&sent.message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
  return sendmsg(socket_fd, &sent.message, 0) == 1 ? 0 : -1;
}

int receive_listener(int fd) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, 5000) != 1) return -1;
  DescriptorMessage received;
  if (recvmsg(fd, &received.message, MSG_CMSG_CLOEXEC) != 1) return -1;
  const cmsghdr* c = CMSG_FIRSTHDR(&received.message);
  if (!c || c->cmsg_type != SCM_RIGHTS) return -1;
  int listener = -1;
  std::memcpy(&listener, CMSG_DATA(c), sizeof(int));
  return listener;
}

int filter_child(int report_fd, bool class_leds) {
  const int listener = install_device_filter(class_leds);
  if (listener < 0 || send_descriptor(report_fd, listener) != 0) return -1;
  close(listener);
  return 0;
}

void keep_job_filter(JobFilters& jobs, int listener) {
  if (listener < 0) return;
  if (jobs.listeners.size() >= job_filter_max) {
    close(jobs.listeners.front());
    jobs.listeners.erase(jobs.listeners.begin());
  }
  jobs.listeners.push_back(listener);
}

void keep_server_filter(JobFilters& jobs, int listener) {
  keep_job_filter(jobs, jobs.server);
  jobs.server = listener;
}

std::size_t job_filter_fds(const JobFilters& jobs, pollfd* fds) {
  fds[0] = {jobs.server, POLLIN, 0};
  for (std::size_t i = 0; i < jobs.listeners.size(); ++i) {
    fds[1 + i] = {jobs.listeners[i], POLLIN, 0};
  }
  return 1 + jobs.listeners.size();
}

void serve_job_filter(int& listener, short revents, const BoardState& board,
                      const DeviceFiles& files, pid_t daemon_pid, bool clock_fast,
                      const FileId* daemon_file) {
  if (revents & POLLIN) {
    serve_notification(listener, board, files, daemon_pid, clock_fast, nullptr, daemon_file);
  } else if (listener >= 0 && (revents & (POLLHUP | POLLERR))) {
    close(listener);  // everyone under it has ended
    listener = -1;
  }
}

void serve_job_filters(JobFilters& jobs, const pollfd* fds, const BoardState& board,
                       const DeviceFiles& files, pid_t daemon_pid, bool clock_fast) {
  serve_job_filter(jobs.server, fds[0].revents, board, files, daemon_pid, clock_fast);
  for (std::size_t i = 0; i < jobs.listeners.size(); ++i) {
    serve_job_filter(jobs.listeners[i], fds[1 + i].revents, board, files, daemon_pid, clock_fast);
  }
  std::erase(jobs.listeners, -1);
}
