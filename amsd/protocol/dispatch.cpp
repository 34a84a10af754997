#include "amsd/protocol/dispatch.h"

#include <cstring>
#include <string_view>

#include "amsd/core/daemon.h"
#include "amsd/core/text.h"
#include "amsd/protocol/events.h"
#include "amsd/protocol/picker.h"
#include "amsd/protocol/reply.h"
#include "amsd/protocol/start_kill.h"
#include "amsd/registry/routes.h"
#include "amsd/registry/scan.h"

namespace {

// The command word and at most two arguments; "resolve" uses both.
constexpr int MAX_WORDS = 3;

struct Command {
  std::string_view words[MAX_WORDS];
  int count;

  std::string_view arg(int i) const { return i < count ? words[i] : ""; }
};

int len(std::string_view s) {
  return static_cast<int>(s.size());
}

const char* exit_word(int exit_kind) {
  switch (exit_kind) {
  case 1:
    return "exit";
  case 2:
    return "sig";
  default:
    return "clean";
  }
}

bool is_running(const AppRecord& a) {
  return a.run_state != 0 && a.pid > 0;
}

bool status_view(Daemon& d, const Command&, Reply& out) {
  reply_printf(out, "# amd status (running apps)\n");
  std::uint64_t now = monotonic_ms();
  bool any = false;
  for (int i = 0; i < d.registry.app_count; ++i) {
    const AppRecord& a = d.registry.apps[i];
    if (!is_running(a)) {
      continue;
    }
    unsigned long long ms = a.start_ms != 0 ? now - a.start_ms : 0;
    reply_printf(out, "RUN %s %s %ld %llu %s\n", a.pkg, "fg",
                 static_cast<long>(a.pid), ms, a.activity);
    any = true;
  }
  if (!any) {
    reply_printf(out, "(none running)\n");
  }
  return true;
}

bool list_view(Daemon& d, const Command&, Reply& out) {
  reply_printf(out, "# amd register+state\n");
  for (int i = 0; i < d.registry.app_count; ++i) {
    const AppRecord& a = d.registry.apps[i];
    reply_printf(out, "APP %s %s %s %ld %d %d %s %d\n", a.pkg, a.name,
                 a.run_state == 1 ? "fg" : "stop", static_cast<long>(a.pid),
                 a.launch_count, a.crash_count, exit_word(a.exit_kind),
                 a.exit_code);
  }
  return true;
}

void history_lines(const AppRecord& a, Reply& out) {
  for (int i = 0; i < a.history_count; ++i) {
    const HistoryEvent& ev = history_at(a, i);
    reply_printf(out, "EVT %ld %ld %s %s %s\n", static_cast<long>(ev.ts),
                 static_cast<long>(ev.up), ev.kind, a.pkg, ev.detail);
  }
}

bool history_view(Daemon& d, const Command& c, Reply& out) {
  if (c.count < 2) {
    reply_printf(out, "# amd history %s\n", "(all)");
    for (int i = 0; i < d.registry.app_count; ++i) {
      history_lines(d.registry.apps[i], out);
    }
    return true;
  }
  std::string_view pkg = c.words[1];
  reply_printf(out, "# amd history %.*s\n", len(pkg), pkg.data());
  const AppRecord* app = find_app(d.registry, pkg);
  if (!app) {
    reply_printf(out, "(no such app %.*s)\n", len(pkg), pkg.data());
    return true;
  }
  history_lines(*app, out);
  return true;
}

bool rescan_command(Daemon& d, const Command&, Reply& out) {
  registry_scan(d.registry, d.log, d.cfg.apps_dir, true);
  reply_printf(out, "OK rescan %d app(s)\n", d.registry.app_count);
  return true;
}

bool start_line(Daemon& d, const Command& c, Reply& out) {
  if (c.count < 2) {
    reply_printf(out, "ERR start needs <pkg>[/<act>]\n");
    return true;
  }
  start_command(d, c.words[1], out);
  return true;
}

bool kill_line(Daemon& d, const Command& c, Reply& out) {
  if (c.count < 2) {
    reply_printf(out, "ERR kill needs <pkg>\n");
    return true;
  }
  kill_command(d, c.words[1], out);
  return true;
}

bool resolve_line(Daemon& d, const Command& c, Reply& out) {
  // A missing activity reaches resolve_route as empty; it says the same.
  resolve_route(d.registry, c.arg(1), c.arg(2), out);
  return true;
}

bool picker_line(Daemon& d, const Command& c, Reply& out) {
  if (c.count < 2) {
    reply_printf(out, "ERR picker needs <action>\n");
    return true;
  }
  picker_command(d, c.words[1], out);
  return true;
}

bool picker_status_line(Daemon& d, const Command& c, Reply& out) {
  picker_status(d, c.arg(1), out);
  return out.len > 0;
}

struct CommandEntry {
  std::string_view word;
  bool (*run)(Daemon& d, const Command& c, Reply& out);
};

// Matched in this order; the first equal word runs.
constexpr CommandEntry kCommands[] = {
  { "status", status_view },
  { "list", list_view },
  { "rescan", rescan_command },
  { "history", history_view },
  { "start", start_line },
  { "kill", kill_line },
  { "resolve", resolve_line },
  { "picker", picker_line },
  { "picker-status", picker_status_line },
};

bool is_event_line(std::string_view s) {
  return s.starts_with("EV ") || s.starts_with("DECLARE ") ||
         s.starts_with("PICKER_");
}

}  // namespace

bool dispatch_line(Daemon& d, Peer& peer, char* line, char* reply,
                   std::size_t room) {
  std::size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) {
    line[--n] = '\0';
  }
  if (n == 0) {
    return false;
  }
  std::string_view s(line, n);
  if (is_event_line(s)) {
    handle_event_line(d, peer, line);
    return false;
  }
  Command c;
  c.count = split_words(s, c.words, MAX_WORDS);
  if (c.count == 0) {
    return false;
  }
  Reply out = reply_start(reply, room);
  for (const CommandEntry& e : kCommands) {
    if (c.words[0] == e.word) {
      return e.run(d, c, out);
    }
  }
  reply_printf(out, "ERR unknown cmd: %.*s\n", len(c.words[0]),
               c.words[0].data());
  return true;
}
