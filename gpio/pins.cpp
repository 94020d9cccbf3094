#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "exec/exec.h"
#include "gpio/gpio_internal.h"

const char* io_command_path = "/usr/bin/io";
PinSeen* pin_seen = nullptr;

namespace {

// Every pin the board may have; only bin0, bin1, out0 and out1 are read.
std::array<PinEntry, 6> pin_table{{
    {"bin0", PinSupport::Unknown},
    {"bin1", PinSupport::Unknown},
    {"bin2", PinSupport::Unknown},
    {"bin3", PinSupport::Unknown},
    {"out0", PinSupport::Unknown},
    {"out1", PinSupport::Unknown},
}};

struct PinRead {
  std::size_t entry;
  std::uint32_t request;
};

constexpr std::array<PinRead, 4> pin_reads{{
    {0, bin0_request},
    {1, bin1_request},
    {4, out0_request},
    {5, out1_request},
}};

const PinRead& pin_read(Pin pin) { return pin_reads[static_cast<std::size_t>(pin)]; }

}  // namespace

PinEntry& pin_entry(Pin pin) { return pin_table[pin_read(pin).entry]; }

void pins_forget_support() {
  for (PinEntry& entry : pin_table) entry.support = PinSupport::Unknown;
}

int pin_support_answer(PinEntry& entry, std::size_t got, char first, int status) {
  if (got == 0 || (first != '0' && first != '1')) {
    entry.support = PinSupport::Unsupported;
    return -1;
  }
  entry.support = PinSupport::Supported;
  return (status >> 8) & 0xff;
}

int probe_pin_support(PinEntry& entry) {
  // Non-blocking both ways: a command that floods the pipe cannot stall on it
  // while we wait for it, and a grandchild holding it cannot stall our read.
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    syslog(LOG_ERR, "gpio: cannot create pipe when checking support for %s", entry.name);
    return -1;
  }
  // The runner owns the write end from here and closes it after the fork,
  // so the read below ends when the child does.
  set_child_stdout(pipe_fds[1]);
  const int status = run_command(io_command_path, "get", entry.name, nullptr);
  char first = 0;
  const ssize_t got = read(pipe_fds[0], &first, 1);
  close(pipe_fds[0]);
  if (got < 0) {
    syslog(LOG_ERR, "gpio: read error when checking support for %s", entry.name);
    return -1;
  }
  return pin_support_answer(entry, static_cast<std::size_t>(got), first, status);
}

std::uint32_t read_pin(Pin pin) {
  PinEntry& entry = pin_entry(pin);
  int value = 0;
  switch (entry.support) {
    case PinSupport::Supported:
      value = gpio_ioctl(pin_read(pin).request, 0);
      break;
    case PinSupport::Unsupported:
      return 0;
    case PinSupport::Unknown:
      value = probe_pin_support(entry);
      break;
  }
  if (pin_seen) *pin_seen = {value, value < 0 ? errno : 0};
  return value < 0 ? 0 : static_cast<std::uint32_t>(value);
}
