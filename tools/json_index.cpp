#include "tools/json_index.h"

#include <cstring>

#include "amsd/base/text.h"

std::size_t json_utf8_length(std::string_view s, std::size_t i) {
  auto at = [&](std::size_t k) {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
  };
  unsigned b0 = at(0);
  if (b0 < 0x80) {
    return 1;
  }
  // The second byte's range rules out overlong forms, surrogates and code
  // points beyond U+10FFFF.
  unsigned lo = b0 == 0xE0 ? 0xA0 : b0 == 0xF0 ? 0x90 : 0x80;
  unsigned hi = b0 == 0xED ? 0x9F : b0 == 0xF4 ? 0x8F : 0xBF;
  std::size_t n = b0 >= 0xC2 && b0 <= 0xDF   ? 2
                  : b0 >= 0xE0 && b0 <= 0xEF ? 3
                  : b0 >= 0xF0 && b0 <= 0xF4 ? 4
                                             : 0;
  for (std::size_t k = 1; k < n; ++k) {
    unsigned b = at(k);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
      return 0;
    }
  }
  return n;
}

namespace {

struct Reader {
  std::string_view s;
  std::size_t pos;
  JsonIndex& out;
};

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

// Appends code point cp as UTF-8 to key (capacity cap, length n), cut to fit.
void put_code_point(char* key, std::size_t cap, std::size_t& n,
                    std::uint32_t cp) {
  static const unsigned char LEAD[] = { 0, 0xC0, 0xE0, 0xF0 };
  char b[4];
  int len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  for (int k = len - 1; k > 0; --k, cp >>= 6) {
    b[k] = static_cast<char>(0x80 | (cp & 0x3F));
  }
  b[0] = static_cast<char>(LEAD[len - 1] | cp);
  for (int k = 0; k < len && n + 1 < cap; ++k) {
    key[n++] = b[k];
  }
}

bool read_hex4(Reader& r, std::uint32_t& v) {
  v = 0;
  for (int k = 0; k < 4; ++k, ++r.pos) {
    int d = r.pos < r.s.size() ? hex_digit(r.s[r.pos]) : -1;
    if (d < 0) {
      return fail(r, "bad \\u escape");
    }
    v = v * 16 + static_cast<std::uint32_t>(d);
  }
  return true;
}

// An escape after its backslash; a lone surrogate reads as U+FFFD.
bool read_escape(Reader& r, std::uint32_t& cp) {
  static const char FROM[] = "\"\\/bfnrt";
  static const char TO[] = "\"\\/\b\f\n\r\t";
  if (r.pos >= r.s.size()) {
    return fail(r, "unterminated string");
  }
  char c = r.s[r.pos];
  if (const char* hit = c ? std::strchr(FROM, c) : nullptr) {
    ++r.pos;
    cp = static_cast<unsigned char>(TO[hit - FROM]);
    return true;
  }
  if (c != 'u') {
    return fail(r, "bad escape in a string");
  }
  ++r.pos;
  if (!read_hex4(r, cp)) {
    return false;
  }
  std::uint32_t lo = 0;
  std::size_t back = r.pos;
  if (cp >= 0xD800 && cp <= 0xDBFF && slice(r.s, r.pos, 2) == "\\u") {
    r.pos += 2;
    if (!read_hex4(r, lo)) {
      return false;
    }
    if (lo >= 0xDC00 && lo <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
    } else {
      r.pos = back;  // the next escape stands alone
    }
  }
  cp = cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp;
  return true;
}

// A string at its opening quote, decoded into key when one is given.
bool read_string(Reader& r, char* key = nullptr, std::size_t cap = 0) {
  std::size_t n = 0;
  for (++r.pos;;) {
    if (r.pos >= r.s.size()) {
      return fail(r, "unterminated string");
    }
    auto c = static_cast<unsigned char>(r.s[r.pos++]);
    std::uint32_t cp = c;
    if (c == '"') {
      break;
    }
    if (c < 0x20) {
      --r.pos;
      return fail(r, "control character in a string");
    }
    if (c == '\\' && !read_escape(r, cp)) {
      return false;
    }
    if (key && c == '\\') {
      put_code_point(key, cap, n, cp);
    } else if (key && n + 1 < cap) {
      key[n++] = static_cast<char>(c);  // raw bytes as they are
    }
  }
  if (key) {
    key[n] = '\0';
  }
  return true;
}

bool read_digits(Reader& r) {
  std::size_t from = r.pos;
  while (r.pos < r.s.size() && r.s[r.pos] >= '0' && r.s[r.pos] <= '9') {
    ++r.pos;
  }
  return r.pos > from || fail(r, "bad number");
}

bool read_number(Reader& r) {
  auto next_is = [&r](const char* any) {
    bool hit = r.pos < r.s.size() && r.s[r.pos] && std::strchr(any, r.s[r.pos]);
    r.pos += hit ? 1 : 0;
    return hit;
  };
  next_is("-");
  if (!next_is("0") && !read_digits(r)) {
    return false;
  }
  if (next_is(".") && !read_digits(r)) {
    return false;
  }
  if (next_is("eE")) {
    next_is("+-");
    return read_digits(r);
  }
  return true;
}

bool read_container(Reader& r, int depth);

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

// One member of an object at depth; those of the top one are recorded.
bool read_member(Reader& r, int depth) {
  if (peek(r) != '"') {
    return fail(r, "expected a string key");
  }
  JsonMember m;
  m.key_at = static_cast<std::uint32_t>(r.pos);
  if (!read_string(r, m.key, sizeof m.key)) {
    return false;
  }
  m.key_end = static_cast<std::uint32_t>(r.pos - 1);
  if (peek(r) != ':') {
    return fail(r, "expected \":\"");
  }
  ++r.pos;
  m.string = peek(r) == '"';
  m.value_at = static_cast<std::uint32_t>(r.pos);
  if (!read_value(r, depth + 1)) {
    return false;
  }
  m.value_end = static_cast<std::uint32_t>(r.pos);
  JsonIndex& o = r.out;
  if (depth == 0 && o.count < JSON_MAX_MEMBERS) {
    o.members[o.count++] = m;
  } else if (depth == 0) {
    o.cut = true;
  }
  return true;
}

// An object or an array at its opening bracket.
bool read_container(Reader& r, int depth) {
  if (depth >= JSON_MAX_DEPTH) {
    return fail(r, "nested too deep");
  }
  bool object = r.s[r.pos++] == '{';
  char close = object ? '}' : ']';
  if (peek(r) == close) {
    ++r.pos;
    return true;
  }
  for (;;) {
    if (!(object ? read_member(r, depth) : read_value(r, depth + 1))) {
      return false;
    }
    char c = peek(r);
    if (c == ',' || c == close) {
      ++r.pos;
      if (c == close) {
        return true;
      }
      continue;
    }
    return fail(r,
                object ? "expected \",\" or \"}\"" : "expected \",\" or \"]\"");
  }
}

}  // namespace

void json_index(std::string_view text, JsonIndex& out) {
  out.utf8 = true;
  out.bad_utf8_at = 0;
  out.valid = false;
  out.error_at = 0;
  out.error = nullptr;
  out.count = 0;
  out.cut = false;
  for (std::size_t i = 0, n; i < text.size(); i += n) {
    if ((n = json_utf8_length(text, i)) == 0) {
      out.utf8 = false;
      out.bad_utf8_at = static_cast<std::uint32_t>(i);
      break;
    }
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
