#include <cstdio>
#include <cstring>
#include <ctime>

#include "amsd/base/text.h"
#include "tools/json_text.h"
#include "tools/logs/timeline_picture.h"
#include "tools/logs/views.h"

namespace {

// XML text: markup characters escaped, other control bytes dropped, bytes
// that are not UTF-8 as U+FFFD.
void put_xml(Out& o, std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    char c = s[i];
    auto u = static_cast<unsigned char>(c);
    if (c == '&' || c == '<' || c == '>' || c == '"') {
      out_put(o, c == '&'   ? "&amp;"
                 : c == '<' ? "&lt;"
                 : c == '>' ? "&gt;"
                            : "&quot;");
      ++i;
      continue;
    }
    if (u < 0x20 || u == 0x7F) {
      ++i;
      continue;
    }
    std::size_t n = utf8_length(s, i);
    if (n == 0) {
      out_put(o, "\xEF\xBF\xBD");
      ++i;
      continue;
    }
    out_put(o, slice(s, i, n));
    i += n;
  }
}

const char* clock_text(Picture& pic, std::int64_t t, TimeFormat format) {
  return local_time(pic.time, t, format);
}

void draw_ticks(Picture& pic, const Band& b, double rows_bottom) {
  static constexpr std::int64_t STEPS[] = {
    1,    2,    5,    10,    15,    30,    60,    300,    600,    900,
    1800, 3600, 7200, 10800, 21600, 43200, 86400, 172800, 604800, 2592000,
  };
  double per_sec =
      (b.x1 - b.x0) / static_cast<double>(b.t1 - b.t0 > 0 ? b.t1 - b.t0 : 1);
  std::int64_t step = STEPS[sizeof STEPS / sizeof STEPS[0] - 1];
  for (std::int64_t s : STEPS) {
    if (static_cast<double>(s) * per_sec >= TICK_MIN_PX) {
      step = s;
      break;
    }
  }
  // Ticks fall on round local times.
  time_t t0 = static_cast<time_t>(b.t0);
  struct tm tm;
  std::int64_t off = localtime_r(&t0, &tm) ? tm.tm_gmtoff : 0;
  std::int64_t t = ((b.t0 + off + step - 1) / step) * step - off;
  if (b.t0 + off < 0) {
    t = ((b.t0 + off) / step) * step - off;
  }
  Out& o = pic.out;
  for (; t <= b.t1; t += step) {
    if (t < b.t0) {
      continue;
    }
    double x = x_of(b, t);
    time_t tt = static_cast<time_t>(t);
    bool midnight = localtime_r(&tt, &tm) && tm.tm_hour == 0 &&
                    tm.tm_min == 0 && tm.tm_sec == 0;
    TimeFormat format = step >= 86400 || midnight ? TimeFormat::kDay
                        : step < 60               ? TimeFormat::kClock
                                                  : TimeFormat::kMinute;
    const char* label = clock_text(pic, t, format);
    out_printf(o,
               "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%.1f\" "
               "class=\"grid\"/>\n",
               x, TL_TOP - 6, x, rows_bottom);
    if (x + 20 <= b.x1 + 4) {
      out_printf(o, "<text x=\"%.1f\" y=\"%d\" class=\"tick\">%s</text>\n",
                 x + 2, TL_TOP - 10, label);
    }
  }
}

void bar_title(Picture& pic, const Row& r, std::int64_t from, std::int64_t to,
               const char* how) {
  Out& o = pic.out;
  out_put(o, "<title>");
  put_xml(o, r.pkg);
  out_printf(o, " pid %lld: %s", static_cast<long long>(r.pid),
             clock_text(pic, from, TimeFormat::kLine));
  out_printf(o, " to %s, %s</title>", clock_text(pic, to, TimeFormat::kClock),
             how);
}

// One legend entry: its sample, drawn at x, then its words.
double legend_item(Out& o, double x, int sample_w, const char* sample,
                   const char* words) {
  out_printf(o, "<g transform=\"translate(%.0f 0)\">%s</g>", x, sample);
  out_printf(o, "<text x=\"%.0f\" y=\"10\">%s</text>\n", x + sample_w + 6,
             words);
  // About the width of the words at this size.
  return x + sample_w + 6 + 6.4 * static_cast<double>(std::strlen(words)) + 20;
}

}  // namespace

double x_of(const Band& b, std::int64_t t) {
  if (t < b.t0) {
    t = b.t0;
  }
  if (t > b.t1) {
    t = b.t1;
  }
  double span = static_cast<double>(b.t1 - b.t0 > 0 ? b.t1 - b.t0 : 1);
  return b.x0 + (b.x1 - b.x0) * static_cast<double>(t - b.t0) / span;
}

double row_top(int r) {
  return TL_TOP + r * TL_ROW;
}

void draw_frame(Picture& pic, int height) {
  Out& o = pic.out;
  double rows_bottom = row_top(pic.row_count > 0 ? pic.row_count : 1);
  out_printf(o,
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" "
             "height=\"%d\" viewBox=\"0 0 %d %d\" "
             "font-family=\"DejaVu Sans, Verdana, sans-serif\" "
             "font-size=\"12\">\n",
             TL_WIDTH, height, TL_WIDTH, height);
  out_printf(o,
             "<style>.grid{stroke:#d8d8d8;stroke-width:1}"
             ".tick{fill:#555;font-size:11px}"
             ".app{fill:#222;font-size:12px}"
             ".run{fill:%s}.crash{fill:%s}"
             ".away{fill:#7f7f7f;fill-opacity:0.28}"
             ".start{fill:#2ca02c}.kill{fill:#222}"
             ".sep{stroke:#444;stroke-width:1.5}</style>\n",
             TL_BAR_COLOUR, TL_CRASH_COLOUR);
  out_printf(o,
             "<defs><linearGradient id=\"open\"><stop offset=\"0\" "
             "stop-color=\"%s\"/><stop offset=\"1\" stop-color=\"%s\" "
             "stop-opacity=\"0\"/></linearGradient></defs>\n",
             TL_BAR_COLOUR, TL_BAR_COLOUR);
  out_printf(o, "<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n",
             TL_WIDTH, height);
  out_put(o, "<text x=\"10\" y=\"20\" font-size=\"15\" font-weight=\"bold\">");
  put_xml(o, pic.place->logs_dir);
  out_printf(o,
             "</text>\n<text x=\"10\" y=\"38\" class=\"tick\">%d boot(s), "
             "%d app(s)",
             pic.band_count, pic.row_count);
  if (pic.rows_left_out > 0) {
    out_printf(o, "; %d more app(s) not drawn", pic.rows_left_out);
  }
  out_put(o, "</text>\n");
  // Rows: a light stripe every other one, the app's name at the left.
  for (int r = 0; r < pic.row_count; ++r) {
    if (r % 2 == 1) {
      out_printf(o,
                 "<rect x=\"0\" y=\"%.0f\" width=\"%d\" height=\"%d\" "
                 "fill=\"#f4f6f8\"/>\n",
                 row_top(r), TL_WIDTH, TL_ROW);
    }
    out_printf(o, "<text x=\"10\" y=\"%.0f\" class=\"app\">",
               row_top(r) + TL_ROW / 2 + 4);
    put_xml(o, pic.rows[r].pkg);
    out_printf(o, " <tspan class=\"tick\">%d run(s)", pic.rows[r].launches);
    if (pic.rows[r].crashes > 0) {
      out_printf(o, ", %d abnormal", pic.rows[r].crashes);
    }
    out_put(o, "</tspan></text>\n");
  }
  for (int i = 0; i < pic.band_count; ++i) {
    const Band& b = pic.bands[i];
    const BootInfo& info = pic.list->boots[b.pos];
    bool clean = info.clean && !b.pending;
    out_printf(o,
               "<rect x=\"%.1f\" y=\"48\" width=\"%.1f\" height=\"5\" "
               "fill=\"%s\"><title>",
               b.x0, b.x1 - b.x0, clean ? "#2ca02c" : TL_CRASH_COLOUR);
    put_xml(o, info.stamp);
    out_printf(o, ": %s</title></rect>\n",
               clean ? "ended with shutdown" : "no shutdown line");
    double w = b.x1 - b.x0;
    std::int64_t index = boot_index(*pic.list, b.pos);
    if (w >= 70) {
      out_printf(o, "<text x=\"%.1f\" y=\"66\" class=\"tick\">%lld ", b.x0 + 2,
                 static_cast<long long>(index));
      if (w >= 240) {
        put_xml(o, info.stamp);
        out_char(o, ' ');
      }
      out_printf(o, "%s</text>\n", clean ? "clean" : "unclean");
    }
    draw_ticks(pic, b, rows_bottom);
    if (i + 1 < pic.band_count) {
      double x = b.x1 + TL_BOOT_GAP / 2.0;
      out_printf(o,
                 "<line x1=\"%.1f\" y1=\"44\" x2=\"%.1f\" y2=\"%.1f\" "
                 "class=\"sep\"/>\n",
                 x, x, rows_bottom);
    }
  }
  for (int k = 0; k < pic.span_count; ++k) {
    const Span& s = pic.spans[k];
    const Band& b = pic.bands[s.band];
    double x0 = x_of(b, s.t0);
    double x1 = x_of(b, s.t1);
    double w = x1 - x0 > 3 ? x1 - x0 : 3;
    out_printf(o,
               "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%.1f\" "
               "class=\"away\"><title>card away</title></rect>\n",
               x0, TL_TOP - 4, w, rows_bottom - TL_TOP + 4);
    if (w >= 64) {
      out_printf(o,
                 "<text x=\"%.1f\" y=\"%d\" class=\"tick\">card away</text>\n",
                 x0 + 2, TL_TOP - 22);
    }
  }
}

void draw_run(Picture& pic, const Band& b, int row, std::int64_t from,
              std::int64_t to, bool exited, bool abnormal) {
  Out& o = pic.out;
  const Row& r = pic.rows[row];
  double x0 = x_of(b, from);
  double x1 = x_of(b, to);
  double y = row_top(row) + (TL_ROW - TL_BAR) / 2.0;
  double w = x1 - x0 > 2 ? x1 - x0 : 2;
  // An open end fades out over its last pixels.
  constexpr double FADE = 14;
  double solid = exited || w < 2 * FADE ? w : w - FADE;
  out_printf(o,
             "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%d\" "
             "class=\"run\">",
             x0, y, solid, TL_BAR);
  bar_title(pic, r, from, to,
            !exited    ? "no exit seen"
            : abnormal ? "abnormal exit"
                       : "exit");
  out_put(o, "</rect>\n");
  if (!exited) {
    out_printf(o,
               "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.0f\" height=\"%d\" "
               "fill=\"url(#open)\"/>\n",
               x0 + solid, y, FADE, TL_BAR);
  } else if (abnormal) {
    out_printf(o,
               "<rect x=\"%.1f\" y=\"%.1f\" width=\"4\" height=\"%d\" "
               "class=\"crash\"/>\n",
               x0 + w - 2, y - 2, TL_BAR + 4);
  }
}

void draw_mark(Picture& pic, const Band& b, int row, std::int64_t t,
               bool start) {
  double x = x_of(b, t);
  double top = row_top(row) + 1;
  double bottom = row_top(row) + TL_ROW - 1;
  if (start) {
    out_printf(pic.out, "<path d=\"M%.1f %.1fh8l-4 5z\" class=\"start\"/>\n",
               x - 4, top);
  } else {
    out_printf(pic.out, "<path d=\"M%.1f %.1fh8l-4 -5z\" class=\"kill\"/>\n",
               x - 4, bottom);
  }
}

void draw_legend(Picture& pic, int y) {
  Out& o = pic.out;
  char crash[160];
  char unclean[120];
  std::snprintf(crash, sizeof crash,
                "<rect width=\"36\" height=\"%d\" class=\"run\"/>"
                "<rect x=\"34\" y=\"-2\" width=\"4\" height=\"%d\" "
                "class=\"crash\"/>",
                TL_BAR, TL_BAR + 4);
  std::snprintf(unclean, sizeof unclean,
                "<rect y=\"3\" width=\"30\" height=\"5\" fill=\"%s\"/>",
                TL_CRASH_COLOUR);
  out_printf(o, "<g transform=\"translate(%d %d)\" class=\"tick\">\n", TL_LEFT,
             y);
  double x = 0;
  x = legend_item(o, x, 36, "<rect width=\"36\" height=\"12\" class=\"run\"/>",
                  "run, launch to exit");
  x = legend_item(o, x, 38, crash, "abnormal exit");
  x = legend_item(o, x, 36,
                  "<rect width=\"22\" height=\"12\" class=\"run\"/>"
                  "<rect x=\"22\" width=\"14\" height=\"12\" "
                  "fill=\"url(#open)\"/>",
                  "no exit: the boot or a new launch came first");
  x = legend_item(o, x, 8, "<path d=\"M0 0h8l-4 5z\" class=\"start\"/>",
                  "start request");
  x = legend_item(o, x, 8, "<path d=\"M0 12h8l-4 -5z\" class=\"kill\"/>",
                  "kill request");
  x = legend_item(o, x, 30,
                  "<rect y=\"-2\" width=\"30\" height=\"16\" "
                  "class=\"away\"/>",
                  "card away");
  x = legend_item(o, x, 30,
                  "<rect y=\"3\" width=\"30\" height=\"5\" "
                  "fill=\"#2ca02c\"/>",
                  "boot ended with shutdown");
  legend_item(o, x, 30, unclean, "without");
  out_put(o, "</g>\n");
}
