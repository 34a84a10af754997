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

char at(const Reader& r) {
  return r.pos < r.s.size() ? r.s[r.pos] : '\0';
}

// True, and past it, when the next byte is one of any (never the end).
bool next_is(Reader& r, const char* any) {
  bool hit = at(r) && std::strchr(any, at(r));
  r.pos += hit ? 1 : 0;
  return hit;
}

// The next byte after white space; NUL at the end.
char peek(Reader& r) {
  while (next_is(r, " \t\n\r")) {
  }
  return at(r);
}

// A string at its opening quote, into key (capacity cap) when given: escapes
// of ASCII decoded, the others as written.
bool read_string(Reader& r, char* key = nullptr, std::size_t cap = 0) {
  static const char FROM[] = "\"\\/bfnrt";
  static const char TO[] = "\"\\/\b\f\n\r\t";
  std::size_t n = 0;
  for (++r.pos; !next_is(r, "\"");) {
    std::size_t from = r.pos;
    char c = at(r);
    if (r.pos >= r.s.size()) {
      return fail(r, "unterminated string");
    }
    if (static_cast<unsigned char>(c) < 0x20) {
      return fail(r, "control character in a string");
    }
    ++r.pos;
    const char* esc = c == '\\' && at(r) ? std::strchr(FROM, at(r)) : nullptr;
    if (esc) {
      c = TO[esc - FROM];
      ++r.pos;
    } else if (c == '\\') {
      unsigned cp = 0;
      if (!next_is(r, "u")) {
        return fail(r,
                    at(r) ? "bad escape in a string" : "unterminated string");
      }
      for (int k = 0; k < 4; ++k, ++r.pos) {
        int d = hex_digit(at(r));
        if (d < 0) {
          return fail(r, "bad \\u escape");
        }
        cp = cp * 16 + static_cast<unsigned>(d);
      }
      c = static_cast<char>(cp > 0 && cp < 0x80 ? cp : 0);
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

bool read_value(Reader& r, int depth);

// An object or an array at its opening bracket; the top object's members
// are recorded.
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
    JsonMember m;
    if (object && peek(r) != '"') {
      return fail(r, "expected a string key");
    }
    m.key_at = static_cast<std::uint32_t>(r.pos);
    if (object && !read_string(r, m.key, sizeof m.key)) {
      return false;
    }
    m.key_end = static_cast<std::uint32_t>(r.pos - 1);
    peek(r);
    if (object && !next_is(r, ":")) {
      return fail(r, "expected \":\"");
    }
    m.string = peek(r) == '"';
    m.value_at = static_cast<std::uint32_t>(r.pos);
    if (!read_value(r, depth + 1)) {
      return false;
    }
    m.value_end = static_cast<std::uint32_t>(r.pos);
    JsonIndex& o = r.out;
    o.cut |= object && depth == 0 && o.count == JSON_MAX_MEMBERS;
    if (object && depth == 0 && !o.cut) {
      o.members[o.count++] = m;
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
    next_is(r, "-");
    if ((!next_is(r, "0") && !read_digits(r)) ||
        (next_is(r, ".") && !read_digits(r))) {
      return false;
    }
    return !next_is(r, "eE") || (next_is(r, "+-"), read_digits(r));
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
  out = JsonIndex{};
  out.utf8 = true;
  for (std::size_t i = 0; i < text.size() && out.utf8;
       i += utf8_length(text, i)) {
    out.utf8 = utf8_length(text, i) > 0;
    out.bad_utf8_at = static_cast<std::uint32_t>(i);
  }
  Reader r{ text, 0, out };
  if (peek(r) != '{') {
    fail(r, "not a JSON object");
  } else if (read_container(r, 0) && (peek(r), r.pos < text.size())) {
    fail(r, "text after the object");
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
