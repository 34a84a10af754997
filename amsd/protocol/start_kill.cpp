#include "amsd/protocol/start_kill.h"

#include <signal.h>
#include <unistd.h>

#include <cstdint>

#include "amsd/base/clock.h"
#include "amsd/base/text.h"
#include "amsd/launcher/frame.h"
#include "amsd/launcher/launcher_client.h"
#include "amsd/log/clock.h"
#include "amsd/log/service_log.h"
#include "amsd/protocol/tables.h"
#include "amsd/registry/app_table.h"

namespace {

std::int32_t uptime_now(const ServiceLog& log) {
  return static_cast<std::int32_t>(uptime_seconds(log.uptime_path));
}

// Any local client can set the recorded pid with an "EV LAUNCH" line, so
// the fallback must never reach init or the daemon itself.
bool may_signal(std::int32_t pid) {
  return pid > 1 && pid != getpid();
}

}  // namespace

void start_command(ProtocolTables& t, std::string_view arg, Reply& out) {
  // The cut comes before the split: package, "/" and activity share the
  // 31 bytes of the package slot.
  char text[sizeof StartRequest::pkg];
  copy_text(text, arg);
  std::string_view pkg = text;
  std::string_view act;
  if (std::size_t slash = pkg.find('/'); slash != std::string_view::npos) {
    act = slice(pkg, slash + 1);
    pkg = slice(pkg, 0, slash);
  }
  AppRecord* app = find_app(t.registry, pkg);
  if (!app) {
    reply_printf(out, "ERR pkg not registered: %.*s\n", text_len(pkg),
                 pkg.data());
    return;
  }
  StartRequest r = make_start_request(pkg, act);
  std::uint32_t code = 0;
  int rc = launcher_call(t.ipc_sock_path, MSG_START, &r, sizeof r, &code);
  bool forwarded = rc == 0 && code == LAUNCH_ACCEPTED;
  if (forwarded) {
    record_event(*app, "ams_start", "intent (forwarded)", wall_seconds(),
                 uptime_now(t.log));
    amsd_log(t.log, "AMS start %.*s%s%.*s forwarded to launcher", text_len(pkg),
             pkg.data(), act.empty() ? "" : "/", text_len(act), act.data());
  } else if (rc == 0 && code == LAUNCH_BUSY) {
    amsd_log(t.log, "AMS start %.*s -> BUSY (app running)", text_len(pkg),
             pkg.data());
  } else {
    amsd_log(t.log, "AMS start %.*s -> launcher offline", text_len(pkg),
             pkg.data());
  }
  // Only the log says why a start failed.
  std::string_view shown = act.empty() ? "(default)" : act;
  reply_printf(out, "%s %.*s/%.*s\n", forwarded ? "OK" : "ERR", text_len(pkg),
               pkg.data(), text_len(shown), shown.data());
}

void kill_command(ProtocolTables& t, std::string_view arg, Reply& out) {
  AppRecord* app = find_app(t.registry, arg);
  if (!app) {
    reply_printf(out, "ERR pkg not registered: %.*s\n", text_len(arg),
                 arg.data());
    return;
  }
  if (!app_is_running(*app)) {
    reply_printf(out, "ERR not running: %.*s\n", text_len(arg), arg.data());
    return;
  }
  KillRequest r = make_kill_request(arg);
  std::uint32_t code = 0;
  int rc = launcher_call(t.ipc_sock_path, MSG_KILL, &r, sizeof r, &code);
  if (rc == 0 && code != LAUNCH_ACCEPTED) {
    amsd_log(t.log, "AMS kill %.*s -> launcher refused code=%u", text_len(arg),
             arg.data(), code);
    reply_printf(out, "ERR launcher refused: %.*s (code=%u)\n", text_len(arg),
                 arg.data(), code);
    return;
  }
  if (rc != 0) {
    if (!may_signal(app->pid)) {
      amsd_log(t.log, "AMS kill %.*s -> launcher offline", text_len(arg),
               arg.data());
      reply_printf(out, "ERR launcher offline\n");
      return;
    }
    // Whether the process still exists is the launcher's to report.
    kill(app->pid, SIGTERM);
    amsd_log(t.log, "AMS kill %.*s -> direct SIGTERM (launcher offline)",
             text_len(arg), arg.data());
  }
  record_event(*app, "ams_kill", "terminate (via launcher)", wall_seconds(),
               uptime_now(t.log));
  reply_printf(out, "OK terminate %.*s\n", text_len(arg), arg.data());
  amsd_log(t.log, "AMS kill %.*s -> terminate", text_len(arg), arg.data());
}
