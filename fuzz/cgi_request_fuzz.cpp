// The CGI program's readers of the request on arbitrary input: its variables
// (read from the environment), the checks made before the body is read, the
// preview's query and the body of a write. Each answer must match a plain
// reading of the documented rules (docs/web.md).
//
// The input is the variables in the order of `variables`, each ended by a
// NUL (an empty one is not set), then the body, NULs and all.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "web/cgi/cgi.h"

namespace {

constexpr std::array<const char*, 10> variables = {
    "REQUEST_METHOD", "PATH_INFO", "QUERY_STRING", "CONTENT_TYPE", "CONTENT_LENGTH",
    "REMOTE_USER",    "HTTP_HOST", "HTTP_ORIGIN",  "HTTP_REFERER", "HTTP_SEC_FETCH_SITE"};
enum Variable : std::uint8_t {
  Method,
  PathInfo,
  Query,
  ContentType,
  ContentLength,
  User,
  Host,
  Origin,
  Referer,
  FetchSite
};

struct Fields {
  std::array<std::string, variables.size()> value;
  std::array<bool, variables.size()> set;
  std::string body;
};

Fields split(std::string_view input) {
  Fields f{};
  for (std::size_t i = 0; i < variables.size(); ++i) {
    const std::size_t end = input.find('\0');
    if (end == std::string_view::npos) return f;
    f.value[i] = std::string(input.substr(0, end));
    f.set[i] = end > 0;
    input.remove_prefix(end + 1);
  }
  f.body = std::string(input);
  return f;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool all_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// ---- the checks before the body ----

struct Expected {
  int status;
  const char* field;  // null: none
  Route route;
  long length;  // for a write that passed
};

// "scheme://host[:port]..." names `host` when the part after "://" up to the
// first '/', '?' or '#' is `host`, letters in any case.
bool names_this_host(const std::string& url, const Fields& f) {
  if (!f.set[Host]) return false;
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  std::string authority = url.substr(scheme + 3);
  authority.resize(std::min(authority.size(), authority.find_first_of("/?#")));
  return lower(authority) == lower(f.value[Host]);
}

bool json_type(const Fields& f) {
  const std::string type = lower(f.value[ContentType]);
  if (!f.set[ContentType] || type.compare(0, 16, "application/json") != 0) return false;
  const std::size_t rest = type.find_first_not_of(" \t", 16);
  return rest == std::string::npos || type[rest] == ';';
}

Expected expected_check(const Fields& f) {
  if (!f.set[User]) return {401, nullptr, Route::None, 0};
  const std::array<std::pair<const char*, Route>, 5> routes = {{{"/status", Route::Status},
                                                                {"/modes", Route::Modes},
                                                                {"/token", Route::Token},
                                                                {"/preview", Route::Preview},
                                                                {"/settings", Route::Settings}}};
  Route route = Route::None;
  for (const auto& [path, r] : routes) {
    if (f.set[PathInfo] && f.value[PathInfo] == path) route = r;
  }
  if (route == Route::None) return {404, nullptr, route, 0};
  if (route != Route::Settings) return {f.value[Method] == "GET" ? 0 : 405, nullptr, route, 0};
  if (f.value[Method] != "POST") return {405, nullptr, route, 0};
  if (f.set[FetchSite] && f.value[FetchSite] != "same-origin") {
    return {403, "Sec-Fetch-Site", route, 0};
  }
  if (f.set[Origin] && !names_this_host(f.value[Origin], f)) return {403, "Origin", route, 0};
  if (f.set[Referer] && !names_this_host(f.value[Referer], f)) return {403, "Referer", route, 0};
  if (!json_type(f)) return {403, "Content-Type", route, 0};
  if (!f.set[ContentLength]) return {0, nullptr, route, body_length_unknown};
  const std::string& text = f.value[ContentLength];
  if (!all_digits(text)) return {400, "Content-Length", route, 0};
  const std::size_t first = text.find_first_not_of('0');
  const std::string digits = first == std::string::npos ? "0" : text.substr(first);
  if (digits.size() > 4 || std::strtol(digits.c_str(), nullptr, 10) > 1024) {
    return {413, "body", route, 0};
  }
  return {0, nullptr, route, std::strtol(digits.c_str(), nullptr, 10)};
}

// ---- the preview's query ----

// The mode, or -1 when the query is refused.
long expected_query(const Fields& f) {
  if (!f.set[Query]) return -1;
  long mode = -1;
  int found = 0;
  const std::string& query = f.value[Query];
  for (std::size_t at = 0; at <= query.size();) {
    std::size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string parameter = query.substr(at, end - at);
    at = end + 1;
    if (parameter == "mode" || parameter == "mode=") return -1;
    if (parameter.compare(0, 5, "mode=") != 0) continue;
    const std::string value = parameter.substr(5);
    ++found;
    const bool whole = all_digits(value) && (value == "0" || value[0] != '0');
    mode = whole && value.size() <= 2 ? std::strtol(value.c_str(), nullptr, 10) : -1;
    if (mode > 17) mode = -1;
  }
  return found == 1 ? mode : -1;
}

// ---- the body ----

// A JSON string, as code units: bytes as they are (`raw`), escapes decoded
// (\u as its 16-bit unit). `shown` is the name as an error shows it.
struct Text {
  std::vector<std::uint32_t> units;
  std::vector<bool> raw;
  std::string shown;
  bool cut;
};

struct Value {
  enum Kind : std::uint8_t { String, Number, Literal } kind;
  std::string raw;  // a number or literal as written
  Text text;        // a string's
};

struct Parser {
  std::string_view in;
  std::size_t at;

  void blanks() {
    while (at < in.size() && in[at] != '\0' && std::strchr(" \t\r\n", in[at])) ++at;
  }
  bool next(char c) {
    blanks();
    if (at >= in.size() || in[at] != c) return false;
    ++at;
    return true;
  }
};

void show(Text& t, std::uint32_t unit, bool raw) {
  char piece[16];
  if (unit == '"' || unit == '\\') {
    (void)std::snprintf(piece, sizeof piece, "\\%c", static_cast<char>(unit));
  } else if (unit >= 0x20 && unit < 0x7f) {
    (void)std::snprintf(piece, sizeof piece, "%c", static_cast<char>(unit));
  } else if (unit == '\n' || unit == '\r' || unit == '\t') {
    (void)std::snprintf(piece, sizeof piece, "\\%c", unit == '\n' ? 'n' : unit == '\r' ? 'r' : 't');
  } else if (raw && unit >= 0x80) {
    (void)std::snprintf(piece, sizeof piece, "\\x%02x", static_cast<unsigned>(unit));
  } else {
    (void)std::snprintf(piece, sizeof piece, "\\u%04x", static_cast<unsigned>(unit));
  }
  if (t.cut) return;
  if (t.shown.size() + std::strlen(piece) > 32) {
    t.shown += "...";
    t.cut = true;
    return;
  }
  t.shown += piece;
}

// The escape after a backslash, as the unit it stands for.
bool read_escape(Parser& p, std::uint32_t& unit) {
  if (p.at >= p.in.size()) return false;
  const char e = p.in[p.at++];
  if (e == 'u') {
    if (p.at + 4 > p.in.size()) return false;
    const std::string hex(p.in.substr(p.at, 4));
    if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    unit = static_cast<std::uint32_t>(std::strtoul(hex.c_str(), nullptr, 16));
    p.at += 4;
    return true;
  }
  constexpr std::string_view escapes = "\"\\/bfnrt";
  constexpr std::string_view meanings = "\"\\/\b\f\n\r\t";
  const std::size_t found = escapes.find(e);
  if (found == std::string_view::npos) return false;
  unit = static_cast<unsigned char>(meanings[found]);
  return true;
}

bool read_text(Parser& p, Text& t) {
  if (!p.next('"')) return false;
  while (p.at < p.in.size()) {
    const auto c = static_cast<unsigned char>(p.in[p.at++]);
    if (c == '"') return true;
    std::uint32_t unit = c;
    if (c < 0x20 || (c == '\\' && !read_escape(p, unit))) return false;
    t.units.push_back(unit);
    t.raw.push_back(c != '\\');
    show(t, unit, c != '\\');
  }
  return false;
}

// Takes the character at p.at when it is one of `set`.
bool take_one(Parser& p, std::string_view set) {
  if (p.at >= p.in.size() || set.find(p.in[p.at]) == std::string_view::npos) return false;
  ++p.at;
  return true;
}

std::size_t take_digits(Parser& p) {
  const std::size_t from = p.at;
  while (take_one(p, "0123456789")) {
  }
  return p.at - from;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool read_number(Parser& p) {
  (void)take_one(p, "-");
  const std::size_t integer_at = p.at;
  const std::size_t integer = take_digits(p);
  if (integer == 0 || (integer > 1 && p.in[integer_at] == '0')) return false;
  if (take_one(p, ".") && take_digits(p) == 0) return false;
  if (take_one(p, "eE")) {
    (void)take_one(p, "+-");
    if (take_digits(p) == 0) return false;
  }
  return true;
}

bool read_value(Parser& p, Value& v) {
  p.blanks();
  if (p.at < p.in.size() && p.in[p.at] == '"') {
    v.kind = Value::String;
    return read_text(p, v.text);
  }
  for (const std::string_view literal : {"true", "false", "null"}) {
    if (p.in.substr(p.at, literal.size()) == literal) {
      v.kind = Value::Literal;
      p.at += literal.size();
      return true;
    }
  }
  v.kind = Value::Number;
  const std::size_t start = p.at;
  if (!read_number(p)) return false;
  v.raw = std::string(p.in.substr(start, p.at - start));
  return true;
}

struct Member {
  Text key;
  Value value;
};

// The members of one flat JSON object filling all of `body`; false when it
// is not one.
bool read_object(std::string_view body, std::vector<Member>& members) {
  Parser p{body, 0};
  if (!p.next('{')) return false;
  if (!p.next('}')) {
    do {
      Member m{};
      if (!read_text(p, m.key) || !p.next(':') || !read_value(p, m.value)) return false;
      members.push_back(m);
    } while (p.next(','));
    if (!p.next('}')) return false;
  }
  p.blanks();
  return p.at == body.size();
}

bool is(const Text& t, const char* name) {
  const std::size_t length = std::strlen(name);
  if (t.units.size() != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (t.units[i] != static_cast<unsigned char>(name[i])) return false;
  }
  return true;
}

struct ExpectedBody {
  int status;
  std::string field;  // empty: none
  std::uint32_t led1, led2;
  std::string token;  // when it is all ASCII
  bool token_fits;
  bool token_ascii;
};

// A mode as JSON writes a whole number from 0 to 17.
bool led_value(const Value& v, std::uint32_t& mode) {
  if (v.kind != Value::Number || !all_digits(v.raw) || v.raw.size() > 2) return false;
  mode = static_cast<std::uint32_t>(std::strtoul(v.raw.c_str(), nullptr, 10));
  return mode <= 17;
}

// A token: a string without a control character, as it is or escaped;
// unescaped bytes are not read as UTF-8, so only C0 and DEL are seen there.
bool token_value(const Value& v, ExpectedBody& out) {
  const Text& t = v.text;
  bool fine = v.kind == Value::String;
  out.token_ascii = true;
  for (std::size_t k = 0; k < t.units.size(); ++k) {
    const std::uint32_t u = t.units[k];
    fine = fine && u >= 0x20 && u != 0x7f && (t.raw[k] || u < 0x80 || u >= 0xa0);
    out.token_ascii = out.token_ascii && u < 0x80;
    out.token += static_cast<char>(u);
  }
  out.token_fits = t.units.size() <= token_hex_size;
  return fine;
}

ExpectedBody refused(int status, const std::string& field) {
  return {status, field, 0, 0, "", false, false};
}

// What the body gives; status -1: it is no flat JSON object (refused with
// 400, whatever its field).
ExpectedBody expected_body(const std::string& body) {
  std::vector<Member> members;
  if (!read_object(body, members)) return refused(-1, "");
  constexpr std::array<const char*, 3> names = {"led1", "led2", "token"};
  std::array<bool, 3> given{};
  ExpectedBody out = refused(0, "");
  const char* wrong = nullptr;
  for (const Member& m : members) {
    std::size_t i = 0;
    while (i < names.size() && !is(m.key, names[i])) ++i;
    if (i == names.size()) return refused(400, m.key.shown);
    if (given[i]) return refused(400, names[i]);
    given[i] = true;
    const bool fine =
        i == 2 ? token_value(m.value, out) : led_value(m.value, i == 0 ? out.led1 : out.led2);
    if (!fine && !wrong) wrong = names[i];
  }
  if (wrong) return refused(400, wrong);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!given[i]) return refused(i == 2 ? 403 : 400, names[i]);
  }
  return out;
}

void check_body(const Fields& f) {
  SettingsBody got{};
  const Refusal refusal = parse_settings_body(f.body.data(), f.body.size(), got);
  const ExpectedBody want = expected_body(f.body);
  if (want.status < 0) {
    fuzz_check(refusal.status == 400, "a body that is no flat JSON object is refused with 400");
    return;
  }
  fuzz_check(refusal.status == want.status, "the body's status");
  fuzz_check((refusal.field ? refusal.field : "") == want.field, "the body's field at fault");
  if (refusal.status == 400 && want.field != "led1" && want.field != "led2" &&
      want.field != "token") {
    fuzz_check(std::string(refusal.error) == "unknown field \"" + want.field + "\"",
               "an unknown field's words");
  }
  if (want.status != 0) return;
  fuzz_check(got.led1 == want.led1 && got.led2 == want.led2, "the modes");
  fuzz_check(got.token_fits == want.token_fits, "whether the token fits");
  if (want.token_fits && want.token_ascii) {
    fuzz_check(got.token.data() == want.token, "the token");
  }
}

// ---- the variables ----

// The environment is these variables alone: environ is pointed at them
// (setenv would keep every value it was given).
void set_environment(const Fields& f) {
  static std::array<std::string, variables.size()> entries;
  static std::array<char*, variables.size() + 1> environment;
  std::size_t used = 0;
  for (std::size_t i = 0; i < variables.size(); ++i) {
    if (!f.set[i]) continue;
    entries[i] = std::string(variables[i]) + "=" + f.value[i];
    environment[used++] = entries[i].data();
  }
  environment[used] = nullptr;
  environ = environment.data();
}

bool same(const char* got, const Fields& f, Variable v) {
  return f.set[v] ? got && f.value[v] == got : got == nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Fields f = split(std::string_view(reinterpret_cast<const char*>(data), size));
  set_environment(f);
  const CgiRequest request = request_from_environment();
  fuzz_check(same(request.method, f, Method) && same(request.path_info, f, PathInfo) &&
                 same(request.query, f, Query) && same(request.content_type, f, ContentType) &&
                 same(request.content_length, f, ContentLength) &&
                 same(request.remote_user, f, User) && same(request.host, f, Host) &&
                 same(request.origin, f, Origin) && same(request.referer, f, Referer) &&
                 same(request.fetch_site, f, FetchSite),
             "the request's variables");

  Route route = Route::None;
  long length = 0;
  const Refusal refusal = check_request(request, route, length);
  const Expected want = expected_check(f);
  fuzz_check(refusal.status == want.status, "the request's status");
  fuzz_check(std::string(refusal.field ? refusal.field : "") == (want.field ? want.field : ""),
             "the request's field at fault");
  fuzz_check(refusal.status == 0 || refusal.error != nullptr, "a refusal says why");
  if (want.status != 401) fuzz_check(route == want.route, "the route");
  if (want.status == 0 && route == Route::Settings) fuzz_check(length == want.length, "the length");

  std::uint32_t mode = 99;
  const long want_mode = expected_query(f);
  const Refusal query = parse_preview_query(request.query, mode);
  fuzz_check((query.status == 0) == (want_mode >= 0), "whether the query is taken");
  if (want_mode >= 0) fuzz_check(mode == static_cast<std::uint32_t>(want_mode), "the mode");
  if (want_mode < 0) fuzz_check(query.status == 400, "a refused query is a 400");

  check_body(f);
  return 0;
}
