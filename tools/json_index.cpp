#include "tools/json_index.h"

#include <cstring>

#include "amsd/base/text.h"
#include "tools/json_text.h"

namespace {

struct Reader {
  std::string_view s;
  std::size_t pos;
  JsonIndex& out;
};

// Notes the first error only.
bool fail(Reader& r, const char* why) {
  if (!r.out.error) {
    r.out.error = why;
    r.out.error_at = static_cast<std::uint32_t>(r.pos);
  }
  return false;
}

// The next byte after white space; NUL at the end.
char peek(Reader& r) {
  while (r.pos < r.s.size() && r.s[r.pos] &&
         std::strchr(" \t\n\r", r.s[r.pos])) {
    ++r.pos;
  }
  return r.pos < r.s.size() ? r.s[r.pos] : '\0';
}

// True, and past it, when the next byte is one of any.
bool next_is(Reader& r, const char* any) {
  bool hit = r.pos < r.s.size() && r.s[r.pos] && std::strchr(any, r.s[r.pos]);
  r.pos += hit ? 1 : 0;
  return hit;
}

// An escape after its backslash. c becomes the byte it stands for, or 0
// for a \u escape beyond ASCII.
bool read_escape(Reader& r, char& c) {
  static const char FROM[] = "\"\\/bfnrt";
  static const char TO[] = "\"\\/\b\f\n\r\t";
  const char* hit = r.pos < r.s.size() && r.s[r.pos]
                        ? std::strchr(FROM, r.s[r.pos])
                        : nullptr;
  if (hit) {
    c = TO[hit - FROM];
    ++r.pos;
    return true;
  }
  if (!next_is(r, "u")) {
    return fail(r, r.pos < r.s.size() ? "bad escape in a string"
                                      : "unterminated string");
  }
  unsigned cp = 0;
  for (int k = 0; k < 4; ++k, ++r.pos) {
    int d = r.pos < r.s.size() ? hex_digit(r.s[r.pos]) : -1;
    if (d < 0) {
      return fail(r, "bad \\u escape");
    }
    cp = cp * 16 + static_cast<unsigned>(d);
  }
  c = static_cast<char>(cp > 0 && cp < 0x80 ? cp : 0);
  return true;
}

// A string at its opening quote. When key is given (capacity cap) the
// string goes there, its escapes of ASCII decoded and the others as
// written.
bool read_string(Reader& r, char* key = nullptr, std::size_t cap = 0) {
  std::size_t n = 0;
  for (++r.pos;;) {
    if (r.pos >= r.s.size()) {
      return fail(r, "unterminated string");
    }
    std::size_t from = r.pos;
    char c = r.s[r.pos++];
    if (c == '"') {
      break;
    }
    if (static_cast<unsigned char>(c) < 0x20) {
      --r.pos;
      return fail(r, "control character in a string");
    }
    if (c == '\\' && !read_escape(r, c)) {
      return false;
    }
    std::string_view out =
        c ? std::string_view(&c, 1) : slice(r.s, from, r.pos - from);
    for (std::size_t k = 0; key && k < out.size() && n + 1 < cap; ++k) {
      key[n++] = out[k];
    }
  }
  if (key) {
    key[n] = '\0';
  }
  return true;
}

bool read_digits(Reader& r) {
  std::size_t from = r.pos;
  while (next_is(r, "0123456789")) {
  }
  return r.pos > from || fail(r, "bad number");
}

bool read_number(Reader& r) {
  next_is(r, "-");
  if ((!next_is(r, "0") && !read_digits(r)) ||
      (next_is(r, ".") && !read_digits(r))) {
    return false;
  }
  if (next_is(r, "eE")) {
    next_is(r, "+-");
    return read_digits(r);
  }
  return true;
}

bool read_value(Reader& r, int depth);

// One member of an object at depth; those of the top one are recorded.
bool read_member(Reader& r, int depth) {
  JsonMember m;
  if (peek(r) != '"') {
    return fail(r, "expected a string key");
  }
  m.key_at = static_cast<std::uint32_t>(r.pos);
  if (!read_string(r, m.key, sizeof m.key)) {
    return false;
  }
  m.key_end = static_cast<std::uint32_t>(r.pos - 1);
  peek(r);
  if (!next_is(r, ":")) {
    return fail(r, "expected \":\"");
  }
  m.string = peek(r) == '"';
  m.value_at = static_cast<std::uint32_t>(r.pos);
  if (!read_value(r, depth + 1)) {
    return false;
  }
  m.value_end = static_cast<std::uint32_t>(r.pos);
  JsonIndex& o = r.out;
  if (depth == 0 && o.count == JSON_MAX_MEMBERS) {
    o.cut = true;
  } else if (depth == 0) {
    o.members[o.count++] = m;
  }
  return true;
}

// An object or an array at its opening bracket.
bool read_container(Reader& r, int depth) {
  if (depth >= JSON_MAX_DEPTH) {
    return fail(r, "nested too deep");
  }
  bool object = r.s[r.pos++] == '{';
  const char* close = object ? "}" : "]";
  peek(r);
  if (next_is(r, close)) {
    return true;
  }
  do {
    if (!(object ? read_member(r, depth) : read_value(r, depth + 1))) {
      return false;
    }
    peek(r);
  } while (next_is(r, ","));
  return next_is(r, close) || fail(r, object ? "expected \",\" or \"}\""
                                             : "expected \",\" or \"]\"");
}

bool read_value(Reader& r, int depth) {
  char c = peek(r);
  if (c == '"') {
    return read_string(r);
  }
  if (c == '{' || c == '[') {
    return read_container(r, depth);
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    return read_number(r);
  }
  for (std::string_view word : { "true", "false", "null" }) {
    if (slice(r.s, r.pos, word.size()) == word) {
      r.pos += word.size();
      return true;
    }
  }
  return fail(r, "expected a value");
}

}  // namespace

void json_index(std::string_view text, JsonIndex& out) {
  out.utf8 = true;
  out.error = nullptr;
  out.count = 0;
  out.cut = false;
  for (std::size_t i = 0; i < text.size() && out.utf8;) {
    std::size_t n = utf8_length(text, i);
    out.utf8 = n > 0;
    out.bad_utf8_at = static_cast<std::uint32_t>(i);
    i += n;
  }
  Reader r{ text, 0, out };
  if (peek(r) != '{') {
    fail(r, "not a JSON object");
  } else if (read_container(r, 0)) {
    peek(r);
    if (r.pos < text.size()) {
      fail(r, "text after the object");
    }
  }
  out.valid = !out.error;
}

const JsonMember* json_member_at(const JsonIndex& j, std::size_t offset) {
  for (int i = 0; i < j.count; ++i) {
    if (j.members[i].key_at <= offset && offset < j.members[i].value_end) {
      return &j.members[i];
    }
  }
  return nullptr;
}

int json_line_at(std::string_view text, std::size_t offset) {
  int line = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    line += text[i] == '\n' ? 1 : 0;
  }
  return line;
}
