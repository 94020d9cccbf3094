// The simulator's pure parts: what the board's drivers answer (the GPIO
// answer is the emulated router's too), how a syslog datagram is read, and
// how the core tells a line's backend from a refusal.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sim/board.h"
#include "sim/core.h"
#include "sim/syslog_sink.h"
#include "sim/words.h"

namespace {

TEST(SyslogMessage, ParsesWhatTheCLibrarySends) {
  struct Case {
    const char* datagram;
    int facility;
    int severity;
    const char* ident;
    long pid;
    const char* text;
  };
  const Case cases[] = {
      {"<29>Dec  7 08:46:00 norvaskd[42]: started", LOG_DAEMON >> 3, LOG_NOTICE, "norvaskd", 42,
       "started"},
      {"<27>Dec 17 18:46:00 norvaskd[7]: gpio: read error when checking support for bin0",
       LOG_DAEMON >> 3, LOG_ERR, "norvaskd", 7, "gpio: read error when checking support for bin0"},
      {"<13>Jan  1 00:00:00 tool: no pid\n", LOG_USER >> 3, LOG_NOTICE, "tool", -1, "no pid"},
      {"<29>norvaskd[3]: without a time stamp", LOG_DAEMON >> 3, LOG_NOTICE, "norvaskd", 3,
       "without a time stamp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.datagram);
    SyslogMessage message{};
    ASSERT_EQ(parse_syslog_message(c.datagram, message), 0);
    EXPECT_EQ(
        std::make_tuple(message.facility, message.severity, std::string(message.ident),
                        static_cast<long>(message.pid), std::string(message.text)),
        std::make_tuple(c.facility, c.severity, std::string(c.ident), c.pid, std::string(c.text)));
  }
}

TEST(SyslogMessage, RefusesWhatIsNotOne) {
  for (const char* datagram : {"", "started", "<29 norvaskd: x", "<>norvaskd: x",
                               "<29>norvaskd[]: x", "<29>norvaskd[1x]: x", "<29>no colon"}) {
    SyslogMessage message{};
    EXPECT_EQ(parse_syslog_message(datagram, message), -1) << datagram;
  }
}

// The codes as the driver's table has them: direction, size 0, type, number.
TEST(GpioDriver, RequestCodesAreTheDriversTable) {
  struct Case {
    std::uint32_t request;
    unsigned direction;
    unsigned type;
    unsigned number;
  };
  const Case cases[] = {
      {led1_request, _IOC_WRITE, 0x42, 3}, {led2_request, _IOC_WRITE, 0x52, 0},
      {bin0_request, _IOC_READ, 0x42, 7},  {bin1_request, _IOC_READ, 0x42, 27},
      {out0_request, _IOC_READ, 0x42, 6},  {out1_request, _IOC_READ, 0x42, 43},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::make_tuple(_IOC_DIR(c.request), _IOC_SIZE(c.request), _IOC_TYPE(c.request),
                              _IOC_NR(c.request)),
              std::make_tuple(c.direction, 0U, c.type, c.number))
        << std::hex << c.request;
  }
}

// Each answer with the event both boards report for it.
TEST(GpioDriver, AnswersAndTheirEvents) {
  struct Case {
    bool failing;
    std::uint32_t request;
    std::uint64_t arg;
    std::int64_t value;
    int error;
    const char* event;
  };
  const Case cases[] = {
      {false, led2_request, 7, 0, 0, "led 2 7"},
      {false, led1_request, 0, 0, 0, "led 1 0"},
      {false, bin0_request, 0, 1, 0, "ioctl gpio bin0 1"},
      {false, bin1_request, 0, 0, 0, "ioctl gpio bin1 0"},
      // A pin the board lacks: the same refusal on both boards, and not the
      // unbound driver's.
      {false, out1_request, 0, 0, EINVAL, "ioctl gpio error EINVAL"},
      // The serial request means nothing to the GPIO driver.
      {false, TIOCGICOUNT, 0, 0, ENOTTY, "ioctl gpio error ENOTTY"},
      // Unbound: every request refused, the write still told apart.
      {true, led1_request, 1, 0, ENODEV, "ioctl gpio led 1 1 error ENODEV"},
      {true, bin0_request, 0, 0, ENODEV, "ioctl gpio bin0 error ENODEV"},
      {true, out1_request, 0, 0, ENODEV, "ioctl gpio out1 error ENODEV"},
      {true, TIOCGICOUNT, 0, 0, ENOTTY, "ioctl gpio error ENOTTY"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.event);
    const GpioLines lines{c.failing, {1, 0, 1, -1}};
    const GpioAnswer answer = answer_gpio(lines, c.request, c.arg);
    char text[64];
    ASSERT_GT(describe_gpio(answer, text, sizeof text), 0);
    EXPECT_EQ(std::make_tuple(answer.value, answer.error, std::string(text)),
              std::make_tuple(c.value, c.error, std::string(c.event)));
  }
  // An event that does not fit is none rather than a cut one.
  char small[8];
  EXPECT_EQ(describe_gpio(answer_gpio({}, bin0_request, 0), small, sizeof small), -1);
}

TEST(Devices, EachDeviceAnswersItsOwnRequests) {
  BoardState board = initial_board();
  find_pin(board, "bin1")->value = 0;
  find_pin(board, "out1")->present = false;
  EXPECT_EQ(answer_ioctl(board, Device::Gpio, bin1_request, 0).value, 0);
  EXPECT_EQ(answer_ioctl(board, Device::Gpio, out0_request, 0).value, 1);
  EXPECT_EQ(answer_ioctl(board, Device::Gpio, out1_request, 0).error, EINVAL);
  board.gpio_fail = true;
  EXPECT_EQ(answer_ioctl(board, Device::Gpio, bin0_request, 0).error, ENODEV);
  EXPECT_EQ(answer_ioctl(board, Device::Serial0, led1_request, 1).error, ENOTTY);
  EXPECT_EQ(answer_ioctl(board, Device::None, TIOCGICOUNT, 0).error, ENOTTY);
}

TEST(Devices, SerialDriverFillsTheCounters) {
  BoardState board = initial_board();
  SerialState& ttyS1 = *find_serial(board, "ttyS1");
  ttyS1.rx = -5;
  ttyS1.tx = 2147483647;
  const IoctlAnswer answer = answer_ioctl(board, Device::Serial1, TIOCGICOUNT, 0);
  ASSERT_TRUE(answer.fills_counters);
  EXPECT_EQ(answer.counters.rx, -5);
  EXPECT_EQ(answer.counters.tx, 2147483647);
  EXPECT_EQ(answer_ioctl(board, Device::Serial0, TIOCGICOUNT, 0).counters.rx, 0);
  ttyS1.fail = true;
  const IoctlAnswer failed = answer_ioctl(board, Device::Serial1, TIOCGICOUNT, 0);
  EXPECT_FALSE(failed.fills_counters);
  EXPECT_EQ(failed.error, EIO);
}

// A backend that plays "pin" only, and refuses "pin none" itself.
int stub_pins_set = 0;
int stub_pin(const Call& c) {
  if (c.w.size() == 2 && c.w[1] == "none") return c.refuse("its pins are soldered");
  ++stub_pins_set;
  return 0;
}
constexpr Verb stub_verbs[] = {{"pin", stub_pin}};

TEST(Core, LinesGoToTheBackendOrAreRefused) {
  Backend stub{};
  stub.name = "the stub board";
  stub.verbs = stub_verbs;
  stub.verb_count = 1;
  Supervisor s{};
  s.backend = &stub;
  struct Case {
    const char* line;
    int result;
    const char* error;
  };
  const Case cases[] = {
      {"pin bin0 1", verb_done, ""},
      {"clock fast", verb_refused, "not on the stub board: the board cannot play it"},
      {"init status", verb_refused, "not on the stub board: the board cannot play it"},
      {"pin none", verb_refused, "not on the stub board: its pins are soldered"},
      {"frobnicate", verb_failed, "unknown command"},
      {"wait x", verb_failed, "usage: wait SECONDS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    double wait = -1;
    std::string error;
    EXPECT_EQ(execute_command(s, c.line, wait, error), c.result);
    EXPECT_EQ(error, c.error);
  }
  EXPECT_EQ(stub_pins_set, 1);
  double wait = 0;
  std::string error;
  EXPECT_EQ(execute_command(s, "wait 2.5", wait, error), verb_done);
  EXPECT_EQ(wait, 2.5);
}

// The words both boards read alike: what each line asks for, in the fields
// the backends act on, and the lines that are not the board's.
std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    words.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

std::string serial_read(const std::string& line) {
  Supervisor s{};
  const std::vector<std::string> words = words_of(line);
  double wait = 0;
  std::string error;
  const Call c{s, words, line, wait, error};
  SerialLine read{};
  if (read_serial(c, read) != 0) return error;
  return std::to_string(read.kind) + " " + std::to_string(read.on) + " " + std::to_string(read.in) +
         " " + std::to_string(read.out);
}

TEST(Words, SerialLinesSayWhichWayTheBytesGo) {
  const char* usage =
      "usage: serial PORT RX TX | PORT in|out BYTES | PORT fail|ok | PORT flowing on|off";
  const std::pair<const char*, std::string> cases[] = {
      {"serial ttyS0 in 100", "2 0 100 0"},   {"serial ttyS0 out 50", "2 0 0 50"},
      {"serial ttyS0 500 70", "3 0 500 70"},  {"serial ttyS0 -1 2147483647", "3 0 -1 2147483647"},
      {"serial ttyS0 fail", "0 1 0 0"},       {"serial ttyS0 ok", "0 0 0 0"},
      {"serial ttyS0 flowing on", "1 1 0 0"}, {"serial ttyS0 in 0", usage},
      {"serial ttyS0 out x", usage},          {"serial ttyS0 2147483648 0", usage},
      {"serial ttyS0 flowing", usage},
  };
  for (const auto& [line, read] : cases) EXPECT_EQ(serial_read(line), read) << line;
}

TEST(Words, ARunningServiceMayBeAnotherUsersAndOnlyStrokeLosesItsCount) {
  const char* service_usage =
      "usage: service tessik_clientd connected|listening|down | drennic listening|down [as UID]";
  const std::pair<const char*, std::string> services[] = {
      {"service drennic listening", "-1"},
      {"service drennic listening as 65534", "65534"},
      {"service tessik_clientd connected as 0", "0"},
      {"service drennic down as 65534", service_usage},
      {"service drennic listening as", service_usage},
      {"service drennic listening as -1", service_usage},
      {"service drennic listening by 65534", service_usage},
  };
  for (const auto& [line, read] : services) {
    Supervisor s{};
    double wait = 0;
    std::string error;
    long user = -2;
    const int result = read_service({s, words_of(line), line, wait, error}, user);
    EXPECT_EQ(result == 0 ? std::to_string(user) : error, read) << line;
  }
  const std::pair<const char*, bool> tools[] = {
      {"tool stroke no-count", true},   {"tool stroke garbage", true},
      {"tool swanctl no-count", false}, {"tool netstat no-count", false},
      {"tool stroke none", false},
  };
  for (const auto& [line, valid] : tools) {
    Supervisor s{};
    double wait = 0;
    std::string error;
    EXPECT_EQ(read_tool({s, words_of(line), line, wait, error}) == 0, valid) << line;
  }
}

TEST(Words, OnlyAccessPointsHaveStations) {
  Supervisor s{};
  double wait = 0;
  std::string error;
  int index = -1;
  long count = -1;
  const BoardState board = initial_board();
  const std::vector<std::string> ap = {"stations", "wlan02", "2"};
  EXPECT_EQ(read_stations({s, ap, "", wait, error}, board, index, count), 0);
  EXPECT_EQ(std::make_pair(index, count), std::make_pair(1, 2L));
  const std::vector<std::string> client = {"stations", "wlan1", "1"};
  EXPECT_EQ(read_stations({s, client, "", wait, error}, board, index, count), verb_failed);
  EXPECT_EQ(error, "usage: stations wlan0|wlan02 COUNT");
  // The client carries traffic all the same.
  const std::vector<std::string> traffic = {"traffic", "wlan1", "on"};
  bool on = false;
  EXPECT_EQ(read_traffic({s, traffic, "", wait, error}, board, index, on), 0);
  EXPECT_EQ(std::make_pair(index, on), std::make_pair(static_cast<int>(wifi_client_slot), true));
}

// `line` read as the board reads an `iface` line: 0 or verb_failed.
int read_iface_line(const std::string& line, IfaceLine& got) {
  Supervisor s{};
  double wait = 0;
  std::string error;
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return read_iface({s, words, line, wait, error}, initial_board(), got);
}

// The board's radios named as other firmware names them: names the kernel
// takes, each once, none the other role's, one to four access points.
TEST(Words, RadiosNamedAnew) {
  const struct {
    const char* line;
    IfaceLine::Kind kind;
    std::size_t names;
  } cases[] = {
      {"iface ap phy0-ap0", IfaceLine::AccessPoints, 1},
      {"iface ap phy0-ap0 phy1-ap0 phy0-ap1 wlan0-1", IfaceLine::AccessPoints, 4},
      {"iface ap a;b $(x) ' `x`", IfaceLine::AccessPoints, 4},
      {"iface ap wlan0 wlan02", IfaceLine::AccessPoints, 2},
      {"iface client phy0-sta0", IfaceLine::Client, 1},
      {"iface wlan02 off", IfaceLine::Switch, 0},
  };
  for (const auto& c : cases) {
    IfaceLine got{};
    EXPECT_EQ(read_iface_line(c.line, got), 0) << c.line;
    EXPECT_EQ(got.kind, c.kind) << c.line;
    EXPECT_EQ(got.names.size(), c.names) << c.line;
  }
}

TEST(Words, RadioNamesTheBoardCannotTake) {
  for (const char* line : {"iface ap", "iface ap a b c d e", "iface ap a/b", "iface ap a:b",
                           "iface ap abcdefghijklmnop", "iface ap . x", "iface ap x x",
                           "iface ap wlan1", "iface client wlan0", "iface client a b",
                           "iface ap client", "iface phy0-ap0 on", "iface wlan0 maybe"}) {
    IfaceLine got{};
    EXPECT_EQ(read_iface_line(line, got), verb_failed) << line;
  }
}

}  // namespace
