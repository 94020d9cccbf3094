// The pin support check on arbitrary answers of the board's I/O command. The
// first four bytes are a wait status and the rest is what the command
// printed: the verdict alone sees them as they are, and the whole check runs
// a stand-in command that prints the rest and exits with the status's code.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "gpio/gpio_internal.h"

namespace {

bool names_a_value(const std::uint8_t* answer, std::size_t size) {
  return size > 0 && (answer[0] == '0' || answer[0] == '1');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const InputFile output("answer");
  static const InputFile command("io");
  int status = 0;
  std::memcpy(&status, data, std::min(size, sizeof status));
  const std::uint8_t* answer = data + std::min(size, sizeof status);
  const std::size_t answer_size = size - static_cast<std::size_t>(answer - data);
  const bool supported = names_a_value(answer, answer_size);

  PinEntry entry{"bin0", PinSupport::Unknown};
  const int verdict =
      pin_support_answer(entry, answer_size > 0 ? 1 : 0,
                         answer_size > 0 ? static_cast<char>(answer[0]) : '\0', status);
  fuzz_check(verdict == (supported ? (status >> 8) & 0xff : -1), "verdict");
  fuzz_check(entry.support == (supported ? PinSupport::Supported : PinSupport::Unsupported),
             "support after the verdict");

  const auto code = static_cast<std::uint8_t>(status >> 8);
  output.fill(answer, answer_size);
  const std::string script =
      std::string("#!/bin/sh\ncat '") + output.path() + "'\nexit " + std::to_string(code) + "\n";
  command.fill(script.data(), script.size(), 0700);
  io_command_path = command.path();
  entry.support = PinSupport::Unknown;
  const int value = probe_pin_support(entry);
  fuzz_check(value == (supported ? code : -1), "the check's answer");
  fuzz_check(entry.support == (supported ? PinSupport::Supported : PinSupport::Unsupported),
             "support after the check");
  return 0;
}
