// The reply writer: every part that answers a control-socket line appends to
// one of these, so no reply can run past the room the event loop gave.
#pragma once

#include <cstddef>

struct Reply {
  char* buf;
  std::size_t room;  // bytes at buf, the terminator included
  std::size_t len;   // text written so far, always < room
};

// A reply over room bytes at buf, holding the empty text. room may be 0, in
// which case nothing is ever written.
Reply reply_start(char* buf, std::size_t room);

// Appends printf-style text, cut at room - 1 bytes; what does not fit is
// dropped, so the lines after a cut one are lost too.
[[gnu::format(printf, 2, 3)]] void reply_printf(Reply& r, const char* fmt, ...);
