#include "tools/logs/print.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "amsd/base/paths.h"
#include "amsd/base/text.h"

namespace {

// Text that needs no escaping on a terminal: most lines, checked fast.
bool printable(std::string_view s) {
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t') || u >= 0x7F) {
      return false;
    }
  }
  return true;
}

void put_text(Out& o, std::string_view s) {
  if (printable(s)) {
    out_put(o, s);
  } else {
    out_escaped(o, s);
  }
}

// s and blanks up to width, and one blank at least.
void put_padded(Out& o, std::string_view s, std::size_t width) {
  put_text(o, s);
  out_char(o, ' ');
  for (std::size_t k = s.size() + 1; k <= width; ++k) {
    out_char(o, ' ');
  }
}

// The first and the last time of a log, as the boot list's two columns.
void put_times(Out& o, const BootInfo& b, TimeText& first, TimeText& last) {
  if (b.has_ts) {
    out_printf(o, "%-28s ", local_time(first, b.first_ts, TimeFormat::kLong));
    out_printf(o, "%-28s ", local_time(last, b.last_ts, TimeFormat::kLong));
  } else {
    out_printf(o, "%-28s %-28s ", "(no whole line)", "");
  }
}

void print_json(Printer& p, const Entry& e) {
  Out& o = *p.out;
  out_char(o, '{');
  bool app = p.kind == ViewKind::kApp;
  if (!e.torn) {
    if (app) {
      out_put(o, "\"ts\":");
      out_int(o, e.ts);
      out_put(o, ",\"up\":");
      out_int(o, e.up);
      out_char(o, ',');
    }
  }
  if (app) {
    out_put(o, e.from_log ? "\"source\":\"log\"," : "\"source\":\"stdout\",");
  }
  if (!e.from_log) {
    out_put(o, "\"pid\":");
    out_int(o, e.pid);
  } else if (e.pending) {
    out_put(o, "\"pending\":true");
  } else {
    out_put(o, "\"boot\":");
    out_json_string(o, e.boot);
  }
  if (e.torn) {
    out_put(o, ",\"torn\":true,\"raw\":");
  } else {
    if (!app) {
      out_put(o, ",\"ts\":");
      out_int(o, e.ts);
      out_put(o, ",\"up\":");
      out_int(o, e.up);
    }
    out_put(o, ",\"text\":");
  }
  out_json_string(o, e.text);
  out_put(o, "}\n");
}

void print_text(Printer& p, const Entry& e) {
  Out& o = *p.out;
  bool app = p.kind == ViewKind::kApp;
  if (!app && e.pending && !p.pending_said) {
    out_printf(o, "-- not yet on the card (%s) --\n", p.buffer_path);
    p.pending_said = true;
  }
  if (e.torn) {
    out_put(o, "[torn] ");
  } else {
    out_put(o, local_time(p.time, e.ts, TimeFormat::kLine));
    out_put(o, " up ");
    out_int(o, e.up);
    out_char(o, ' ');
  }
  if (app && e.from_log) {
    out_put(o, e.pending ? "amsd (not yet on the card): " : "amsd: ");
  } else if (app) {
    put_text(o, p.pkg);
    out_char(o, '[');
    out_int(o, e.pid);
    out_put(o, "]: ");
  }
  if (e.torn) {
    out_escaped(o, e.text);
  } else {
    put_text(o, e.text);
  }
  out_char(o, '\n');
}

}  // namespace

void print_entry(Printer& p, const Entry& e) {
  // A torn line before any whole one has no time: only a window leaves it
  // out.
  bool in =
      e.torn && e.ts == LLONG_MIN ? !p.window.any() : p.window.holds(e.ts);
  if (!in) {
    return;
  }
  ++p.count;
  if (p.count_only || p.skip >= p.count) {
    return;
  }
  if (p.json) {
    print_json(p, e);
  } else {
    print_text(p, e);
  }
}

void print_boot_list(Printer& p, const LogsPlace& place, const BootList& list) {
  Out& o = *p.out;
  TimeText first_text;
  TimeText last_text;
  if (!p.json) {
    out_printf(o, "%4s %-24s %-28s %-28s %10s  %s\n", "IDX", "STAMP", "FIRST",
               "LAST", "LINES", "END");
  }
  for (int pos = 0; pos < list.count; ++pos) {
    const BootInfo& b = list.boots[pos];
    std::int64_t index = boot_index(list, pos);
    if (p.json) {
      out_put(o, "{\"index\":");
      out_int(o, index);
      out_put(o, ",\"stamp\":");
      out_json_string(o, b.stamp);
      out_put(o, ",\"file\":");
      char file[PATH_BUF_SIZE];
      format_path(file, sizeof file, "%s/%s", paths::CARD_LOGS_SUBDIR, b.name);
      out_json_string(o, file);
      if (b.has_ts) {
        out_printf(o, ",\"first_ts\":%lld,\"last_ts\":%lld",
                   static_cast<long long>(b.first_ts),
                   static_cast<long long>(b.last_ts));
      } else {
        out_put(o, ",\"first_ts\":null,\"last_ts\":null");
      }
      out_printf(o, ",\"lines\":%lld,\"clean\":%s",
                 static_cast<long long>(b.lines), b.clean ? "true" : "false");
      if (b.lines_estimated) {
        out_put(o, ",\"lines_estimated\":true");
      }
      out_put(o, "}\n");
      continue;
    }
    char lines[24];
    std::snprintf(lines, sizeof lines, "%s%lld", b.lines_estimated ? "~" : "",
                  static_cast<long long>(b.lines));
    out_printf(o, "%4lld ", static_cast<long long>(index));
    put_padded(o, b.stamp, 24);
    put_times(o, b, first_text, last_text);
    out_printf(o, "%10s  %s\n", lines, b.clean ? "clean" : "unclean");
  }
  // The buffer's lines belong after the newest boot: say where they are.
  int fd = place.buffer_path ? open_buffer(place.buffer_path) : -1;
  if (fd < 0) {
    return;
  }
  struct stat st;
  BootInfo buf;
  buf.size = fstat(fd, &st) == 0 ? st.st_size : 0;
  boot_summarize(fd, buf);
  close(fd);
  if (buf.lines == 0) {
    return;
  }
  if (p.json) {
    out_put(o, "{\"pending\":true,\"file\":");
    out_json_string(o, place.buffer_path);
    if (buf.has_ts) {
      out_printf(o, ",\"first_ts\":%lld,\"last_ts\":%lld",
                 static_cast<long long>(buf.first_ts),
                 static_cast<long long>(buf.last_ts));
    }
    out_printf(o, ",\"lines\":%lld}\n", static_cast<long long>(buf.lines));
    return;
  }
  out_put(o, "   + ");
  put_padded(o, place.buffer_path, 24);
  put_times(o, buf, first_text, last_text);
  out_printf(o, "%10lld  not yet on the card\n",
             static_cast<long long>(buf.lines));
}
