// A strict reader for the one flat JSON object that POST /settings takes.
#include <cstdio>
#include <cstring>

#include "status/status.h"
#include "web/cgi/cgi.h"

namespace {

struct Reader {
  const char* p;
  const char* end;
};

// An unknown key, escaped and cut, for the error's "field" and its words.
constexpr std::size_t shown_key_limit = 32;
std::array<char, shown_key_limit + 4> unknown_key;
std::array<char, shown_key_limit + 24> unknown_key_error;

constexpr Refusal malformed = {400, "the body is not a JSON object of led1, led2 and token",
                               nullptr, nullptr};

struct Field {
  const char* name;
  const char* wrong;  // what a wrong value is told
  const char* twice;
  const char* missing;
};

constexpr std::array<Field, 3> fields = {{
    {"led1", "led1 must be a whole number from 0 to 17", "led1 is given twice", "led1 is missing"},
    {"led2", "led2 must be a whole number from 0 to 17", "led2 is given twice", "led2 is missing"},
    {"token", "token must be a string of letters and digits without control characters",
     "token is given twice", "the token is missing: load the page again"},
}};
// A write without the token is not the page's: refused, not bad input.
constexpr std::size_t token_field = 2;

Refusal refuse(const char* error, const char* field) { return {400, error, field, nullptr}; }

void skip_blanks(Reader& r) {
  while (r.p < r.end && (*r.p == ' ' || *r.p == '\t' || *r.p == '\n' || *r.p == '\r')) ++r.p;
}

bool take(Reader& r, char c) {
  skip_blanks(r);
  if (r.p >= r.end || *r.p != c) return false;
  ++r.p;
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

enum class Text : std::uint8_t { Fine, Malformed, Control };

// Where a string is decoded to.
struct Decoded {
  char* out;
  std::size_t cap;
  std::size_t used;
  bool fits;     // all of it went in
  bool control;  // it holds a control character
};

void keep(Decoded& d, char c) {
  if (d.used + 1 < d.cap) {
    d.out[d.used++] = c;
  } else {
    d.fits = false;
  }
}

// The escape after a backslash; false when it is not JSON's.
bool read_escape(Reader& r, Decoded& d) {
  if (r.p >= r.end) return false;
  const char escaped = *r.p++;
  if (escaped == '\0' || !std::strchr("\"\\/bfnrtu", escaped)) return false;
  if (escaped != 'u') {
    // \b \f \n \r \t are controls; \" \\ \/ stand for themselves.
    d.control = d.control || std::strchr("bfnrt", escaped) != nullptr;
    keep(d, escaped);
    return true;
  }
  int code = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = r.p < r.end ? hex_value(*r.p++) : -1;
    if (digit < 0) return false;
    code = code * 16 + digit;
  }
  // Nothing we take is outside ASCII: such a character can only be wrong.
  d.control = d.control || code < 0x20 || (code >= 0x7f && code < 0xa0);
  keep(d, code < 0x80 ? static_cast<char>(code) : '?');
  return true;
}

// A JSON string at r.p (after blanks), decoded into `out` as far as it fits
// (`fits` says whether all of it did). One that holds a control character,
// as it is or escaped, is Control.
Text read_string(Reader& r, char* out, std::size_t cap, bool& fits) {
  Decoded d{out, cap, 0, true, false};
  fits = true;
  if (!take(r, '"')) return Text::Malformed;
  while (r.p < r.end && *r.p != '"') {
    const auto c = static_cast<unsigned char>(*r.p++);
    if (c == '\\') {
      if (!read_escape(r, d)) return Text::Malformed;
      continue;
    }
    // A raw control character is no JSON either, but the answer names the
    // field that holds it.
    d.control = d.control || c < 0x20 || c == 0x7f;
    keep(d, static_cast<char>(c));
  }
  if (!take(r, '"')) return Text::Malformed;
  if (cap > 0) out[d.used] = '\0';
  fits = d.fits;
  return d.control ? Text::Control : Text::Fine;
}

// A JSON value that is not a string or a whole number, skipped as far as
// telling it apart: a number with a sign, fraction or exponent, a literal.
bool skip_other_value(Reader& r) {
  skip_blanks(r);
  const char* start = r.p;
  while (r.p < r.end && std::strchr("+-.0123456789eEtrufalsn", *r.p)) ++r.p;
  return r.p > start;
}

// A whole number 0 to 17, as JSON writes it (no sign, no leading zero).
// 1: read; 0: a value of another kind or range (skipped); -1: not JSON.
int read_mode(Reader& r, std::uint32_t& mode) {
  skip_blanks(r);
  if (r.p < r.end && *r.p == '"') {
    bool fits = true;
    std::array<char, 8> ignored{};
    return read_string(r, ignored.data(), ignored.size(), fits) == Text::Malformed ? -1 : 0;
  }
  const char* start = r.p;
  std::uint32_t value = 0;
  while (r.p < r.end && *r.p >= '0' && *r.p <= '9' && value <= last_mode) {
    value = value * 10 + static_cast<std::uint32_t>(*r.p++ - '0');
  }
  const bool digits = r.p > start;
  const bool ends = r.p >= r.end || std::strchr(" \t\r\n,}", *r.p);
  if (digits && ends && value <= last_mode && !(*start == '0' && r.p - start > 1)) {
    mode = value;
    return 1;
  }
  r.p = start;
  return skip_other_value(r) ? 0 : -1;
}

// The value of field `index`; false when the body is not JSON. A value
// of the wrong kind sets `wrong`, if nothing did before.
bool read_field(Reader& r, std::size_t index, SettingsBody& out, Refusal& wrong) {
  const Refusal refusal = refuse(fields[index].wrong, fields[index].name);
  if (index < 2) {
    const int got = read_mode(r, index == 0 ? out.led1 : out.led2);
    if (got == 0 && wrong.status == 0) wrong = refusal;
    return got >= 0;
  }
  skip_blanks(r);
  if (r.p >= r.end || *r.p != '"') {
    if (wrong.status == 0) wrong = refusal;
    return skip_other_value(r);
  }
  const Text text = read_string(r, out.token.data(), out.token.size(), out.token_fits);
  if (text == Text::Control && wrong.status == 0) wrong = refusal;
  return text != Text::Malformed;
}

// Which field `key` names, or fields.size().
std::size_t field_index(const char* key, bool fits) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fits && std::strcmp(key, fields[i].name) == 0) return i;
  }
  return fields.size();
}

// One character of a key as the answer shows it: printable ASCII as it is,
// anything else escaped, so that "led1\u0000" cannot read as "led1".
void show_character(std::uint32_t code, bool raw_byte, char* piece, std::size_t cap) {
  if (code == '"' || code == '\\') {
    (void)std::snprintf(piece, cap, "\\%c", static_cast<char>(code));
  } else if (code >= 0x20 && code < 0x7f) {
    (void)std::snprintf(piece, cap, "%c", static_cast<char>(code));
  } else if (code == '\n' || code == '\r' || code == '\t') {
    (void)std::snprintf(piece, cap, "\\%c", code == '\n' ? 'n' : code == '\r' ? 'r' : 't');
  } else if (raw_byte && code >= 0x80) {
    (void)std::snprintf(piece, cap, "\\x%02x", static_cast<unsigned>(code));
  } else {
    (void)std::snprintf(piece, cap, "\\u%04x", static_cast<unsigned>(code));
  }
}

// The key between `begin` and `end` (a string already read, so well formed),
// decoded and shown escaped into unknown_key, cut with "..." past the limit.
void show_key(const char* begin, const char* end) {
  std::size_t used = 0;
  unknown_key[0] = '\0';
  for (const char* p = begin; p < end;) {
    std::uint32_t code = static_cast<unsigned char>(*p++);
    bool raw_byte = true;
    if (code == '\\' && p < end) {
      raw_byte = false;
      switch (const char escaped = *p++) {
        case 'b':
          code = '\b';
          break;
        case 'f':
          code = '\f';
          break;
        case 'n':
          code = '\n';
          break;
        case 'r':
          code = '\r';
          break;
        case 't':
          code = '\t';
          break;
        case 'u':
          code = 0;
          for (int i = 0; i < 4 && p < end; ++i) {
            code = code * 16 + static_cast<std::uint32_t>(hex_value(*p++));
          }
          break;
        default:  // \" \\ \/
          code = static_cast<unsigned char>(escaped);
          break;
      }
    }
    std::array<char, 12> piece{};
    show_character(code, raw_byte, piece.data(), piece.size());
    const std::size_t length = std::strlen(piece.data());
    if (used + length > shown_key_limit) {
      (void)std::snprintf(unknown_key.data() + used, unknown_key.size() - used, "...");
      return;
    }
    (void)std::snprintf(unknown_key.data() + used, unknown_key.size() - used, "%s", piece.data());
    used += length;
  }
}

}  // namespace

Refusal parse_settings_body(const char* body, std::size_t length, SettingsBody& out) {
  out = {};
  Reader r{body, body + length};
  std::array<bool, fields.size()> seen{};
  Refusal wrong{};  // the first wrong value, told once the body is known to be JSON
  if (!take(r, '{')) return malformed;
  bool first = true;
  while (!take(r, '}')) {
    if (!first && !take(r, ',')) return malformed;
    first = false;
    std::array<char, 33> key{};
    bool fits = true;
    skip_blanks(r);
    const char* key_start = r.p + 1;
    const Text name = read_string(r, key.data(), key.size(), fits);
    if (name == Text::Malformed) return malformed;
    const char* key_end = r.p - 1;
    if (!take(r, ':')) return malformed;
    // A name with a control character in it ("led1\u0000") names no field.
    const std::size_t index = field_index(key.data(), fits && name == Text::Fine);
    if (index == fields.size()) {
      show_key(key_start, key_end);
      (void)std::snprintf(unknown_key_error.data(), unknown_key_error.size(),
                          "unknown field \"%s\"", unknown_key.data());
      return refuse(unknown_key_error.data(), unknown_key.data());
    }
    if (seen[index]) return refuse(fields[index].twice, fields[index].name);
    seen[index] = true;
    if (!read_field(r, index, out, wrong)) return malformed;
  }
  skip_blanks(r);
  if (r.p != r.end) return malformed;
  if (wrong.status != 0) return wrong;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (!seen[i] && i == token_field) return {403, fields[i].missing, fields[i].name, nullptr};
    if (!seen[i]) return refuse(fields[i].missing, fields[i].name);
  }
  return {};
}
