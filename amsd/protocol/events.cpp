#include "amsd/protocol/events.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "amsd/core/daemon.h"
#include "amsd/core/text.h"
#include "amsd/protocol/capture.h"
#include "amsd/protocol/picker.h"

namespace {

// Words taken from an "EV" line (the event word included) and from a
// "DECLARE" or "PICKER_" line; the rest of a line is ignored.
constexpr int kEvMaxWords = 16;
constexpr int kPeerMaxWords = 8;
// Decoded route list of one "DECLARE" line, its NUL included.
constexpr std::size_t kDeclareCap = 1024;
// The longest the daemon waits for a crash listener to accept, in ms.
constexpr int kCrashNoticeWaitMs = 150;

int len(std::string_view s) {
  return static_cast<int>(s.size());
}

struct Stamp {
  std::int32_t ts;  // wall-clock seconds
  std::int32_t up;  // uptime seconds
};

// The line's own ts and up when it has them, else the clocks now.
Stamp stamp_of(Daemon& d, const std::string_view* ts,
               const std::string_view* up) {
  Stamp s;
  s.ts = ts ? parse_i32(*ts) : wall_seconds();
  s.up = up ? parse_i32(*up)
            : static_cast<std::int32_t>(uptime_seconds(d.log.uptime_path));
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
void handle_launch(Daemon& d, const std::string_view* w, int n) {
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
    st = stamp_of(d, nullptr, nullptr);
  } else if (n == 6) {
    pid_word = w[3];
    st = stamp_of(d, &w[4], &w[5]);
  } else {
    chain = w[3];
    pid_word = w[4];
    st = stamp_of(d, &w[5], &w[6]);
  }
  AppRecord* app = find_or_add_app(d.registry, pkg);
  if (!app) {
    return;  // table full: the launch leaves no trace
  }
  std::int32_t pid = parse_i32(pid_word);
  app->pid = pid;
  app->run_state = 1;
  copy_word_or_none(app->activity, act);
  copy_word_or_none(app->chain, chain);
  app->start_ms = monotonic_ms();
  count_up(app->launch_count);
  app->exit_kind = 0;
  app->exit_code = 0;

  char detail[sizeof HistoryEvent::detail];
  std::snprintf(detail, sizeof detail, "act=%s chain=%.64s pid=%ld",
                app->activity, app->chain, static_cast<long>(pid));
  record_event(*app, "launch", detail, st.ts, st.up);
  amsd_log(d.log, "LAUNCH %.*s %s %s pid=%ld", len(pkg), pkg.data(),
           app->activity, app->chain, static_cast<long>(pid));
  stdout_session_open(d.capture, d.log, d.cfg.card_root, pkg, pid, st.ts);
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
  int n = std::snprintf(line, sizeof line, "SVC %.*s %.*s %d %ld %ld\n",
                        len(pkg), pkg.data(), len(kind), kind.data(), code,
                        static_cast<long>(st.ts), static_cast<long>(st.up));
  if (n <= 0) {
    return;
  }
  std::size_t size = std::strlen(line);
  // Non-blocking from the start: a listener that does not accept must not
  // hold the daemon longer than the notice's wait.
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return;
  }
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  copy_text(addr.sun_path, path);
  bool ready =
      connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
  if (!ready && (errno == EINPROGRESS || errno == EAGAIN || errno == EINTR)) {
    ready = wait_writable(fd, kCrashNoticeWaitMs);
  }
  if (ready) {
    ssize_t ignored = send(fd, line, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
  }
  close(fd);
}

// Words: EXIT pkg kind code [dur_ms [ts [up]]]
void handle_exit(Daemon& d, const std::string_view* w, int n) {
  if (n < 4) {
    return;
  }
  std::string_view pkg = w[1];
  std::string_view kind = w[2];
  std::int32_t code = parse_i32(w[3]);
  long long dur = n >= 5 ? parse_i64(w[4]) : 0;
  Stamp st = stamp_of(d, n >= 6 ? &w[5] : nullptr, n >= 7 ? &w[6] : nullptr);
  AppRecord* app = find_app(d.registry, pkg);
  if (!app) {
    stdout_session_close(d.capture, pkg);
    return;
  }
  bool sig = kind == "sig";
  bool abnormal = sig || (kind == "exit" && code != 0);
  app->run_state = 0;
  app->pid = 0;
  app->exit_code = code;
  app->exit_kind = sig ? 2 : (code != 0 ? 1 : 0);

  char detail[sizeof HistoryEvent::detail];
  if (abnormal) {
    count_up(app->crash_count);
    send_crash_notice(d.cfg.crash_sock_path, pkg, kind, code, st);
    std::snprintf(detail, sizeof detail, "%.*s=%d dur=%lldms crash=%d",
                  len(kind), kind.data(), code, dur, app->crash_count);
  } else {
    std::snprintf(detail, sizeof detail, "%.*s=%d dur=%lldms", len(kind),
                  kind.data(), code, dur);
  }
  record_event(*app, abnormal ? "crash" : "exit", detail, st.ts, st.up);
  amsd_log(d.log, "EXIT %.*s %.*s=%d dur=%lld abnormal=%d", len(pkg),
           pkg.data(), len(kind), kind.data(), code, dur, abnormal ? 1 : 0);
  stdout_session_close(d.capture, pkg);
}

// entry is "key=value"; an equal key (after the cut) is overwritten, a new
// one is added while there is room.
void merge_route(AppRecord& app, std::string_view entry) {
  std::size_t eq = entry.find('=');
  if (eq == std::string_view::npos || eq == 0) {
    return;
  }
  char key[sizeof RouteEntry::key];
  copy_text(key, slice(entry, 0, eq));
  std::string_view value = slice(entry, eq + 1);
  for (int i = 0; i < app.route_count; ++i) {
    if (std::strcmp(app.routes[i].key, key) == 0) {
      copy_text(app.routes[i].chain, value);
      return;
    }
  }
  if (app.route_count >= MAX_ROUTES) {
    return;
  }
  RouteEntry& r = app.routes[app.route_count++];
  copy_text(r.key, key);
  copy_text(r.chain, value);
}

// Words: DECLARE pkg n hex, the hex holding NUL-ended "key=value" entries
// up to an empty one.
void handle_declare(Daemon& d, const std::string_view* w, int n) {
  if (n < 4) {
    return;
  }
  AppRecord* app = find_or_add_app(d.registry, w[1]);
  if (!app) {
    return;
  }
  char buf[kDeclareCap];
  std::string_view rest(buf, static_cast<std::size_t>(hex_decode(w[3], buf)));
  while (!rest.empty()) {
    std::size_t end = rest.find('\0');
    std::string_view entry = slice(rest, 0, end);
    if (entry.empty()) {
      break;
    }
    merge_route(*app, entry);
    if (end == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(end + 1);
  }
  amsd_log(d.log, "DECLARE %.*s n=%.*s routes=%d", len(w[1]), w[1].data(),
           len(w[2]), w[2].data(), app->route_count);
}

bool is_report(std::string_view word) {
  return word == "LAUNCH" || word == "OUT" || word == "EXIT";
}

void handle_ev(Daemon& d, Peer& peer, std::string_view rest) {
  std::string_view w[kEvMaxWords];
  int n = split_words(rest, w, kEvMaxWords);
  if (n == 0 || !is_report(w[0])) {
    return;
  }
  if (!peer.trusted) {
    if (!peer.refusal_logged) {
      amsd_log(d.log, "event lines from uid %u ignored", peer.uid);
      peer.refusal_logged = true;
    }
    return;
  }
  peer.reported = true;
  if (w[0] == "LAUNCH") {
    handle_launch(d, w, n);
  } else if (w[0] == "EXIT") {
    handle_exit(d, w, n);
  } else if (w[0] == "OUT" && n >= 4) {
    stdout_session_append(d.capture, d.log, w + 1, n - 1);
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
  std::string_view w[kPeerMaxWords];
  int n = split_words(line, w, kPeerMaxWords);
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

void handle_event_line(Daemon& d, Peer& peer, char* line) {
  std::string_view s(line);
  if (s.starts_with("EV ")) {
    handle_ev(d, peer, slice(s, 3));
    return;
  }
  if (s.starts_with("DECLARE ")) {
    std::string_view w[kPeerMaxWords];
    handle_declare(d, w, split_words(s, w, kPeerMaxWords));
    return;
  }
  if (s.starts_with("PICKER_")) {
    PickerLine p;
    if (parse_picker_line(s, p) != 0) {
      return;
    }
    if (p.kind == PickerLine::kCall) {
      picker_call(d, p.caller, p.req, p.action, nullptr);
    } else {
      picker_complete(d, p.req, p.action, p.code, p.value());
    }
  }
}
