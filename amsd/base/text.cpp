#include "amsd/base/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

bool copy_text(char* dst, std::size_t cap, std::string_view src) {
  if (cap == 0) {
    return !src.empty();
  }
  std::size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
  if (n > 0) {  // an empty view may carry no pointer at all
    std::memcpy(dst, src.data(), n);
  }
  dst[n] = '\0';
  return n < src.size();
}

int format_path(char* dst, std::size_t cap, const char* fmt, ...) {
  if (cap == 0) {
    return -1;
  }
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(dst, cap, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<std::size_t>(n) >= cap) {
    return -1;
  }
  return n;
}

int split_words(std::string_view line, std::string_view* words, int max) {
  int n = 0;
  std::size_t i = 0;
  while (n < max) {
    while (i < line.size() && line[i] == ' ') {
      ++i;
    }
    if (i >= line.size()) {
      break;
    }
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ') {
      ++i;
    }
    words[n++] = slice(line, start, i - start);
  }
  return n;
}

std::int64_t parse_clamped(std::string_view word, std::int64_t lo,
                           std::int64_t hi) {
  std::size_t i = 0;
  while (i < word.size() && is_space(word[i])) {
    ++i;
  }
  bool neg = false;
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) {
    neg = word[i] == '-';
    ++i;
  }
  // Accumulate towards the sign's limit so the most negative value fits.
  std::int64_t v = 0;
  bool over = false;
  constexpr std::int64_t VALUE_MAX = std::numeric_limits<std::int64_t>::max();
  for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i) {
    int d = word[i] - '0';
    if (over) {
      continue;
    }
    if (v > (VALUE_MAX - d) / 10) {
      over = true;
      continue;
    }
    v = v * 10 + d;
  }
  if (over) {
    return neg ? lo : hi;
  }
  if (neg) {
    v = -v;
  }
  if (v < lo) {
    return lo;
  }
  if (v > hi) {
    return hi;
  }
  return v;
}

std::int32_t parse_i32(std::string_view word) {
  return static_cast<std::int32_t>(
      parse_clamped(word, std::numeric_limits<std::int32_t>::min(),
                    std::numeric_limits<std::int32_t>::max()));
}

std::int64_t parse_i64(std::string_view word) {
  return parse_clamped(word, std::numeric_limits<std::int64_t>::min(),
                       std::numeric_limits<std::int64_t>::max());
}

std::size_t put_decimal(char* out, std::int64_t v) {
  char digits[20];
  std::size_t n = 0;
  // Negated digit by digit, so the most negative value needs no special case.
  std::int64_t rest = v;
  do {
    std::int64_t d = rest % 10;
    digits[n++] = static_cast<char>('0' + (d < 0 ? -d : d));
    rest /= 10;
  } while (rest != 0);
  std::size_t len = 0;
  if (v < 0) {
    out[len++] = '-';
  }
  while (n > 0) {
    out[len++] = digits[--n];
  }
  return len;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}
