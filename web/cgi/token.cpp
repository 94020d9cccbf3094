#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "web/cgi/cgi.h"

const char* web_key_path = "/opt/norvask/etc/web.key";

namespace {

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A new secret under a temporary name, linked to its place only when it is
// complete: a request at the same time reads a whole key or none, and of
// two first requests the one that links first wins.
int make_key() {
  std::array<std::uint8_t, web_key_size> key{};
  std::size_t got = 0;
  while (got < key.size()) {
    const ssize_t n = getrandom(key.data() + got, key.size() - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    got += static_cast<std::size_t>(n);
  }
  char temporary[512];
  const int length = std::snprintf(temporary, sizeof temporary, "%s.XXXXXX", web_key_path);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof temporary) return -1;
  // mkostemp makes a new file, mode 0600, or fails: nothing there is followed.
  const int fd = mkostemp(temporary, O_CLOEXEC);
  if (fd < 0) return -1;
  const bool written = write_all(fd, key.data(), key.size()) && fsync(fd) == 0;
  explicit_bzero(key.data(), key.size());
  close(fd);
  // Losing the race (EEXIST) is fine: the winner's key is read.
  const bool linked = written && (link(temporary, web_key_path) == 0 || errno == EEXIST);
  unlink(temporary);
  return linked ? 0 : -1;
}

// mkostemp's names for a new secret: "web.key." and six letters or digits.
bool key_temporary_name(const char* entry, const char* name) {
  const std::size_t length = std::strlen(name);
  if (std::strncmp(entry, name, length) != 0 || entry[length] != '.') return false;
  const char* suffix = entry + length + 1;
  return std::strlen(suffix) == 6 &&
         std::strspn(suffix, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789") == 6;
}

// A request killed while it made the secret leaves its new file beside it.
// Called once the secret exists: a maker at work then either has linked
// already or will lose the race and read this one, so removing its file
// costs it nothing.
void remove_stale_key_files() {
  char dir_path[4096];
  const char* name = split_path(web_key_path, dir_path, sizeof dir_path);
  const int dir = open(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  remove_own_files(dir, name, key_temporary_name);
  close(dir);
}

// Reads the secret when the file is one only we could have written and only
// we can read; anything else there is not trusted.
int read_key(std::array<std::uint8_t, web_key_size>& key, const char*& why) {
  int fd = open(web_key_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    // Whether this one made it or another request did, it is read below.
    (void)make_key();
    fd = open(web_key_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }
  if (fd < 0) {
    why = errno == ELOOP ? "the token's secret file is a symbolic link: not trusted"
                         : "the token's secret file cannot be read or made";
    return -1;
  }
  struct stat st {};
  int result = -1;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "the token's secret file is not a regular file: not trusted";
  } else if (st.st_uid != geteuid() || (st.st_mode & 077) != 0 || st.st_nlink != 1) {
    why = "the token's secret file is not ours alone (owner, mode 0600, one name): not trusted";
  } else if (st.st_size != static_cast<off_t>(web_key_size) ||
             read(fd, key.data(), key.size()) != static_cast<ssize_t>(key.size())) {
    why = "the token's secret file does not hold a key: not trusted";
  } else {
    result = 0;
  }
  close(fd);
  if (result == 0) remove_stale_key_files();
  return result;
}

}  // namespace

int token_for(const char* user, TokenText& token, const char*& why) {
  std::array<std::uint8_t, web_key_size> key{};
  if (read_key(key, why) != 0) return -1;
  const Digest digest = hmac_sha256(key.data(), key.size(), user, std::strlen(user));
  explicit_bzero(key.data(), key.size());
  constexpr const char hex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < digest.size(); ++i) {
    token[2 * i] = hex[digest[i] >> 4];
    token[2 * i + 1] = hex[digest[i] & 15];
  }
  token.back() = '\0';
  return 0;
}

bool same_token(const char* a, const char* b) {
  const std::size_t length = std::strlen(a);
  // The length is no secret: every token has 64 characters.
  if (length != std::strlen(b)) return false;
  unsigned difference = 0;
  for (std::size_t i = 0; i < length; ++i) {
    difference |=
        static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]));
  }
  return difference == 0;
}
