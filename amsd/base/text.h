// Bounded text helpers shared by every part of the project. Text enters
// fixed records only through copy_text; paths are built with format_path,
// which refuses instead of cutting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Copies src into dst (capacity cap), cut to fit; always NUL-terminated when
// cap > 0. Returns true when src was cut.
bool copy_text(char* dst, std::size_t cap, std::string_view src);

template <std::size_t N>
bool copy_text(char (&dst)[N], std::string_view src) {
  return copy_text(dst, N, src);
}

// snprintf into dst. Returns the length written, or -1 when the text would
// not fit whole (dst then holds the cut text) or formatting failed.
[[gnu::format(printf, 3, 4)]] int format_path(char* dst, std::size_t cap,
                                              const char* fmt, ...);

// s.substr(pos, n) that never throws: pos is held at the end of s. The
// daemon carries no exception support, and substr would pull it in.
inline std::string_view slice(std::string_view s, std::size_t pos,
                              std::size_t n = std::string_view::npos) {
  if (pos > s.size()) {
    pos = s.size();
  }
  std::size_t left = s.size() - pos;
  return std::string_view(s.data() + pos, n < left ? n : left);
}

// The length of s as printf's "%.*s" takes it.
inline int text_len(std::string_view s) {
  return static_cast<int>(s.size());
}

// A blank of a manifest or a tool's output: space or tab.
inline bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// White space as the C library's number readers skip it.
inline bool is_space(char c) {
  return is_blank(c) || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Splits at the space character only: runs of spaces count as one, leading
// spaces are skipped, words are never empty. Returns the number of words
// stored (at most max).
int split_words(std::string_view line, std::string_view* words, int max);

// Reads a decimal integer the way the protocol does: leading white space
// and one sign allowed, reading stops at the first non-digit, no digits
// gives 0, and a value beyond [lo, hi] is held at the nearer limit.
std::int64_t parse_clamped(std::string_view word, std::int64_t lo,
                           std::int64_t hi);
std::int32_t parse_i32(std::string_view word);
std::int64_t parse_i64(std::string_view word);

// The value of one hex digit, either case; -1 for any other character.
int hex_digit(char c);

// Writes v in decimal at out (room for 20 characters needed, no NUL) and
// returns the count: "%ld" without printf's cost on a hot path.
std::size_t put_decimal(char* out, std::int64_t v);

// Fixed buffers only: make the unbounded copies a compile error under -Werror.
extern "C" {
[[deprecated("use copy_text")]] char* strcpy(char* __restrict,
                                             const char* __restrict) noexcept;
[[deprecated("use copy_text")]] char* strcat(char* __restrict,
                                             const char* __restrict) noexcept;
[[deprecated("use format_path")]] int sprintf(char* __restrict,
                                              const char* __restrict,
                                              ...) noexcept;
}
