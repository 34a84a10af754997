#include "tools/out.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "amsd/base/fd_io.h"
#include "amsd/base/text.h"
#include "tools/json_text.h"

void out_flush(Out& o) {
  std::size_t done = 0;
  while (done < o.len && !o.failed) {
    ssize_t n = fd_write(o.fd, o.buf + done, o.len - done);
    if (n <= 0) {
      o.failed = true;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  o.len = 0;
}

void out_put(Out& o, std::string_view s) {
  while (!s.empty()) {
    if (o.len == sizeof o.buf) {
      out_flush(o);
    }
    std::size_t room = sizeof o.buf - o.len;
    std::size_t n = s.size() < room ? s.size() : room;
    std::memcpy(o.buf + o.len, s.data(), n);
    o.len += n;
    s.remove_prefix(n);
  }
}

void out_char(Out& o, char c) {
  if (o.len == sizeof o.buf) {
    out_flush(o);
  }
  o.buf[o.len++] = c;
}

void out_int(Out& o, std::int64_t v) {
  char digits[24];
  out_put(o, std::string_view(digits, put_decimal(digits, v)));
}

void out_printf(Out& o, const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  if (n > 0) {
    std::size_t len = static_cast<std::size_t>(n);
    out_put(o,
            std::string_view(text, len < sizeof text ? len : sizeof text - 1));
  }
}

namespace {

// Bytes that stand for themselves in JSON and on a terminal alike.
bool plain(unsigned char u) {
  return u >= 0x20 && u < 0x7F && u != '"' && u != '\\';
}

}  // namespace

void out_json_string(Out& o, std::string_view s) {
  out_char(o, '"');
  char esc[JSON_ESCAPE_MAX];
  for (std::size_t i = 0; i < s.size();) {
    std::size_t run = i;
    while (run < s.size() && plain(static_cast<unsigned char>(s[run]))) {
      ++run;
    }
    if (run > i) {
      out_put(o, slice(s, i, run - i));
      i = run;
      continue;
    }
    out_put(o, std::string_view(esc, json_escape_next(s, i, esc)));
  }
  out_char(o, '"');
}

void out_escaped(Out& o, std::string_view s) {
  // Shorter runs read better written out.
  constexpr std::size_t NUL_RUN = 4;
  for (std::size_t i = 0; i < s.size();) {
    auto u = static_cast<unsigned char>(s[i]);
    if (u == 0) {
      std::size_t k = i;
      while (k < s.size() && s[k] == '\0') {
        ++k;
      }
      if (k - i >= NUL_RUN) {
        out_printf(o, "\\x00{%zu}", k - i);
        i = k;
        continue;
      }
    }
    if (u == '\\') {
      out_put(o, "\\\\");
      ++i;
      continue;
    }
    std::size_t n =
        u == '\t' || (u >= 0x20 && u != 0x7F) ? utf8_length(s, i) : 0;
    if (n == 0) {
      out_printf(o, "\\x%02x", u);
      ++i;
      continue;
    }
    out_put(o, slice(s, i, n));
    i += n;
  }
}
