#include "tools/json_check.h"

#include <cstring>

#include "amsd/base/text.h"
#include "tools/json_text.h"

namespace {

// Appends code point cp as UTF-8 to dst (capacity cap, length *len), cut at
// the capacity; *full counts every byte.
void put_code_point(char* dst, std::size_t cap, std::size_t* len,
                    std::uint32_t* full, std::uint32_t cp) {
  char b[4];
  std::size_t n;
  if (cp < 0x80) {
    b[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    b[0] = static_cast<char>(0xC0 | (cp >> 6));
    b[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    b[0] = static_cast<char>(0xE0 | (cp >> 12));
    b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    b[0] = static_cast<char>(0xF0 | (cp >> 18));
    b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  for (std::size_t k = 0; k < n; ++k) {
    if (*len + 1 < cap) {
      dst[(*len)++] = b[k];
    }
  }
  *full += static_cast<std::uint32_t>(n);
}

struct Parser {
  std::string_view s;
  std::size_t pos;
  std::size_t string_limit;
  JsonCheck& out;
  bool failed;
};

bool fail(Parser& p, const char* why) {
  if (!p.failed) {
    p.failed = true;
    p.out.error_at = static_cast<std::uint32_t>(p.pos);
    copy_text(p.out.error, why);
  }
  return false;
}

void skip_space(Parser& p) {
  while (p.pos < p.s.size() && (p.s[p.pos] == ' ' || p.s[p.pos] == '\t' ||
                                p.s[p.pos] == '\n' || p.s[p.pos] == '\r')) {
    ++p.pos;
  }
}

bool read_hex4(Parser& p, std::uint32_t* v) {
  *v = 0;
  for (int k = 0; k < 4; ++k) {
    int d = p.pos < p.s.size() ? hex_digit(p.s[p.pos]) : -1;
    if (d < 0) {
      return fail(p, "bad \\u escape");
    }
    *v = *v * 16 + static_cast<std::uint32_t>(d);
    ++p.pos;
  }
  return true;
}

// An escape after its backslash, decoded into dst.
bool read_escape(Parser& p, char* dst, std::size_t cap, std::size_t* len,
                 std::uint32_t* full) {
  if (p.pos >= p.s.size()) {
    return fail(p, "unterminated string");
  }
  char c = p.s[p.pos++];
  const char* from = "\"\\/bfnrt";
  const char* to = "\"\\/\b\f\n\r\t";
  if (const char* hit = c != '\0' ? std::strchr(from, c) : nullptr) {
    put_code_point(dst, cap, len, full,
                   static_cast<unsigned char>(to[hit - from]));
    return true;
  }
  if (c != 'u') {
    --p.pos;
    return fail(p, "bad escape in a string");
  }
  std::uint32_t cp;
  if (!read_hex4(p, &cp)) {
    return false;
  }
  if (cp >= 0xD800 && cp <= 0xDBFF && slice(p.s, p.pos, 2) == "\\u") {
    std::size_t back = p.pos;
    p.pos += 2;
    std::uint32_t lo;
    if (!read_hex4(p, &lo)) {
      return false;
    }
    if (lo >= 0xDC00 && lo <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
    } else {
      p.pos = back;  // a lone high half; the next escape stands alone
    }
  }
  if (cp >= 0xD800 && cp <= 0xDFFF) {
    cp = 0xFFFD;  // a lone surrogate is no character
  }
  put_code_point(dst, cap, len, full, cp);
  return true;
}

// A string at its opening quote, decoded into dst (may be null).
bool read_string(Parser& p, char* dst, std::size_t cap, std::uint32_t* full,
                 std::int16_t member, JsonRole role) {
  std::size_t at = p.pos++;
  std::size_t len = 0;
  char scratch[1];
  if (!dst) {
    dst = scratch;
    cap = 1;
  }
  std::uint32_t count = 0;
  for (;;) {
    if (p.pos >= p.s.size()) {
      return fail(p, "unterminated string");
    }
    auto c = static_cast<unsigned char>(p.s[p.pos]);
    if (c == '"') {
      break;
    }
    if (c < 0x20) {
      return fail(p, "control character in a string");
    }
    ++p.pos;
    if (c == '\\') {
      if (!read_escape(p, dst, cap, &len, &count)) {
        return false;
      }
      continue;
    }
    if (len + 1 < cap) {
      dst[len++] = static_cast<char>(c);
    }
    ++count;
  }
  dst[len] = '\0';
  if (full) {
    *full = count;
  }
  JsonCheck& o = p.out;
  if (at < p.string_limit && o.string_count < JSON_MAX_STRINGS) {
    o.strings[o.string_count++] = { static_cast<std::uint32_t>(at),
                                    static_cast<std::uint32_t>(p.pos), member,
                                    role };
  }
  ++p.pos;
  return true;
}

bool read_digits(Parser& p) {
  std::size_t start = p.pos;
  while (p.pos < p.s.size() && p.s[p.pos] >= '0' && p.s[p.pos] <= '9') {
    ++p.pos;
  }
  return p.pos > start || fail(p, "bad number");
}

bool read_number(Parser& p) {
  if (p.s[p.pos] == '-') {
    ++p.pos;
  }
  if (p.pos < p.s.size() && p.s[p.pos] == '0') {
    ++p.pos;
  } else if (!read_digits(p)) {
    return false;
  }
  if (p.pos < p.s.size() && p.s[p.pos] == '.') {
    ++p.pos;
    if (!read_digits(p)) {
      return false;
    }
  }
  if (p.pos < p.s.size() && (p.s[p.pos] == 'e' || p.s[p.pos] == 'E')) {
    ++p.pos;
    if (p.pos < p.s.size() && (p.s[p.pos] == '+' || p.s[p.pos] == '-')) {
      ++p.pos;
    }
    return read_digits(p);
  }
  return true;
}

bool read_value(Parser& p, int depth, std::int16_t member);

// An object or an array inside a member's value.
bool read_container(Parser& p, int depth, std::int16_t member) {
  if (depth >= JSON_MAX_DEPTH) {
    return fail(p, "nested too deep");
  }
  bool object = p.s[p.pos] == '{';
  char close = object ? '}' : ']';
  ++p.pos;
  skip_space(p);
  if (p.pos < p.s.size() && p.s[p.pos] == close) {
    ++p.pos;
    return true;
  }
  for (;;) {
    skip_space(p);
    if (object) {
      if (p.pos >= p.s.size() || p.s[p.pos] != '"') {
        return fail(p, "expected a string key");
      }
      if (!read_string(p, nullptr, 0, nullptr, member, JsonRole::kNested)) {
        return false;
      }
      skip_space(p);
      if (p.pos >= p.s.size() || p.s[p.pos] != ':') {
        return fail(p, "expected \":\"");
      }
      ++p.pos;
    }
    if (!read_value(p, depth + 1, member)) {
      return false;
    }
    skip_space(p);
    if (p.pos < p.s.size() && p.s[p.pos] == ',') {
      ++p.pos;
      continue;
    }
    if (p.pos < p.s.size() && p.s[p.pos] == close) {
      ++p.pos;
      return true;
    }
    return fail(p,
                object ? "expected \",\" or \"}\"" : "expected \",\" or \"]\"");
  }
}

bool read_literal(Parser& p) {
  for (std::string_view word : { "true", "false", "null" }) {
    if (slice(p.s, p.pos, word.size()) == word) {
      p.pos += word.size();
      return true;
    }
  }
  return fail(p, "expected a value");
}

bool read_value(Parser& p, int depth, std::int16_t member) {
  skip_space(p);
  if (p.pos >= p.s.size()) {
    return fail(p, "expected a value");
  }
  char c = p.s[p.pos];
  if (c == '"') {
    return read_string(p, nullptr, 0, nullptr, member, JsonRole::kNested);
  }
  if (c == '{' || c == '[') {
    return read_container(p, depth, member);
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    return read_number(p);
  }
  return read_literal(p);
}

// One member of the top-level object, at its key's quote.
bool read_member(Parser& p) {
  JsonCheck& o = p.out;
  JsonMember scratch;
  bool kept = o.member_count < JSON_MAX_MEMBERS;
  o.members_cut = o.members_cut || !kept;
  JsonMember& m = kept ? o.members[o.member_count] : scratch;
  std::memset(&m, 0, sizeof m);
  auto index = static_cast<std::int16_t>(kept ? o.member_count : -1);
  m.key_at = static_cast<std::uint32_t>(p.pos);
  std::uint32_t key_len = 0;
  if (!read_string(p, m.key, sizeof m.key, &key_len, index,
                   JsonRole::kTopKey)) {
    return false;
  }
  m.key_cut = key_len + 1 > sizeof m.key;
  m.key_end = static_cast<std::uint32_t>(p.pos - 1);
  skip_space(p);
  if (p.pos >= p.s.size() || p.s[p.pos] != ':') {
    return fail(p, "expected \":\"");
  }
  m.colon_at = static_cast<std::uint32_t>(p.pos++);
  skip_space(p);
  m.value_at = static_cast<std::uint32_t>(p.pos);
  bool ok;
  if (p.pos < p.s.size() && p.s[p.pos] == '"') {
    m.kind = JsonKind::kString;
    ok = read_string(p, m.value, sizeof m.value, &m.value_len, index,
                     JsonRole::kTopValue);
  } else {
    m.kind = JsonKind::kOther;
    ok = read_value(p, 1, index);
  }
  m.value_end = static_cast<std::uint32_t>(p.pos);
  if (ok && kept) {
    ++o.member_count;
  }
  return ok;
}

bool read_top(Parser& p) {
  skip_space(p);
  if (p.pos >= p.s.size() || p.s[p.pos] != '{') {
    return fail(p, "not a JSON object");
  }
  ++p.pos;
  skip_space(p);
  if (p.pos < p.s.size() && p.s[p.pos] == '}') {
    ++p.pos;
    return true;
  }
  for (;;) {
    skip_space(p);
    if (p.pos >= p.s.size() || p.s[p.pos] != '"') {
      return fail(p, "expected a string key");
    }
    if (!read_member(p)) {
      return false;
    }
    skip_space(p);
    if (p.pos < p.s.size() && p.s[p.pos] == ',') {
      ++p.pos;
      continue;
    }
    if (p.pos < p.s.size() && p.s[p.pos] == '}') {
      ++p.pos;
      return true;
    }
    return fail(p, "expected \",\" or \"}\"");
  }
}

}  // namespace

void json_check(std::string_view text, std::size_t string_limit,
                JsonCheck& out) {
  out.utf8_ok = true;
  out.bad_utf8_at = 0;
  out.valid = false;
  out.error_at = 0;
  out.error[0] = '\0';
  out.member_count = 0;
  out.members_cut = false;
  out.string_count = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = utf8_length(text, i);
    if (n == 0) {
      out.utf8_ok = false;
      out.bad_utf8_at = static_cast<std::uint32_t>(i);
      break;
    }
    i += n;
  }
  Parser p{ text, 0, string_limit, out, false };
  if (!read_top(p)) {
    return;
  }
  skip_space(p);
  if (p.pos < text.size()) {
    fail(p, "text after the object");
    return;
  }
  out.valid = true;
}

const JsonString* json_string_at(const JsonCheck& c, std::size_t offset) {
  for (int i = 0; i < c.string_count; ++i) {
    if (c.strings[i].at <= offset && offset <= c.strings[i].end) {
      return &c.strings[i];
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
