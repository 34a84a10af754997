#include "amsd/base/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void console_line(const char* prefix, const char* fmt, ...) {
  char line[4096 + 1];  // the text and its newline
  constexpr std::size_t ROOM = sizeof line - 1;
  std::size_t n = strnlen(prefix, ROOM - 1);
  std::memcpy(line, prefix, n);
  va_list ap;
  va_start(ap, fmt);
  int text = std::vsnprintf(line + n, ROOM - n, fmt, ap);
  va_end(ap);
  if (text > 0) {
    std::size_t end = n + static_cast<std::size_t>(text);
    n = end < ROOM - 1 ? end : ROOM - 1;
  }
  line[n++] = '\n';
  std::fwrite(line, 1, n, stderr);
}
