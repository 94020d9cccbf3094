// The settings rewrite on arbitrary files: what it writes, the daemon's
// reader reads back as the new modes, a second rewrite with the same modes
// changes nothing, and a file it refuses is left byte for byte.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzz/fuzz_util.h"
#include "settings/settings_internal.h"
#include "status/status.h"
#include "web/cgi/cgi.h"

namespace {

std::string contents(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int rewrite(const char* path, std::uint32_t led1, std::uint32_t led2) {
  const LedChange changes[] = {{"MOD_NORVASK_MODE", led1}, {"MOD_NORVASK_MODE2", led2}};
  const char* why = nullptr;
  return rewrite_settings(path, changes, 2, why);
}

}  // namespace

// The first two bytes choose the modes (0 to 17); the rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const InputFile file("settings");
  if (size < 2) return 0;
  const std::uint32_t led1 = data[0] % (last_mode + 1);
  const std::uint32_t led2 = data[1] % (last_mode + 1);
  file.fill(data + 2, size - 2, 0644);
  const std::string before(reinterpret_cast<const char*>(data + 2), size - 2);

  const int error = rewrite(file.path(), led1, led2);
  const std::string after = contents(file.path());
  if (error != 0) {
    // The one refusal a plain file can meet: a value that would move a key
    // out of the daemon's sight in a line longer than its buffer.
    fuzz_check(error == EINVAL, "a rewrite failed other than by refusing");
    fuzz_check(after == before, "a refused rewrite changed the file");
    return 0;
  }
  settings_path = file.path();
  LedSettings read{};
  fuzz_check(read_settings(read) == 0, "the new file cannot be read");
  fuzz_check(read.mode1 == led1 && read.mode2 == led2, "the daemon reads other modes");
  // At most two appended lines with a line ending before them.
  fuzz_check(after.size() <= before.size() + 2 + 2 * std::strlen("MOD_NORVASK_MODE2=17\r\n"),
             "the file grew by more than two lines");
  fuzz_check(rewrite(file.path(), led1, led2) == 0 && contents(file.path()) == after,
             "a second rewrite with the same modes changed the file");
  return 0;
}
