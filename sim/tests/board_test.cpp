// The simulator's pure parts: what the board's drivers answer, and how a
// syslog datagram is read.
#include <gtest/gtest.h>
#include <syslog.h>

#include <cerrno>
#include <string>
#include <tuple>

#include "sim/board.h"
#include "sim/syslog_sink.h"

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

TEST(Devices, GpioAnswersLedWritesAndPinReads) {
  BoardState board = initial_board();
  find_pin(board, "bin1")->value = 0;
  find_pin(board, "out1")->present = false;

  const IoctlAnswer led = answer_ioctl(board, Device::Gpio, request_led2, 7);
  EXPECT_EQ(led.led, 2);
  EXPECT_EQ(led.led_value, 7U);
  EXPECT_EQ(led.error, 0);

  const IoctlAnswer bin1 = answer_ioctl(board, Device::Gpio, request_bin1, 0);
  ASSERT_NE(bin1.pin, nullptr);
  EXPECT_STREQ(bin1.pin->name, "bin1");
  EXPECT_EQ(bin1.value, 0);
  EXPECT_EQ(answer_ioctl(board, Device::Gpio, request_out0, 0).value, 1);
  EXPECT_EQ(answer_ioctl(board, Device::Gpio, request_out1, 0).error, EINVAL);
  // The serial request means nothing to the GPIO driver, and the other way round.
  EXPECT_EQ(answer_ioctl(board, Device::Gpio, request_icount, 0).error, ENOTTY);
  EXPECT_EQ(answer_ioctl(board, Device::Serial0, request_led1, 1).error, ENOTTY);
}

TEST(Devices, UnboundGpioDriverRefusesEverything) {
  BoardState board = initial_board();
  board.gpio_fail = true;
  // The write is still told apart, so that a refused one can be reported.
  const IoctlAnswer led = answer_ioctl(board, Device::Gpio, request_led1, 1);
  EXPECT_EQ(led.error, ENODEV);
  EXPECT_EQ(led.led, 1);
  const IoctlAnswer bin0 = answer_ioctl(board, Device::Gpio, request_bin0, 0);
  EXPECT_EQ(bin0.error, ENODEV);
  ASSERT_NE(bin0.pin, nullptr);
  EXPECT_STREQ(bin0.pin->name, "bin0");
  find_pin(board, "out1")->present = false;
  EXPECT_EQ(answer_ioctl(board, Device::Gpio, request_out1, 0).error, ENODEV);
  EXPECT_EQ(answer_ioctl(board, Device::Gpio, request_icount, 0).error, ENOTTY);
}

TEST(Devices, SerialDriverFillsTheCounters) {
  BoardState board = initial_board();
  SerialState& ttyS1 = *find_serial(board, "ttyS1");
  ttyS1.rx = -5;
  ttyS1.tx = 2147483647;
  const IoctlAnswer answer = answer_ioctl(board, Device::Serial1, request_icount, 0);
  ASSERT_TRUE(answer.fills_counters);
  EXPECT_EQ(answer.counters.rx, -5);
  EXPECT_EQ(answer.counters.tx, 2147483647);
  EXPECT_EQ(answer_ioctl(board, Device::Serial0, request_icount, 0).counters.rx, 0);
  ttyS1.fail = true;
  const IoctlAnswer failed = answer_ioctl(board, Device::Serial1, request_icount, 0);
  EXPECT_FALSE(failed.fills_counters);
  EXPECT_EQ(failed.error, EIO);
}

}  // namespace
