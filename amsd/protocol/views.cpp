#include "amsd/protocol/views.h"

#include <cstdint>

#include "amsd/base/clock.h"
#include "amsd/base/text.h"
#include "amsd/registry/routes.h"

static const char* exit_word(ExitKind kind) {
  switch (kind) {
  case ExitKind::kExit:
    return "exit";
  case ExitKind::kSignal:
    return "sig";
  case ExitKind::kClean:
    break;
  }
  return "clean";
}

void status_view(const Registry& reg, Reply& out) {
  reply_printf(out, "# amd status (running apps)\n");
  std::uint64_t now = monotonic_ms();
  bool any = false;
  for (int i = 0; i < reg.app_count; ++i) {
    const AppRecord& a = reg.apps[i];
    if (!app_is_running(a)) {
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
}

void list_view(const Registry& reg, Reply& out) {
  reply_printf(out, "# amd register+state\n");
  for (int i = 0; i < reg.app_count; ++i) {
    const AppRecord& a = reg.apps[i];
    reply_printf(out, "APP %s %s %s %ld %d %d %s %d\n", a.pkg, a.name,
                 a.run_state == RunState::kRunning ? "fg" : "stop",
                 static_cast<long>(a.pid), a.launch_count, a.crash_count,
                 exit_word(a.exit_kind), a.exit_code);
  }
}

static void history_lines(const AppRecord& a, Reply& out) {
  for (int i = 0; i < a.history_count; ++i) {
    const HistoryEvent& ev = history_at(a, i);
    reply_printf(out, "EVT %ld %ld %s %s %s\n", static_cast<long>(ev.ts),
                 static_cast<long>(ev.up), ev.kind, a.pkg, ev.detail);
  }
}

void history_view(const Registry& reg, std::string_view pkg, Reply& out) {
  if (pkg.empty()) {
    reply_printf(out, "# amd history %s\n", "(all)");
    for (int i = 0; i < reg.app_count; ++i) {
      history_lines(reg.apps[i], out);
    }
    return;
  }
  reply_printf(out, "# amd history %.*s\n", text_len(pkg), pkg.data());
  const AppRecord* app = find_app(reg, pkg);
  if (!app) {
    reply_printf(out, "(no such app %.*s)\n", text_len(pkg), pkg.data());
    return;
  }
  history_lines(*app, out);
}

void resolve_reply(const Registry& reg, std::string_view pkg,
                   std::string_view activity, Reply& out) {
  Resolution r = resolve_route(reg, pkg, activity);
  switch (r.status) {
  case ResolveStatus::kNeedsArgs:
    reply_printf(out, "ERR resolve needs <pkg> <activity>\n");
    return;
  case ResolveStatus::kNotFound:
    reply_printf(out, "ERR resolve %.*s/%.*s failed (%d)\n", text_len(pkg),
                 pkg.data(), text_len(activity), activity.data(),
                 RESOLVE_NOT_FOUND);
    return;
  case ResolveStatus::kResolved:
    reply_printf(out, "CHAIN %.*s %.*s %d %.*s\n", text_len(pkg), pkg.data(),
                 text_len(activity), activity.data(), r.steps,
                 text_len(r.chain), r.chain.data());
    return;
  }
}
