#include "amsd/protocol/dispatch.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "amsd/core/daemon.h"
#include "amsd/core/text.h"

// Interim dispatcher: event lines get no reply, every command is unknown.
bool dispatch_line(Daemon&, char* line, char* reply, std::size_t room) {
  std::string_view s = line;
  if (s.starts_with("EV ") || s.starts_with("DECLARE ") ||
      s.starts_with("PICKER_")) {
    return false;
  }
  std::string_view w[1];
  if (split_words(s, w, 1) < 1) {
    return false;
  }
  std::snprintf(reply, room, "ERR unknown cmd: %.*s\n",
                static_cast<int>(w[0].size()), w[0].data());
  return true;
}
