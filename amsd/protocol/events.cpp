#include "amsd/protocol/events.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "amsd/base/text.h"
#include "amsd/base/unix_addr.h"
#include "amsd/log/clock.h"
#include "amsd/log/service_log.h"
#include "amsd/protocol/capture.h"
#include "amsd/protocol/picker.h"
#include "amsd/registry/app_table.h"

namespace {

// Words taken from an "EV" line (the event word included) and from a
// "DECLARE" or "PICKER_" line; the rest of a line is ignored.
constexpr int EV_MAX_WORDS = 16;
constexpr int PEER_MAX_WORDS = 8;
// Decoded route list of one "DECLARE" line, its NUL included.
constexpr std::size_t DECLARE_CAP = 1024;
// The longest the daemon waits for a crash listener to accept, in ms.
constexpr int CRASH_NOTICE_WAIT_MS = 150;

struct Stamp {
  std::int32_t ts;  // wall-clock seconds
  std::int32_t up;  // uptime seconds
};

// The line's own ts and up when it has them, else the clocks now.
Stamp stamp_of(const ServiceLog& log, const std::string_view* ts,
               const std::string_view* up) {
  Stamp s;
  s.ts = ts ? parse_i32(*ts) : wall_seconds();
  s.up = up ? parse_i32(*up)
            : static_cast<std::int32_t>(uptime_seconds(log.uptime_path));
  return s;
}

// Counters only grow; hold them at the top rather than wrap to negative.
void count_up(std::int32_t& v) {
  if (v < std::numeric_limits<std::int32_t>::max()) {
    ++v;
  }
}

// "-" stands for none.
template <std::size_t N>
void copy_word_or_none(char (&dst)[N], std::string_view word) {
  copy_text(dst, word == "-" ? std::string_view() : word);
}

// Words: LAUNCH pkg act chain pid | LAUNCH pkg act pid ts up |
// LAUNCH pkg act chain pid ts up ...
void handle_launch(ProtocolContext& ctx, const std::string_view* w, int n) {
  if (n < 5) {
    return;
  }
  std::string_view pkg = w[1];
  std::string_view act = w[2];
  std::string_view chain = "-";
  std::string_view pid_word;
  Stamp st;
  if (n == 5) {
    chain = w[3];
    pid_word = w[4];
    st = stamp_of(ctx.log, nullptr, nullptr);
  } else if (n == 6) {
    pid_word = w[3];
    st = stamp_of(ctx.log, &w[4], &w[5]);
  } else {
    chain = w[3];
    pid_word = w[4];
    st = stamp_of(ctx.log, &w[5], &w[6]);
  }
  AppRecord* app = find_or_add_app(ctx.registry, pkg);
  if (!app) {
    return;  // table full: the launch leaves no trace
  }
  std::int32_t pid = parse_i32(pid_word);
  app->pid = pid;
  app->run_state = RunState::kRunning;
  copy_word_or_none(app->activity, act);
  copy_word_or_none(app->chain, chain);
  app->start_ms = monotonic_ms();
  count_up(app->launch_count);
  app->exit_kind = ExitKind::kClean;
  app->exit_code = 0;

  char detail[sizeof HistoryEvent::detail];
  std::snprintf(detail, sizeof detail, "act=%s chain=%.64s pid=%ld",
                app->activity, app->chain, static_cast<long>(pid));
  record_event(*app, "launch", detail, st.ts, st.up);
  amsd_log(ctx.log, "LAUNCH %.*s %s %s pid=%ld", text_len(pkg), pkg.data(),
           app->activity, app->chain, static_cast<long>(pid));
  stdout_session_open(ctx.capture, ctx.log, ctx.card_root, pkg, pid, st.ts);
}

// Waits for a non-blocking connect to finish, up to limit_ms in all.
bool wait_writable(int fd, int limit_ms) {
  std::uint64_t end = monotonic_ms() + static_cast<std::uint64_t>(limit_ms);
  for (;;) {
    std::uint64_t now = monotonic_ms();
    if (now >= end) {
      return false;
    }
    struct pollfd p = { fd, POLLOUT, 0 };
    int rc = poll(&p, 1, static_cast<int>(end - now));
    if (rc < 0 && errno == EINTR) {
      continue;
    }
    return rc > 0 && (p.revents & POLLOUT) != 0;
  }
}

// One line to whoever listens at path. Every failure is silent: the notice
// is a courtesy, and the exit is handled in full without it.
void send_crash_notice(const char* path, std::string_view pkg,
                       std::string_view kind, std::int32_t code, Stamp st) {
  char line[256];
  int n =
      std::snprintf(line, sizeof line, "SVC %.*s %.*s %d %ld %ld\n",
                    text_len(pkg), pkg.data(), text_len(kind), kind.data(),
                    code, static_cast<long>(st.ts), static_cast<long>(st.up));
  if (n <= 0) {
    return;
  }
  std::size_t size = std::strlen(line);
  // Non-blocking from the start: a listener that does not accept must not
  // hold the daemon longer than the notice's wait.
  int fd = unix_connect(path, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    return;
  }
  bool ready = errno != EINPROGRESS && errno != EAGAIN;
  if (!ready) {
    ready = wait_writable(fd, CRASH_NOTICE_WAIT_MS);
  }
  if (ready) {
    ssize_t ignored = send(fd, line, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
  }
  close(fd);
}

// Words: EXIT pkg kind code [dur_ms [ts [up]]]
void handle_exit(ProtocolContext& ctx, const std::string_view* w, int n) {
  if (n < 4) {
    return;
  }
  std::string_view pkg = w[1];
  std::string_view kind = w[2];
  std::int32_t code = parse_i32(w[3]);
  long long dur = n >= 5 ? parse_i64(w[4]) : 0;
  Stamp st =
      stamp_of(ctx.log, n >= 6 ? &w[5] : nullptr, n >= 7 ? &w[6] : nullptr);
  AppRecord* app = find_app(ctx.registry, pkg);
  if (!app) {
    stdout_session_close(ctx.capture, pkg);
    return;
  }
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
    send_crash_notice(ctx.crash_sock_path, pkg, kind, code, st);
    std::snprintf(detail, sizeof detail, "%.*s=%d dur=%lldms crash=%d",
                  text_len(kind), kind.data(), code, dur, app->crash_count);
  } else {
    std::snprintf(detail, sizeof detail, "%.*s=%d dur=%lldms", text_len(kind),
                  kind.data(), code, dur);
  }
  record_event(*app, abnormal ? "crash" : "exit", detail, st.ts, st.up);
  amsd_log(ctx.log, "EXIT %.*s %.*s=%d dur=%lld abnormal=%d", text_len(pkg),
           pkg.data(), text_len(kind), kind.data(), code, dur,
           abnormal ? 1 : 0);
  stdout_session_close(ctx.capture, pkg);
}

// entry is "key=value"; one without "=", or starting with it, is skipped.
void declare_route(AppRecord& app, std::string_view entry) {
  std::size_t eq = entry.find('=');
  if (eq != std::string_view::npos && eq != 0) {
    route_set(app, slice(entry, 0, eq), slice(entry, eq + 1));
  }
}

// Words: DECLARE pkg n hex, the hex holding NUL-ended "key=value" entries
// up to an empty one.
void handle_declare(ProtocolContext& ctx, const std::string_view* w, int n) {
  if (n < 4) {
    return;
  }
  AppRecord* app = find_or_add_app(ctx.registry, w[1]);
  if (!app) {
    return;
  }
  char buf[DECLARE_CAP];
  std::string_view rest(buf, static_cast<std::size_t>(hex_decode(w[3], buf)));
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
  amsd_log(ctx.log, "DECLARE %.*s n=%.*s routes=%d", text_len(w[1]),
           w[1].data(), text_len(w[2]), w[2].data(), app->route_count);
}

// Trusted: root, the daemon's own user, the owner of the launcher's socket
// file (that is the launcher), or the configured launcher uid.
void peer_check(Peer& p, const ProtocolContext& ctx) {
  p.checked = true;
  struct ucred cred = {};
  socklen_t len = sizeof cred;
  if (getsockopt(p.fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    p.uid = static_cast<std::uint32_t>(-1);
    p.trusted = false;  // unknown: not trusted
    return;
  }
  p.uid = cred.uid;
  p.trusted = cred.uid == 0 || cred.uid == geteuid() ||
              static_cast<std::int64_t>(cred.uid) == ctx.launcher_uid;
  struct stat st;
  if (!p.trusted && stat(ctx.ipc_sock_path, &st) == 0) {
    p.trusted = st.st_uid == cred.uid;
  }
}

bool is_report(std::string_view word) {
  return word == "LAUNCH" || word == "OUT" || word == "EXIT";
}

void handle_ev(ProtocolContext& ctx, Peer& peer, std::string_view rest) {
  std::string_view w[EV_MAX_WORDS];
  int n = split_words(rest, w, EV_MAX_WORDS);
  if (n == 0 || !is_report(w[0])) {
    return;
  }
  if (!peer.checked) {
    peer_check(peer, ctx);
  }
  if (!peer.trusted) {
    if (!peer.refusal_logged) {
      amsd_log(ctx.log, "event lines from uid %u ignored", peer.uid);
      peer.refusal_logged = true;
    }
    return;
  }
  peer.reported = true;
  if (w[0] == "LAUNCH") {
    handle_launch(ctx, w, n);
  } else if (w[0] == "EXIT") {
    handle_exit(ctx, w, n);
  } else if (w[0] == "OUT" && n >= 4) {
    stdout_session_append(ctx.capture, ctx.log, w + 1, n - 1);
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

int hex_decode(std::string_view hex, char* out, std::size_t cap) {
  if (cap == 0) {
    return 0;
  }
  std::size_t n = 0;
  for (std::size_t i = 0; i + 1 < hex.size() && n < cap - 1; i += 2) {
    int hi = hex_value(hex[i]);
    int lo = hex_value(hex[i + 1]);
    if (hi < 0 || lo < 0) {
      break;
    }
    out[n++] = static_cast<char>(hi << 4 | lo);
  }
  out[n] = '\0';
  return static_cast<int>(n);
}

int parse_picker_line(std::string_view line, PickerLine& out) {
  std::string_view w[PEER_MAX_WORDS];
  int n = split_words(line, w, PEER_MAX_WORDS);
  out.caller = {};
  out.action = {};
  out.req = 0;
  out.code = 0;
  out.value_buf[0] = '\0';
  if (n >= 4 && w[0] == "PICKER_CALL") {
    out.kind = PickerLine::kCall;
    out.caller = w[1];
    // Ids travel as signed 32-bit numbers; the table keeps their bits.
    out.req = static_cast<std::uint32_t>(parse_i32(w[2]));
    out.action = w[3];
    return 0;
  }
  if (n >= 5 && w[0] == "PICKER_RESULT") {
    out.kind = PickerLine::kResult;
    out.req = static_cast<std::uint32_t>(parse_i32(w[1]));
    out.action = w[2];
    out.code = parse_i32(w[3]);
    hex_decode(w[4], out.value_buf);
    return 0;
  }
  return -1;
}

void handle_event_line(ProtocolContext& ctx, Peer& peer, char* line) {
  std::string_view s(line);
  if (s.starts_with("EV ")) {
    handle_ev(ctx, peer, slice(s, 3));
    return;
  }
  if (s.starts_with("DECLARE ")) {
    std::string_view w[PEER_MAX_WORDS];
    handle_declare(ctx, w, split_words(s, w, PEER_MAX_WORDS));
    return;
  }
  if (s.starts_with("PICKER_")) {
    PickerLine p;
    if (parse_picker_line(s, p) != 0) {
      return;
    }
    if (p.kind == PickerLine::kCall) {
      picker_call(ctx, p.caller, p.req, p.action, nullptr);
    } else {
      picker_complete(ctx, p.req, p.action, p.code, p.value());
    }
  }
}
