#include "tools/logs/timeline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "amsd/base/text.h"
#include "tools/logs/log_line.h"
#include "tools/logs/timeline_picture.h"

namespace {

Picture g_pic;
LineReader g_reader;

int row_of(const Picture& pic, std::string_view pkg) {
  for (int r = 0; r < pic.row_count; ++r) {
    if (pkg == pic.rows[r].pkg) {
      return r;
    }
  }
  return -1;
}

// Walks the whole lines of a band's service log, then of the /tmp buffer
// when the band goes on there.
struct BandWalk {
  int bi = 0;
  int part = 0;  // 0 the service log, 1 the buffer, 2 done
  int fd = -1;
  bool in_buffer = false;
};

BandWalk band_walk(int bi) {
  BandWalk w;
  w.bi = bi;
  return w;
}

bool band_walk_open(Picture& pic, BandWalk& w) {
  const Band& b = pic.bands[w.bi];
  while (w.fd < 0 && w.part < (b.pending ? 2 : 1)) {
    w.in_buffer = w.part++ == 1;
    w.fd = w.in_buffer ? open_buffer(pic.place->buffer_path)
                       : open_boot(*pic.place, *pic.list, b.pos);
    if (w.fd >= 0) {
      line_reader_start(g_reader, w.fd, 0);
    }
  }
  return w.fd >= 0;
}

bool band_walk_next(Picture& pic, BandWalk& w, LogEntry& e, ServiceEvent& ev) {
  while (band_walk_open(pic, w)) {
    Line line;
    while (line_reader_next(g_reader, line, true) == ReadStep::kLine) {
      if (parse_service_line(line, e)) {
        ev = classify_service_text(e.text);
        return true;
      }
    }
    close(w.fd);
    w.fd = -1;
  }
  return false;
}

void add_row(Picture& pic, std::string_view pkg) {
  if (pkg.empty() || (!pic.pkg.empty() && pkg != pic.pkg) ||
      row_of(pic, pkg) >= 0) {
    return;
  }
  if (pic.row_count == TL_MAX_ROWS) {
    ++pic.rows_left_out;
    return;
  }
  Row& r = pic.rows[pic.row_count++];
  r = Row{};
  copy_text(r.pkg, pkg);
}

void span_start(Picture& pic, int bi, std::int64_t t) {
  if (pic.span_open || pic.span_count == MAX_SPANS) {
    return;
  }
  pic.spans[pic.span_count++] = Span{ bi, t, t };
  pic.span_open = true;
}

void span_end(Picture& pic, std::int64_t t) {
  if (pic.span_open) {
    pic.spans[pic.span_count - 1].t1 = t;
    pic.span_open = false;
  }
}

// Launches and abnormal exits per row, for the labels.
void count_run(Picture& pic, const LogEntry& e, const ServiceEvent& ev) {
  int row = row_of(pic, ev.pkg);
  if (row >= 0 && pic.window.holds(e.ts)) {
    pic.rows[row].launches += ev.kind == LogEvent::kLaunch;
    pic.rows[row].crashes += ev.kind == LogEvent::kExit && ev.abnormal;
  }
}

// First pass: the apps, and when the card was away.
void collect(Picture& pic) {
  for (int bi = 0; bi < pic.band_count; ++bi) {
    const Band& band = pic.bands[bi];
    BandWalk w = band_walk(bi);
    LogEntry e;
    ServiceEvent ev;
    while (band_walk_next(pic, w, e, ev)) {
      switch (ev.kind) {
      case LogEvent::kLaunch:
      case LogEvent::kExit:
      case LogEvent::kStartRequest:
      case LogEvent::kKillRequest:
      case LogEvent::kPickerStart:
        add_row(pic, ev.pkg);
        count_run(pic, e, ev);
        break;
      case LogEvent::kCaptureGone:
        span_start(pic, bi, e.ts);
        break;
      // The card is back: the capture file is there again, a new one
      // opened, or the buffer's lines reached the card.
      case LogEvent::kCaptureReopen:
      case LogEvent::kCaptureOpen:
      case LogEvent::kBufferDropped:
        span_end(pic, e.ts);
        break;
      default:
        break;
      }
      // Lines still in /tmp: the card is away now.
      if (w.in_buffer) {
        span_start(pic, bi, e.ts);
      }
    }
    span_end(pic, band.t1);
  }
  std::sort(pic.rows, pic.rows + pic.row_count, [](const Row& a, const Row& b) {
    return std::strcmp(a.pkg, b.pkg) < 0;
  });
}

// Bands share the plot by their length, each at least TL_MIN_BAND wide.
void lay_out(Picture& pic) {
  int n = pic.band_count;
  double avail = TL_PLOT - (n - 1) * TL_BOOT_GAP;
  double total = 0;
  for (int i = 0; i < n; ++i) {
    total += static_cast<double>(pic.bands[i].t1 - pic.bands[i].t0);
  }
  double spare = avail - n * TL_MIN_BAND;
  double x = TL_LEFT;
  for (int i = 0; i < n; ++i) {
    Band& b = pic.bands[i];
    double w =
        spare <= 0 || total <= 0
            ? avail / n
            : TL_MIN_BAND + spare * static_cast<double>(b.t1 - b.t0) / total;
    b.x0 = x;
    b.x1 = x + w;
    x += w + TL_BOOT_GAP;
  }
  if (n > 0) {
    pic.bands[n - 1].x1 = TL_LEFT + TL_PLOT;  // no rounding gap at the end
  }
}

// Second pass: the runs and the requests.
void draw_runs(Picture& pic) {
  for (int bi = 0; bi < pic.band_count; ++bi) {
    const Band& b = pic.bands[bi];
    BandWalk w = band_walk(bi);
    LogEntry e;
    ServiceEvent ev;
    while (band_walk_next(pic, w, e, ev)) {
      int row = row_of(pic, ev.pkg);
      if (row < 0 || !pic.window.holds(e.ts)) {
        continue;
      }
      Row& r = pic.rows[row];
      switch (ev.kind) {
      case LogEvent::kLaunch:
        if (r.open) {
          draw_run(pic, b, row, r.since, e.ts, false, false);
        }
        r.open = true;
        r.since = e.ts;
        r.pid = ev.pid;
        break;
      case LogEvent::kExit:
        if (!r.open) {
          r.since = e.ts - ev.dur_ms / 1000;
          r.pid = 0;
        }
        draw_run(pic, b, row, r.since, e.ts, true, ev.abnormal);
        r.open = false;
        break;
      case LogEvent::kStartRequest:
      case LogEvent::kPickerStart:
        draw_mark(pic, b, row, e.ts, true);
        break;
      case LogEvent::kKillRequest:
        draw_mark(pic, b, row, e.ts, false);
        break;
      default:
        break;
      }
    }
    for (int row = 0; row < pic.row_count; ++row) {
      Row& r = pic.rows[row];
      if (r.open) {
        draw_run(pic, b, row, r.since, b.t1, false, false);
        r.open = false;
      }
    }
  }
}

// The boots to draw, clipped to the window; those without a whole line, or
// outside the window, have no band.
void choose_bands(Picture& pic, int first, int last) {
  pic.band_count = 0;
  for (int pos = first; pos <= last; ++pos) {
    const BootInfo& info = pic.list->boots[pos];
    Band b;
    b.pos = pos;
    b.t0 = info.first_ts;
    b.t1 = info.last_ts;
    bool has = info.has_ts;
    if (pos == pic.list->count - 1 && pic.place->buffer_path) {
      int fd = open_buffer(pic.place->buffer_path);
      if (fd >= 0) {
        BootInfo buf;
        struct stat st;
        buf.size = fstat(fd, &st) == 0 ? st.st_size : 0;
        boot_summarize(fd, buf);
        close(fd);
        if (buf.has_ts) {
          b.pending = true;
          b.t0 = has ? std::min(b.t0, buf.first_ts) : buf.first_ts;
          b.t1 = has ? std::max(b.t1, buf.last_ts) : buf.last_ts;
          has = true;
        }
      }
    }
    const Window& w = pic.window;
    if (w.has_since) {
      b.t0 = std::max(b.t0, w.since);
    }
    if (w.has_until) {
      b.t1 = std::min(b.t1, w.until);
    }
    if (has && b.t0 <= b.t1) {
      pic.bands[pic.band_count++] = b;
    }
  }
}

}  // namespace

int write_timeline(const char* file, const LogsPlace& place,
                   const BootList& list, int first, int last,
                   std::string_view pkg, const Window& window) {
  Picture& pic = g_pic;
  pic.place = &place;
  pic.list = &list;
  pic.pkg = pkg;
  pic.window = window;
  pic.row_count = 0;
  pic.rows_left_out = 0;
  pic.span_count = 0;
  pic.span_open = false;
  choose_bands(pic, first, last);
  lay_out(pic);
  collect(pic);
  int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "quor_logs: %s: %s\n", file, std::strerror(errno));
    return -1;
  }
  pic.out.fd = fd;
  pic.out.len = 0;
  pic.out.failed = false;
  int rows = pic.row_count > 0 ? pic.row_count : 1;
  int height = TL_TOP + rows * TL_ROW + LEGEND_H;
  draw_frame(pic, height);
  draw_runs(pic);
  draw_legend(pic, TL_TOP + rows * TL_ROW + 22);
  out_put(pic.out, "</svg>\n");
  out_flush(pic.out);
  bool failed = pic.out.failed;
  if (close(fd) != 0 || failed) {
    std::fprintf(stderr, "quor_logs: %s: cannot write\n", file);
    return -1;
  }
  return 0;
}
