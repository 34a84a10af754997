#include "amsd/protocol/dispatch.h"

#include <cstring>
#include <string_view>

#include "amsd/base/text.h"
#include "amsd/protocol/event_line.h"
#include "amsd/protocol/events.h"
#include "amsd/protocol/picker.h"
#include "amsd/protocol/reply.h"
#include "amsd/protocol/rescan.h"
#include "amsd/protocol/start_kill.h"
#include "amsd/protocol/tables.h"
#include "amsd/protocol/views.h"

namespace {

// The command word and at most two arguments; "resolve" uses both.
constexpr int MAX_WORDS = 3;

struct Command {
  std::string_view words[MAX_WORDS];
  int count;

  // The i-th word, empty when the line has none.
  std::string_view arg(int i) const { return i < count ? words[i] : ""; }
};

void status_line(ProtocolTables& t, const Command&, Reply& out) {
  status_view(t.registry, out);
}

void list_line(ProtocolTables& t, const Command&, Reply& out) {
  list_view(t.registry, out);
}

void rescan_line(ProtocolTables& t, const Command&, Reply& out) {
  rescan_logged(t.registry, t.log, t.apps_dir, true);
  reply_printf(out, "OK rescan %d app(s)\n", t.registry.app_count);
}

void history_line(ProtocolTables& t, const Command& c, Reply& out) {
  history_view(t.registry, c.arg(1), out);
}

void start_line(ProtocolTables& t, const Command& c, Reply& out) {
  start_command(t, c.arg(1), out);
}

void kill_line(ProtocolTables& t, const Command& c, Reply& out) {
  kill_command(t, c.arg(1), out);
}

void resolve_line(ProtocolTables& t, const Command& c, Reply& out) {
  resolve_reply(t.registry, c.arg(1), c.arg(2), out);
}

void picker_line(ProtocolTables& t, const Command& c, Reply& out) {
  picker_command(t.registry, t.picks, t.log, t.ipc_sock_path, c.arg(1), out);
}

void picker_status_line(ProtocolTables& t, const Command& c, Reply& out) {
  picker_status(t.picks, c.arg(1), out);
}

struct CommandEntry {
  std::string_view word;
  // The reply when the argument is missing; nullptr when it is optional.
  const char* needs;
  void (*run)(ProtocolTables& t, const Command& c, Reply& out);
};

// Matched in this order; the first equal word runs.
constexpr CommandEntry COMMANDS[] = {
  { "status", nullptr, status_line },
  { "list", nullptr, list_line },
  { "rescan", nullptr, rescan_line },
  { "history", nullptr, history_line },
  { "start", "ERR start needs <pkg>[/<act>]\n", start_line },
  { "kill", "ERR kill needs <pkg>\n", kill_line },
  { "resolve", "ERR resolve needs <pkg> <activity>\n", resolve_line },
  { "picker", "ERR picker needs <action>\n", picker_line },
  { "picker-status", nullptr, picker_status_line },
};

}  // namespace

bool dispatch_line(ProtocolTables& t, Peer& peer, char* line, char* reply,
                   std::size_t room) {
  std::size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) {
    line[--n] = '\0';
  }
  if (n == 0) {
    return false;
  }
  std::string_view s(line, n);
  EventLine ev = read_event_line(s);
  if (ev.kind != EventKind::kCommand) {
    handle_event(t, peer, ev);
    return false;
  }
  Command c;
  c.count = split_words(s, c.words, MAX_WORDS);
  if (c.count == 0) {
    return false;
  }
  Reply out = reply_start(reply, room);
  for (const CommandEntry& e : COMMANDS) {
    if (c.words[0] != e.word) {
      continue;
    }
    if (e.needs && c.count < 2) {
      reply_printf(out, "%s", e.needs);
      return true;
    }
    e.run(t, c, out);
    // Only "picker-status" may end up with nothing to say.
    return e.run != picker_status_line || out.len > 0;
  }
  reply_printf(out, "ERR unknown cmd: %.*s\n", text_len(c.words[0]),
               c.words[0].data());
  return true;
}
