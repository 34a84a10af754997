#include "amsd/protocol/reply.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

Reply reply_start(char* buf, std::size_t room) {
  if (room > 0) {
    buf[0] = '\0';
  }
  return Reply{ buf, room, 0 };
}

void reply_printf(Reply& r, const char* fmt, ...) {
  if (r.len + 1 >= r.room) {
    return;  // full, or no room at all
  }
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(r.buf + r.len, r.room - r.len, fmt, ap);
  va_end(ap);
  if (n < 0) {
    r.buf[r.len] = '\0';
    return;
  }
  // Measured, not taken from n: the text may have been cut.
  r.len += strnlen(r.buf + r.len, r.room - r.len - 1);
}
