#include "amsd/protocol/events.h"

#include <cstdio>
#include <limits>

#include "amsd/base/clock.h"
#include "amsd/base/text.h"
#include "amsd/log/capture.h"
#include "amsd/log/clock.h"
#include "amsd/log/service_log.h"
#include "amsd/protocol/crash_notice.h"
#include "amsd/protocol/picker.h"
#include "amsd/protocol/tables.h"
#include "amsd/registry/app_table.h"

namespace {

// Decoded route list of one "DECLARE" line, its NUL included.
constexpr std::size_t DECLARE_CAP = 1024;

struct Stamp {
  std::int32_t ts;  // wall-clock seconds
  std::int32_t up;  // uptime seconds
};

// The line's own ts and up when it has them, else the clocks now.
Stamp stamp_of(const ServiceLog& log, const EventLine& e) {
  Stamp s;
  s.ts = e.has_ts ? e.ts : wall_seconds();
  s.up = e.has_up ? e.up
                  : static_cast<std::int32_t>(uptime_seconds(log.uptime_path));
  return s;
}

// Counters only grow; hold them at the top rather than wrap to negative.
void count_up(std::int32_t& v) {
  if (v < std::numeric_limits<std::int32_t>::max()) {
    ++v;
  }
}

void handle_launch(Registry& reg, ServiceLog& log, StdoutSession& capture,
                   const char* card_root, const EventLine& e) {
  Stamp st = stamp_of(log, e);
  AppRecord* app = find_or_add_app(reg, e.pkg);
  if (!app) {
    return;  // table full: the launch leaves no trace
  }
  app->pid = e.pid;
  app->run_state = RunState::kRunning;
  copy_text(app->activity, e.activity);
  copy_text(app->chain, e.chain);
  app->start_ms = monotonic_ms();
  count_up(app->launch_count);
  app->exit_kind = ExitKind::kClean;
  app->exit_code = 0;

  char detail[sizeof HistoryEvent::detail];
  std::snprintf(detail, sizeof detail, "act=%s chain=%.64s pid=%ld",
                app->activity, app->chain, static_cast<long>(e.pid));
  record_event(*app, "launch", detail, st.ts, st.up);
  amsd_log(log, "LAUNCH %.*s %s %s pid=%ld", text_len(e.pkg), e.pkg.data(),
           app->activity, app->chain, static_cast<long>(e.pid));
  stdout_session_open(capture, log, card_root, e.pkg, e.pid, st.ts);
}

void handle_exit(Registry& reg, ServiceLog& log, StdoutSession& capture,
                 const char* crash_sock_path, const EventLine& e) {
  Stamp st = stamp_of(log, e);
  AppRecord* app = find_app(reg, e.pkg);
  if (!app) {
    stdout_session_close(capture, e.pkg);
    return;
  }
  std::string_view kind = e.exit_word;
  std::int32_t code = e.code;
  long long dur = e.dur_ms;
  bool sig = kind == "sig";
  bool abnormal = sig || (kind == "exit" && code != 0);
  app->run_state = RunState::kStopped;
  app->pid = 0;
  app->exit_code = code;
  app->exit_kind = sig         ? ExitKind::kSignal
                   : code != 0 ? ExitKind::kExit
                               : ExitKind::kClean;

  char detail[sizeof HistoryEvent::detail];
  if (abnormal) {
    count_up(app->crash_count);
    send_crash_notice(crash_sock_path, e.pkg, kind, code, st.ts, st.up);
    std::snprintf(detail, sizeof detail, "%.*s=%d dur=%lldms crash=%d",
                  text_len(kind), kind.data(), code, dur, app->crash_count);
  } else {
    std::snprintf(detail, sizeof detail, "%.*s=%d dur=%lldms", text_len(kind),
                  kind.data(), code, dur);
  }
  record_event(*app, abnormal ? "crash" : "exit", detail, st.ts, st.up);
  amsd_log(log, "EXIT %.*s %.*s=%d dur=%lld abnormal=%d", text_len(e.pkg),
           e.pkg.data(), text_len(kind), kind.data(), code, dur,
           abnormal ? 1 : 0);
  stdout_session_close(capture, e.pkg);
}

// entry is "key=value"; one without "=", or starting with it, is skipped.
void declare_route(AppRecord& app, std::string_view entry) {
  std::size_t eq = entry.find('=');
  if (eq != std::string_view::npos && eq != 0) {
    route_set(app, slice(entry, 0, eq), slice(entry, eq + 1));
  }
}

// The hex word holds NUL-ended "key=value" entries up to an empty one.
void handle_declare(Registry& reg, ServiceLog& log, const EventLine& e) {
  AppRecord* app = find_or_add_app(reg, e.pkg);
  if (!app) {
    return;
  }
  char buf[DECLARE_CAP];
  std::string_view rest(buf, static_cast<std::size_t>(hex_decode(e.hex, buf)));
  while (!rest.empty()) {
    std::size_t end = rest.find('\0');
    std::string_view entry = slice(rest, 0, end);
    if (entry.empty()) {
      break;
    }
    declare_route(*app, entry);
    if (end == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(end + 1);
  }
  amsd_log(log, "DECLARE %.*s n=%.*s routes=%d", text_len(e.pkg), e.pkg.data(),
           text_len(e.count_word), e.count_word.data(), app->route_count);
}

}  // namespace

int hex_decode(std::string_view hex, char* out, std::size_t cap) {
  if (cap == 0) {
    return 0;
  }
  std::size_t n = 0;
  for (std::size_t i = 0; i + 1 < hex.size() && n < cap - 1; i += 2) {
    int hi = hex_digit(hex[i]);
    int lo = hex_digit(hex[i + 1]);
    if (hi < 0 || lo < 0) {
      break;
    }
    out[n++] = static_cast<char>(hi << 4 | lo);
  }
  out[n] = '\0';
  return static_cast<int>(n);
}

void handle_event(ProtocolTables& t, Peer& peer, const EventLine& e) {
  if (e.report &&
      !peer_may_report(peer, TrustRule{ t.ipc_sock_path, t.launcher_uid },
                       t.log)) {
    return;
  }
  switch (e.kind) {
  case EventKind::kLaunch:
    handle_launch(t.registry, t.log, t.capture, t.card_root, e);
    break;
  case EventKind::kExit:
    handle_exit(t.registry, t.log, t.capture, t.crash_sock_path, e);
    break;
  case EventKind::kOut:
    stdout_session_append(t.capture, t.log, e.pkg, e.pid, e.ts, e.up, e.text);
    break;
  case EventKind::kDeclare:
    handle_declare(t.registry, t.log, e);
    break;
  case EventKind::kPickerCall:
    picker_call(t.registry, t.picks, t.log, t.ipc_sock_path, e.pkg, e.req,
                e.action, nullptr);
    break;
  case EventKind::kPickerResult: {
    char value[PICKER_VALUE_CAP];
    hex_decode(e.hex, value);
    picker_complete(t.picks, t.registry, t.log, e.req, e.action, e.code, value);
    break;
  }
  case EventKind::kCommand:
  case EventKind::kMalformed:
    break;
  }
}
