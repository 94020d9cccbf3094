// The CGI program behind the owner's page: what a request may do, and the
// pieces that carry it out (the token, the settings rewrite, the restart).
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// The CGI variables the web server passed; null when not set.
struct CgiRequest {
  const char* method;
  const char* path_info;
  const char* query;
  const char* content_type;
  const char* content_length;
  const char* remote_user;
  const char* host;
  const char* origin;
  const char* referer;
  const char* fetch_site;  // Sec-Fetch-Site
};

enum class Route : std::uint8_t { None, Status, Modes, Token, Preview, Settings };

// Why a request is not answered with 200; status 0: it is.
struct Refusal {
  int status;
  const char* error;  // in words, for the owner
  const char* field;  // the field at fault, or null
  const char* allow;  // the methods a 405 allows
};

// The largest body read; one longer is refused unread where its length is told.
inline constexpr std::size_t body_limit = 1024;
// A body whose length the server did not say.
inline constexpr long body_length_unknown = -1;
// How long the body may take to arrive, all of it.
inline constexpr int body_seconds = 10;

[[nodiscard]] CgiRequest request_from_environment();

// Everything that can be decided before the body is read: authentication,
// route, method, and for a write its Origin/Referer, content type and size.
// Sets `route`, and `body_length` for a write.
[[nodiscard]] Refusal check_request(const CgiRequest& request, Route& route, long& body_length);

// Whether an Origin or Referer value names `host` ("host[:port]").
[[nodiscard]] bool names_host(const char* url, const char* host);

// The query of GET /preview: mode=N, N a whole number from 0 to 17.
[[nodiscard]] Refusal parse_preview_query(const char* query, std::uint32_t& mode);

inline constexpr std::size_t token_hex_size = 64;
using TokenText = std::array<char, token_hex_size + 1>;

// The body of POST /settings: {"led1":N,"led2":M,"token":"T"}.
struct SettingsBody {
  std::uint32_t led1;
  std::uint32_t led2;
  TokenText token;  // as sent, when it is at most 64 characters
  bool token_fits;  // false: longer, so it cannot match
};
[[nodiscard]] Refusal parse_settings_body(const char* body, std::size_t length, SettingsBody& out);

// ---- SHA-256 and HMAC-SHA-256 ----

inline constexpr std::size_t sha256_size = 32;
using Digest = std::array<std::uint8_t, sha256_size>;

struct Sha256 {
  std::array<std::uint32_t, 8> state;
  std::array<std::uint8_t, 64> block;
  std::uint64_t length;  // bytes hashed so far
};
void sha256_start(Sha256& hash);
void sha256_add(Sha256& hash, const void* data, std::size_t size);
[[nodiscard]] Digest sha256_finish(Sha256& hash);
[[nodiscard]] Digest hmac_sha256(const void* key, std::size_t key_size, const void* data,
                                 std::size_t size);

// ---- the token ----

// The secret the token is keyed with: root's alone, made on first use.
extern const char* web_key_path;
inline constexpr std::size_t web_key_size = 32;

// The token of `user`: the hex HMAC of the name under the secret. 0, or -1
// with `why` saying what is wrong with the secret file.
int token_for(const char* user, TokenText& token, const char*& why);

// Equal in time that does not depend on where they differ.
[[nodiscard]] bool same_token(const char* a, const char* b);

// ---- the settings file ----

struct LedChange {
  const char* key;
  std::uint32_t value;
};

// The step of a rewrite that tests make fail; None in use.
enum class RewriteStep : std::uint8_t {
  None,
  Lock,
  Read,
  Create,
  Write,
  Sync,
  Owner,
  Rename,
  SyncDirectory
};
extern RewriteStep rewrite_failing_step;

// Sets each key on the line the daemon reads it from, leaving every other
// byte as it is, or appends it; through a temporary file renamed over the
// old one. 0, or an errno value with `why` naming the step that failed, the
// file then exactly as it was.
int rewrite_settings(const char* path, const LedChange* changes, std::size_t count,
                     const char*& why);

// The folder part of `path` into `dir` ("." for a bare name, "/" for a name
// in the root); returns the name part.
const char* split_path(const char* path, char* dir, std::size_t cap);

// Removes from the folder open on `dir` the regular files of our own user
// whose names `stale` accepts, for the file `name` there. unlinkat removes a
// name and follows nothing: a link, a folder or another user's file stays.
void remove_own_files(int dir, const char* name,
                      bool (*stale)(const char* entry, const char* name));

// Removes what writers killed before their rename left beside the settings
// file at `path`, unless a writer is at work (it takes the writers' lock
// without waiting); a rewrite does the same once it holds the lock.
void remove_stale_settings_files(const char* path);

// ---- the restart ----

extern const char* init_script_path;
// The commands' search path when the web server gives none.
inline constexpr const char* default_path = "/usr/sbin:/usr/bin:/sbin:/bin";
// Runs the start script with "restart": its exit status, or -1 (errno set).
int restart_daemon();
