#include "tools/logs/views.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "amsd/base/fd_io.h"
#include "amsd/base/paths.h"
#include "amsd/base/text.h"
#include "tools/logs/log_line.h"

namespace {

// Each chain of files of a view reads through a reader of its own, so the
// line in hand of one stays valid while the other moves on.
LineReader g_service_reader;
LineReader g_capture_reader;

// The service logs of boots [pos, last], then perhaps the /tmp buffer, read
// as one sequence of lines. With pkg set, only the lines that app owns.
struct ServiceChain {
  const LogsPlace* place = nullptr;
  const BootList* list = nullptr;
  int pos = 0;
  int last = -1;
  bool with_pending = false;
  std::int64_t first_offset = 0;  // where the first file is read from
  std::string_view pkg;
  // The file in hand.
  int fd = -1;
  bool pending = false;
  const char* stamp = "";
  std::int64_t ts = LLONG_MIN;  // of the last whole line
  std::int64_t up = 0;
};

bool chain_open_next(ServiceChain& c) {
  while (c.pos <= c.last) {
    int pos = c.pos++;
    c.fd = open_boot(*c.place, *c.list, pos);
    if (c.fd >= 0) {
      c.stamp = c.list->boots[pos].stamp;
      line_reader_start(g_service_reader, c.fd, c.first_offset,
                        c.first_offset > 0);
      c.first_offset = 0;
      return true;
    }
  }
  if (c.with_pending) {
    c.with_pending = false;
    c.fd = open_buffer(c.place->buffer_path);
    if (c.fd >= 0) {
      c.pending = true;
      line_reader_start(g_service_reader, c.fd, 0);
      return true;
    }
  }
  return false;
}

bool service_next(ServiceChain& c, Entry& e) {
  for (;;) {
    if (c.fd < 0 && !chain_open_next(c)) {
      return false;
    }
    Line line;
    if (line_reader_next(g_service_reader, line, true) == ReadStep::kEnd) {
      close(c.fd);
      c.fd = -1;
      continue;
    }
    LogEntry le;
    e.from_log = true;
    e.pending = c.pending;
    e.boot = c.stamp;
    e.torn = !parse_service_line(line, le);
    if (e.torn) {
      if (line.bytes.empty() && line.newline) {
        continue;  // an empty line tells nothing
      }
      e.ts = c.ts;
      e.up = c.up;
      e.text = line.bytes;
      if (!c.pkg.empty() && line.bytes.find(c.pkg) == std::string_view::npos) {
        continue;
      }
      return true;
    }
    c.ts = le.ts;
    c.up = le.up;
    if (!c.pkg.empty() && !names_pkg(le.text, c.pkg)) {
      continue;
    }
    e.ts = le.ts;
    e.up = le.up;
    e.text = le.text;
    return true;
  }
}

// The capture files of one app whose launches lie in [lo, hi), each read
// ".1" first.
struct CaptureChain {
  const char* logs_dir = "";
  std::string_view pkg;
  const CaptureList* list = nullptr;
  std::int64_t lo = LLONG_MIN;
  std::int64_t hi = LLONG_MAX;
  int k = 0;
  int part = 0;  // of files[k] next: 0 its ".1", 1 the file, 2 none
  int fd = -1;
  std::int64_t pid = 0;
  std::int64_t ts = 0;
  std::int64_t up = 0;
};

bool capture_open_next(CaptureChain& c) {
  for (; c.k < c.list->count; ++c.k, c.part = 0) {
    const CaptureFile& f = c.list->files[c.k];
    if (f.ts < c.lo || f.ts >= c.hi) {
      continue;
    }
    while (c.part < 2) {
      bool old = c.part++ == 0;
      char path[PATH_BUF_SIZE];
      if ((old ? !f.has_old : !f.has_log) ||
          capture_path(path, c.logs_dir, c.pkg, f, old) < 0) {
        continue;
      }
      c.fd = open_regular(path, O_RDONLY | O_NONBLOCK);
      if (c.fd >= 0) {
        c.pid = f.pid;
        c.ts = f.ts;  // a torn first line takes the launch's time
        c.up = 0;
        line_reader_start(g_capture_reader, c.fd, 0);
        return true;
      }
    }
  }
  return false;
}

bool capture_next(CaptureChain& c, Entry& e) {
  for (;;) {
    if (c.fd < 0 && !capture_open_next(c)) {
      return false;
    }
    Line line;
    if (line_reader_next(g_capture_reader, line, true) == ReadStep::kEnd) {
      close(c.fd);
      c.fd = -1;
      continue;
    }
    LogEntry le;
    e.from_log = false;
    e.pending = false;
    e.pid = c.pid;
    e.torn = !parse_capture_line(line, le);
    if (e.torn) {
      if (line.bytes.empty() && line.newline) {
        continue;
      }
      e.ts = c.ts;
      e.up = c.up;
      e.text = line.bytes;
      return true;
    }
    c.ts = e.ts = le.ts;
    c.up = e.up = le.up;
    e.text = le.text;
    return true;
  }
}

void close_chains(ServiceChain& s, CaptureChain& c) {
  if (s.fd >= 0) {
    close(s.fd);
    s.fd = -1;
  }
  if (c.fd >= 0) {
    close(c.fd);
    c.fd = -1;
  }
}

CaptureList g_captures;

void run_app(Printer& p, const LogsPlace& place, const BootList& list,
             int first, int last) {
  ServiceChain s;
  s.place = &place;
  s.list = &list;
  s.pos = first;
  s.last = last;
  s.with_pending = place.buffer_path && last == list.count - 1;
  s.pkg = p.pkg;
  CaptureChain c;
  c.logs_dir = place.logs_dir;
  c.pkg = p.pkg;
  c.list = &g_captures;
  // A launch belongs to the boot it happened in: from its first time up to
  // the next boot's.
  if (first > 0 && list.boots[first].has_ts) {
    c.lo = list.boots[first].first_ts;
  }
  if (last + 1 < list.count && list.boots[last + 1].has_ts) {
    c.hi = list.boots[last + 1].first_ts;
  }
  print_merged(
      p, [&](Entry& e) { return service_next(s, e); },
      [&](Entry& e) { return capture_next(c, e); });
  close_chains(s, c);
}

void run_boot(Printer& p, const LogsPlace& place, const BootList& list, int pos,
              std::int64_t from_offset, bool with_boot) {
  ServiceChain s;
  s.place = &place;
  s.list = &list;
  s.pos = with_boot ? pos : pos + 1;
  s.last = pos;
  s.first_offset = from_offset;
  s.with_pending = place.buffer_path && pos == list.count - 1;
  Entry e;
  while (service_next(s, e)) {
    print_entry(p, e);
  }
  if (s.fd >= 0) {
    close(s.fd);
  }
}

// Lines in the /tmp buffer (torn ones and all).
std::int64_t pending_lines(const LogsPlace& place) {
  int fd = place.buffer_path ? open_buffer(place.buffer_path) : -1;
  if (fd < 0) {
    return 0;
  }
  std::int64_t n = 0;
  Line line;
  line_reader_start(g_service_reader, fd, 0);
  while (line_reader_next(g_service_reader, line, true) == ReadStep::kLine) {
    n += !(line.bytes.empty() && line.newline);
  }
  close(fd);
  return n;
}

}  // namespace

bool names_pkg(std::string_view text, std::string_view pkg) {
  ServiceEvent ev = classify_service_text(text);
  return ev.kind != LogEvent::kOther && ev.pkg == pkg;
}

void show_boot(Printer& p, const LogsPlace& place, const BootList& list,
               int pos, std::int64_t from_offset) {
  run_boot(p, place, list, pos, from_offset, true);
}

void show_app(Printer& p, const LogsPlace& place, const BootList& list,
              int first, int last) {
  capture_list_read(place.logs_dir, p.pkg, g_captures);
  run_app(p, place, list, first, last);
}

void show_boot_last(Printer& p, const LogsPlace& place, const BootList& list,
                    int pos, std::int64_t n) {
  if (n < 0) {
    show_boot(p, place, list, pos);
    return;
  }
  if (p.window.any()) {
    p.count_only = true;
    show_boot(p, place, list, pos);
    p.count_only = false;
    p.skip = p.count > n ? p.count - n : 0;
    p.count = 0;
    show_boot(p, place, list, pos);
    return;
  }
  std::int64_t pending = pos == list.count - 1 ? pending_lines(place) : 0;
  if (pending >= n) {
    p.skip = pending - n;
    run_boot(p, place, list, pos, 0, false);
    return;
  }
  std::int64_t from = 0;
  int fd = open_boot(place, list, pos);
  if (fd >= 0) {
    struct stat st;
    if (fstat(fd, &st) == 0) {
      from = offset_of_last_lines(fd, st.st_size, n - pending);
    }
    close(fd);
  }
  show_boot(p, place, list, pos, from);
}

void show_app_last(Printer& p, const LogsPlace& place, const BootList& list,
                   int first, int last, std::int64_t n) {
  capture_list_read(place.logs_dir, p.pkg, g_captures);
  if (n >= 0) {
    p.count_only = true;
    run_app(p, place, list, first, last);
    p.count_only = false;
    p.skip = p.count > n ? p.count - n : 0;
    p.count = 0;
  }
  run_app(p, place, list, first, last);
}
