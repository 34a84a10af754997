#include "tools/json_text.h"

#include <cstring>

std::size_t utf8_length(std::string_view s, std::size_t i) {
  auto at = [&](std::size_t k) {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
  };
  unsigned b0 = at(0);
  if (b0 < 0x80) {
    return 1;
  }
  auto cont = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return at(k) >= lo && at(k) <= hi;
  };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    return cont(1) ? 2 : 0;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80;
    unsigned hi = b0 == 0xED ? 0x9F : 0xBF;
    return cont(1, lo, hi) && cont(2) ? 3 : 0;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    unsigned lo = b0 == 0xF0 ? 0x90 : 0x80;
    unsigned hi = b0 == 0xF4 ? 0x8F : 0xBF;
    return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

std::size_t json_escape_next(std::string_view s, std::size_t& i, char* out) {
  auto u = static_cast<unsigned char>(s[i]);
  if (u == '"' || u == '\\') {
    out[0] = '\\';
    out[1] = static_cast<char>(u);
    ++i;
    return 2;
  }
  if (u < 0x20 || u == 0x7F) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::memcpy(out, "\\u00", 4);
    out[4] = HEX[u >> 4];
    out[5] = HEX[u & 15];
    ++i;
    return JSON_ESCAPE_MAX;
  }
  std::size_t n = utf8_length(s, i);
  if (n == 0) {
    std::memcpy(out, "\\ufffd", JSON_ESCAPE_MAX);
    ++i;
    return JSON_ESCAPE_MAX;
  }
  std::memcpy(out, s.data() + i, n);
  i += n;
  return n;
}
