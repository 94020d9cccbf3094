#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "settings/settings.h"
#include "status/status.h"
#include "web/cgi/cgi.h"

namespace {

struct RouteName {
  const char* path;
  Route route;
};

constexpr RouteName routes[] = {
    {"/status", Route::Status},   {"/modes", Route::Modes},       {"/token", Route::Token},
    {"/preview", Route::Preview}, {"/settings", Route::Settings},
};

const char* variable(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "application/json", in any case, alone or followed by parameters.
bool json_content_type(const char* type) {
  constexpr const char media[] = "application/json";
  constexpr std::size_t size = sizeof media - 1;
  if (!type || strncasecmp(type, media, size) != 0) return false;
  const char* rest = type + size;
  while (*rest == ' ' || *rest == '\t') ++rest;
  return *rest == '\0' || *rest == ';';
}

// CONTENT_LENGTH: digits alone. -1 when it is anything else.
long parse_length(const char* text) {
  long value = 0;
  for (const char* p = text; *p; ++p) {
    if (!is_digit(*p)) return -1;
    // Past the limit the exact size no longer matters.
    if (value <= static_cast<long>(body_limit)) value = value * 10 + (*p - '0');
  }
  return *text ? value : -1;
}

Refusal refuse(int status, const char* error, const char* field = nullptr,
               const char* allow = nullptr) {
  return {status, error, field, allow};
}

}  // namespace

CgiRequest request_from_environment() {
  return {variable("REQUEST_METHOD"),     variable("PATH_INFO"),      variable("QUERY_STRING"),
          variable("CONTENT_TYPE"),       variable("CONTENT_LENGTH"), variable("REMOTE_USER"),
          variable("HTTP_HOST"),          variable("HTTP_ORIGIN"),    variable("HTTP_REFERER"),
          variable("HTTP_SEC_FETCH_SITE")};
}

bool names_host(const char* url, const char* host) {
  if (!host) return false;
  const char* scheme_end = std::strstr(url, "://");
  if (!scheme_end) return false;  // "null", or no origin at all
  const char* authority = scheme_end + 3;
  // Compared whole: a user part ("host@elsewhere") or a longer name differs.
  const std::size_t length = std::strcspn(authority, "/?#");
  return length == std::strlen(host) && strncasecmp(authority, host, length) == 0;
}

Refusal check_request(const CgiRequest& request, Route& route, long& body_length) {
  route = Route::None;
  body_length = 0;
  // The web server authenticates; without a user it did not, and the status
  // holds station addresses: nothing is answered.
  if (!request.remote_user || !*request.remote_user)
    return refuse(401, "not signed in: the web server passed no user");
  for (const RouteName& name : routes) {
    if (request.path_info && std::strcmp(request.path_info, name.path) == 0) route = name.route;
  }
  if (route == Route::None) return refuse(404, "no such route");
  const char* method = request.method ? request.method : "";
  if (route != Route::Settings) {
    if (std::strcmp(method, "GET") != 0)
      return refuse(405, "only GET is allowed here", nullptr, "GET");
    return {};
  }
  if (std::strcmp(method, "POST") != 0) {
    return refuse(405, "only POST is allowed here", nullptr, "POST");
  }
  // A page of another site may make the browser post here with the owner's
  // credentials: where the browser says where the request came from, it
  // must be this host. Sec-Fetch-Site also tells another port of this host
  // (or a typed address) from the page itself.
  if (request.fetch_site && std::strcmp(request.fetch_site, "same-origin") != 0) {
    return refuse(403, "the request does not come from this page (Sec-Fetch-Site)",
                  "Sec-Fetch-Site");
  }
  if (request.origin && !names_host(request.origin, request.host)) {
    return refuse(403, "the request comes from another site (Origin)", "Origin");
  }
  if (request.referer && !names_host(request.referer, request.host)) {
    return refuse(403, "the request comes from another site (Referer)", "Referer");
  }
  // A form of another site cannot send this type without asking first.
  if (!json_content_type(request.content_type)) {
    return refuse(403, "the body must be sent as application/json", "Content-Type");
  }
  if (!request.content_length) {
    body_length = body_length_unknown;
    return {};
  }
  body_length = parse_length(request.content_length);
  if (body_length < 0) return refuse(400, "the body's length is not a number", "Content-Length");
  if (body_length > static_cast<long>(body_limit)) {
    return refuse(413, "the body is longer than 1024 bytes", "body");
  }
  return {};
}

Refusal parse_preview_query(const char* query, std::uint32_t& mode) {
  const Refusal bad = refuse(400, "mode must be a whole number from 0 to 17", "mode");
  // Other parameters (a cache buster) are let be; mode must be there once.
  bool found = false;
  for (const char* p = query ? query : ""; *p;) {
    const std::size_t length = std::strcspn(p, "&");
    if (length > 5 && std::strncmp(p, "mode=", 5) == 0) {
      if (found) return bad;
      found = true;
      std::uint64_t value = 0;
      // Refused as in the body, where JSON writes no leading zero.
      const bool leading_zero = p[5] == '0' && length > 6;
      const char* end =
          is_digit(p[5]) && !leading_zero ? scan_unsigned(p + 5, UINT32_MAX, value) : nullptr;
      if (!end || end != p + length || value > last_mode) return bad;
      mode = static_cast<std::uint32_t>(value);
    } else if (std::strncmp(p, "mode", 4) == 0 && (length == 4 || p[4] == '=')) {
      return bad;
    }
    p += length;
    if (*p == '&') ++p;
  }
  return found ? Refusal{} : bad;
}
