// Output of the tools: one fixed buffer in front of a descriptor, with the
// escapings that text from a card or an app needs (a power cut or a
// manifest leaves any bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct Out {
  int fd = 1;
  bool failed = false;  // a write failed: the reader went away
  std::size_t len = 0;
  char buf[65536];
};

void out_flush(Out& o);
void out_put(Out& o, std::string_view s);
void out_char(Out& o, char c);
void out_int(Out& o, std::int64_t v);
[[gnu::format(printf, 2, 3)]] void out_printf(Out& o, const char* fmt, ...);

// A JSON string, quotes included: escaped as JSON requires, and bytes that
// are not UTF-8 become U+FFFD.
void out_json_string(Out& o, std::string_view s);

// Bytes for a terminal: UTF-8 and tabs as they are; other control bytes,
// bytes that are not UTF-8 and backslashes escaped ("\x00", "\\"); a run of
// NUL bytes, as a power cut leaves on a card, once with its count.
void out_escaped(Out& o, std::string_view s);
