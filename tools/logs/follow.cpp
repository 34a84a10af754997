#include "tools/logs/follow.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "amsd/base/clock.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/stop_signal.h"
#include "amsd/base/text.h"
#include "tools/logs/log_line.h"
#include "tools/logs/tail.h"

namespace {

// A new service log (a daemon started again) or capture file that the log
// did not announce is looked for this often while nothing comes.
constexpr std::uint64_t RESCAN_MS = 2000;

// Lines the daemon had not yet seen synced when the card went come back
// through the /tmp buffer, or are lost: the last line shown is looked for
// this far before where reading stopped.
constexpr std::int64_t RESYNC_BACK = 65536 + LINE_HOLD;

LineReader g_log_reader;
LineReader g_out_reader;

enum class Src { kCard, kBuffer, kNone };

// Boot 0's service log: on the card, in the /tmp buffer while the card is
// away, or nowhere for a moment.
struct ServiceFollow {
  const LogsPlace* place = nullptr;
  std::string_view pkg;  // the app view's: only its lines
  char stamp[STAMP_SIZE] = {};
  char card_path[PATH_BUF_SIZE] = {};
  Src src = Src::kNone;
  std::int64_t card_pos = 0;  // where reading left the card log
  std::uint64_t last_rescan = 0;
  Tail t;
  // A capture file the log announced for the app.
  bool new_capture = false;
  CaptureFile capture;
};

// The newest capture of pkg that a "stdout session open" line names.
void note_capture(ServiceFollow& f, std::string_view path) {
  std::size_t slash = path.rfind('/');
  std::string_view name =
      slash == std::string_view::npos ? path : slice(path, slash + 1);
  bool old = false;
  CaptureFile c;
  if (parse_capture_name(name, c, old) && !old) {
    f.capture = c;
    f.capture.has_log = true;
    f.new_capture = true;
  }
}

bool service_next(ServiceFollow& f, Entry& e) {
  Line line;
  while (tail_next(f.t, line)) {
    LogEntry le;
    e.from_log = true;
    e.pending = f.src == Src::kBuffer;
    e.boot = f.stamp;
    e.torn = !parse_service_line(line, le);
    if (e.torn) {
      if (line.bytes.empty() ||
          (!f.pkg.empty() &&
           line.bytes.find(f.pkg) == std::string_view::npos)) {
        continue;
      }
      e.ts = f.t.ts;
      e.up = f.t.up;
      e.text = line.bytes;
      return true;
    }
    f.t.ts = le.ts;
    f.t.up = le.up;
    if (!f.pkg.empty()) {
      ServiceEvent ev = classify_service_text(le.text);
      if (ev.kind == LogEvent::kOther || ev.pkg != f.pkg) {
        continue;
      }
      if (ev.kind == LogEvent::kCaptureOpen) {
        note_capture(f, ev.path);
      }
    }
    e.ts = le.ts;
    e.up = le.up;
    e.text = le.text;
    return true;
  }
  return false;
}

void set_card_log(ServiceFollow& f, const char* name) {
  std::string_view n(name);
  copy_text(f.stamp, slice(n, 4, n.size() - 8));  // ams_<stamp>.log
  format_path(f.card_path, sizeof f.card_path, "%s/%s", f.place->logs_dir,
              name);
}

// A daemon started again under another boot stamp writes a new service log:
// the newest by modification time is the current one.
void look_for_newer_log(ServiceFollow& f) {
  DIR* dir = opendir(f.place->logs_dir);
  if (!dir) {
    return;
  }
  struct stat ours;
  if (fstat(f.t.fd, &ours) != 0) {
    closedir(dir);
    return;
  }
  char newest[LOG_NAME_SIZE] = {};
  std::int64_t newest_mtime = ours.st_mtime;
  while (struct dirent* e = readdir(dir)) {
    std::string_view n(e->d_name);
    struct stat st;
    if (n.size() < 9 || n.size() >= sizeof newest || slice(n, 0, 4) != "ams_" ||
        slice(n, n.size() - 4) != ".log" ||
        fstatat(dirfd(dir), e->d_name, &st, 0) != 0 ||
        st.st_ino == ours.st_ino || st.st_mtime <= newest_mtime) {
      continue;
    }
    newest_mtime = st.st_mtime;
    copy_text(newest, n);
  }
  closedir(dir);
  if (newest[0]) {
    set_card_log(f, newest);
    tail_open(f.t, f.card_path, 0);
  }
}

// Moves between the card log and the /tmp buffer as the card goes and comes
// back. The buffer is read while it exists: the daemon deletes it only once
// its lines are on the card.
void service_check(ServiceFollow& f, Printer& p, std::uint64_t now) {
  const char* buffer = f.place->buffer_path;
  if (f.src == Src::kCard) {
    if (fd_at_path(f.t.fd, f.card_path) && !f.t.r->failed) {
      if (now - f.last_rescan >= RESCAN_MS) {
        f.last_rescan = now;
        look_for_newer_log(f);
      }
      return;
    }
    f.card_pos = line_reader_pos(*f.t.r);
    tail_close(f.t);
    f.src = Src::kNone;
  } else if (f.src == Src::kBuffer) {
    if (fd_at_path(f.t.fd, buffer)) {
      // At its cap the buffer gives up its oldest lines in place.
      if (file_size(f.t.fd) < line_reader_pos(*f.t.r)) {
        tail_reopen(f.t, buffer, 0, 0);
      }
      return;
    }
    tail_close(f.t);
    f.src = Src::kNone;
  }
  struct stat st;
  bool buffered = buffer && lstat(buffer, &st) == 0;
  if (!buffered && path_size(f.card_path) >= 0) {
    if (tail_reopen(f.t, f.card_path, f.card_pos - RESYNC_BACK, f.card_pos)) {
      f.src = Src::kCard;
      p.pending_said = false;  // said again if the card goes again
    }
    return;
  }
  if (buffered && tail_reopen(f.t, buffer, 0, 0)) {
    f.src = Src::kBuffer;
  }
}

// The app's newest capture file.
struct CaptureFollow {
  const LogsPlace* place = nullptr;
  std::string_view pkg;
  bool has_cur = false;
  CaptureFile cur;
  bool gone = false;  // its file went with the card
  std::int64_t gone_pos = 0;
  std::uint64_t last_rescan = 0;
  Tail t;
};

bool capture_next(CaptureFollow& c, Entry& e, bool final = false) {
  Line line;
  while (tail_next(c.t, line, final)) {
    LogEntry le;
    e.from_log = false;
    e.pending = false;
    e.pid = c.cur.pid;
    e.torn = !parse_capture_line(line, le);
    if (e.torn) {
      if (line.bytes.empty() && line.newline) {
        continue;
      }
      e.ts = c.t.ts;
      e.up = c.t.up;
      e.text = line.bytes;
      return true;
    }
    c.t.ts = e.ts = le.ts;
    c.t.up = e.up = le.up;
    e.text = le.text;
    return true;
  }
  return false;
}

// Follows capture f from its start, once the lines left in the current
// file are out.
void capture_switch(Printer& p, CaptureFollow& c, const CaptureFile& f) {
  Entry e;
  while (capture_next(c, e, true)) {
    print_entry(p, e);
  }
  tail_close(c.t);
  c.cur = f;
  c.has_cur = true;
  c.gone = false;
  char path[PATH_BUF_SIZE];
  if (capture_path(path, c.place->logs_dir, c.pkg, f, false) >= 0) {
    copy_text(c.t.path, path);
    tail_open(c.t, path, 0);
  }
  c.t.ts = f.ts;
  c.t.up = 0;
}

CaptureList g_found;

void capture_check(Printer& p, CaptureFollow& c, std::uint64_t now) {
  if (c.t.fd >= 0 && !fd_at_path(c.t.fd, c.t.path)) {
    char old[PATH_BUF_SIZE];
    bool rotated = format_path(old, sizeof old, "%s.1", c.t.path) >= 0 &&
                   same_file(c.t.fd, old);
    if (rotated) {
      capture_switch(p, c, c.cur);
      return;
    }
    c.gone = true;
    c.gone_pos = line_reader_pos(*c.t.r);
    tail_close(c.t);
  }
  if (c.has_cur && c.t.fd < 0 && path_size(c.t.path) >= 0) {
    if (c.gone) {
      tail_reopen(c.t, c.t.path, c.gone_pos - RESYNC_BACK, c.gone_pos);
      c.gone = false;
    } else {
      tail_open(c.t, c.t.path, 0);
    }
  }
  if (now - c.last_rescan < RESCAN_MS) {
    return;
  }
  c.last_rescan = now;
  if (capture_list_read(c.place->logs_dir, c.pkg, g_found) == 0 &&
      g_found.count > 0) {
    const CaptureFile& newest = g_found.files[g_found.count - 1];
    if (!c.has_cur || newest.ts > c.cur.ts ||
        (newest.ts == c.cur.ts && newest.pid > c.cur.pid)) {
      capture_switch(p, c, newest);
    }
  }
}

// Where the views end now: following goes on from there.
void start_service(ServiceFollow& f, const BootList& list, std::int64_t* at) {
  set_card_log(f, list.boots[list.count - 1].name);
  const char* buffer = f.place->buffer_path;
  std::int64_t buffered = buffer ? path_size(buffer) : -1;
  f.src = buffered >= 0 ? Src::kBuffer : Src::kCard;
  *at = buffered >= 0 ? buffered : path_size(f.card_path);
}

void start_capture(CaptureFollow& c, std::int64_t* at) {
  *at = -1;
  if (capture_list_read(c.place->logs_dir, c.pkg, g_found) != 0 ||
      g_found.count == 0) {
    return;
  }
  c.cur = g_found.files[g_found.count - 1];
  c.has_cur = true;
  if (capture_path(c.t.path, c.place->logs_dir, c.pkg, c.cur, false) >= 0) {
    *at = path_size(c.t.path);
  }
}

ServiceFollow g_svc;
CaptureFollow g_cap;

void wait_a_little(int wake_fd) {
  struct pollfd pfd = { wake_fd, POLLIN, 0 };
  if (fd_poll(&pfd, 1, FOLLOW_POLL_MS, &g_stop_requested) > 0) {
    fd_drain(wake_fd);
  }
}

}  // namespace

int follow(Printer& p, const LogsPlace& place, const BootList& list, int first,
           int last, std::int64_t n) {
  ServiceFollow& svc = g_svc;
  CaptureFollow& cap = g_cap;
  bool app = p.kind == ViewKind::kApp;
  svc.place = &place;
  svc.pkg = p.pkg;
  svc.t.r = &g_log_reader;
  cap.place = &place;
  cap.pkg = p.pkg;
  cap.t.r = &g_out_reader;
  std::int64_t svc_at = 0;
  std::int64_t cap_at = -1;
  start_service(svc, list, &svc_at);
  if (app) {
    start_capture(cap, &cap_at);
    show_app_last(p, place, list, first, last, n);
  } else {
    show_boot_last(p, place, list, list.count - 1, n);
  }
  p.skip = 0;
  p.count = 0;
  tail_open(svc.t, svc.src == Src::kBuffer ? place.buffer_path : svc.card_path,
            svc_at < 0 ? 0 : svc_at);
  if (cap.has_cur && cap_at >= 0) {
    tail_open(cap.t, cap.t.path, cap_at);
    cap.t.ts = cap.cur.ts;
  }
  int wake[2];
  if (wake_pipe_open(wake) != 0) {
    return -1;
  }
  stop_signal_install(wake[1]);
  while (!g_stop_requested) {
    bool any = print_merged(
        p, [&](Entry& e) { return service_next(svc, e); },
        [&](Entry& e) { return app && capture_next(cap, e); });
    std::uint64_t now = monotonic_ms();
    if (app && svc.new_capture) {
      svc.new_capture = false;
      if (!cap.has_cur || svc.capture.ts != cap.cur.ts ||
          svc.capture.pid != cap.cur.pid) {
        capture_switch(p, cap, svc.capture);
      }
    }
    service_check(svc, p, now);
    if (app) {
      capture_check(p, cap, now);
    }
    out_flush(*p.out);
    if (p.out->failed) {
      return -1;
    }
    if (!any) {
      wait_a_little(wake[0]);
    }
  }
  return 0;
}
