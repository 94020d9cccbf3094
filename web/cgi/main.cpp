// The CGI program behind the owner's page: the LEDs' status, the modes, a
// preview of one, and writing both modes (cgi-bin/norvask/<route>).
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "settings/settings_internal.h"
#include "status/status.h"
#include "status/status_internal.h"
#include "web/cgi/cgi.h"

namespace {

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 413:
      return "Content Too Large";
    default:
      break;
  }
  return "Internal Server Error";
}

// The header; Status comes first, where a web server that turns it into
// its status line (busybox httpd) looks for it. Lines end in CRLF, as the
// server may pass them on as they are.
void headers(int status, const char* allow = nullptr) {
  if (status != 200) put(stdout, "Status: %d %s\r\n", status, reason(status));
  put(stdout,
      "Content-Type: application/json; charset=utf-8\r\n"
      "Cache-Control: no-store\r\n"
      "X-Content-Type-Options: nosniff\r\n");
  if (allow) put(stdout, "Allow: %s\r\n", allow);
  put(stdout, "\r\n");
}

void answer_error(int status, const char* error, const char* field, const char* allow = nullptr) {
  headers(status, allow);
  put(stdout, "{\"error\":");
  json_string(stdout, error);
  put(stdout, ",\"field\":");
  if (field) {
    json_string(stdout, field);
  } else {
    put(stdout, "null");
  }
  put(stdout, "}\n");
}

void answer_refusal(const Refusal& refusal) {
  answer_error(refusal.status, refusal.error, refusal.field, refusal.allow);
}

StatusReport report;

// The Wi-Fi modes name the interfaces the settings give them.
void answer_modes() {
  LedSettings settings{};
  (void)read_settings(settings);
  headers(200);
  render_modes_json(stdout, settings);
}

void answer_status() {
  status_setup();
  (void)look_at_everything(report);
  headers(200);
  render_json(report, stdout);
}

void answer_preview(const CgiRequest& request) {
  std::uint32_t mode = 0;
  const Refusal refusal = parse_preview_query(request.query, mode);
  if (refusal.status != 0) return answer_refusal(refusal);
  status_setup();
  (void)look_at_mode(report, mode);
  headers(200);
  render_preview_json(report, stdout);
}

void answer_token(const CgiRequest& request) {
  TokenText token{};
  const char* why = nullptr;
  if (token_for(request.remote_user, token, why) != 0) return answer_error(500, why, nullptr);
  headers(200);
  put(stdout, "{\"token\":\"%s\"}\n", token.data());
}

std::int64_t now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// The body, as long as the server said, or up to its end when it did not:
// never more than one byte past the limit, and never waited for longer than
// body_seconds in all (a client that sends less than it said, and keeps the
// connection open, would keep us waiting as long as the server lets it).
Refusal read_body(long length, char* body, std::size_t& size) {
  const std::size_t wanted =
      length == body_length_unknown ? body_limit + 1 : static_cast<std::size_t>(length);
  const std::int64_t deadline = now_ms() + std::int64_t{body_seconds} * 1000;
  size = 0;
  while (size < wanted) {
    const std::int64_t left = deadline - now_ms();
    if (left <= 0) {
      return {408, "the body did not arrive in time: send it again", "body", nullptr};
    }
    pollfd input{0, POLLIN, 0};
    const int ready = poll(&input, 1, static_cast<int>(left));
    if (status_stop) return {400, "the body could not be read", "body", nullptr};
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (ready < 0) return {400, "the body could not be read", "body", nullptr};
    const ssize_t n = read(0, body + size, wanted - size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return {400, "the body could not be read", "body", nullptr};
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  if (size > body_limit) return {413, "the body is longer than 1024 bytes", "body", nullptr};
  if (length != body_length_unknown && size != wanted) {
    return {400, "the body is shorter than its Content-Length", "body", nullptr};
  }
  return {};
}

void answer_settings(const CgiRequest& request, long length) {
  static std::array<char, body_limit + 1> body;
  std::size_t size = 0;
  Refusal refusal = read_body(length, body.data(), size);
  SettingsBody settings{};
  if (refusal.status == 0) refusal = parse_settings_body(body.data(), size, settings);
  if (refusal.status != 0) return answer_refusal(refusal);
  TokenText expected{};
  const char* why = nullptr;
  if (token_for(request.remote_user, expected, why) != 0) {
    return answer_error(500, why, nullptr);
  }
  if (!settings.token_fits || !same_token(settings.token.data(), expected.data())) {
    return answer_error(403, "the token is not this user's: load the page again", "token");
  }
  const LedChange changes[] = {{"MOD_NORVASK_MODE", settings.led1},
                               {"MOD_NORVASK_MODE2", settings.led2}};
  const int error = rewrite_settings(settings_path, changes, 2, why);
  if (error != 0) {
    char message[256];
    format_text(message, sizeof message,
                "the settings were not written: %s (%s); the old file is unchanged", why,
                std::strerror(error));
    return answer_error(500, message, nullptr);
  }
  const int restarted = restart_daemon();
  if (restarted != 0) {
    char message[256];
    format_text(message, sizeof message,
                "the settings were written, but the start script %s failed (%s %d): the daemon "
                "may still run with the old ones",
                init_script_path, restarted < 0 ? "error" : "exit status",
                restarted < 0 ? errno : restarted);
    return answer_error(500, message, nullptr);
  }
  status_setup();
  (void)look_at_everything(report);
  headers(200);
  put(stdout, "{\"applied\":{\"led1\":%" PRIu32 ",\"led2\":%" PRIu32 "},\"status\":", settings.led1,
      settings.led2);
  render_json(report, stdout);
  put(stdout, "}\n");
}

// The request's variables (every header as HTTP_*, the query, the user)
// have been read: from here on the environment holds PATH alone, so that
// none of them reaches the probes' commands, their shell or the start script.
void keep_only_path() {
  static std::array<char*, 2> kept{};
  for (char** entry = environ; entry && *entry; ++entry) {
    if (std::strncmp(*entry, "PATH=", 5) != 0) continue;
    kept[0] = *entry;  // the one getenv finds
    break;
  }
  environ = kept.data();
}

}  // namespace

int main() {
  // The probes' commands are looked up on PATH, which a web server may not set.
  (void)setenv("PATH", default_path, 0);
  // A web server that gives up on us (a signal, or a closed pipe) ends the
  // look early; its private directory is removed all the same.
  catch_stop_signals();
  const CgiRequest request = request_from_environment();
  keep_only_path();
  Route route = Route::None;
  long length = 0;
  const Refusal refusal = check_request(request, route, length);
  if (refusal.status != 0) {
    answer_refusal(refusal);
  } else {
    remove_stale_settings_files(settings_path);
    switch (route) {
      case Route::Status:
        answer_status();
        break;
      case Route::Modes:
        answer_modes();
        break;
      case Route::Token:
        answer_token(request);
        break;
      case Route::Preview:
        answer_preview(request);
        break;
      case Route::Settings:
        answer_settings(request, length);
        break;
      case Route::None:
        break;
    }
  }
  const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
  if (status_stop) {
    (void)std::signal(status_stop, SIG_DFL);
    (void)std::raise(status_stop);
  }
  return written ? 0 : 1;
}
