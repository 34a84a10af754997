#include "tools/logs/card.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "amsd/base/fd_io.h"
#include "amsd/base/text.h"
#include "tools/logs/log_line.h"

namespace {

bool starts(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && slice(s, 0, p.size()) == p;
}

bool ends(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && slice(s, s.size() - p.size()) == p;
}

// What the lines of one window of a service log show.
struct WindowScan {
  std::int64_t lines = 0;  // lines seen whole, newline included
  std::int64_t bytes = 0;  // their bytes
  bool has_ts = false;
  std::int64_t first_ts = 0;
  std::int64_t last_ts = 0;
  bool last_is_shutdown = false;  // of the window's last line
};

// Scans buf[0, n), which lies at offset `at` of a file of size bytes: a
// first line cut by the window's start is passed over, and so is a last
// one cut by its end, unless the file ends there.
void scan_window(const char* buf, std::size_t n, std::int64_t at,
                 std::int64_t size, bool starts_in_line, WindowScan& w) {
  std::size_t i = 0;
  if (starts_in_line) {
    const auto* nl = static_cast<const char*>(std::memchr(buf, '\n', n));
    if (!nl) {
      return;
    }
    i = static_cast<std::size_t>(nl - buf) + 1;
  }
  bool at_end = at + static_cast<std::int64_t>(n) == size;
  while (i < n) {
    const auto* nl =
        static_cast<const char*>(std::memchr(buf + i, '\n', n - i));
    if (!nl && !at_end) {
      break;
    }
    std::size_t len = nl ? static_cast<std::size_t>(nl - buf) - i : n - i;
    Line line;
    line.bytes = std::string_view(buf + i, len);
    line.newline = nl != nullptr;
    ++w.lines;
    w.bytes += static_cast<std::int64_t>(len) + 1;
    LogEntry e;
    bool good = parse_service_line(line, e);
    if (good) {
      if (!w.has_ts) {
        w.first_ts = e.ts;
      }
      w.has_ts = true;
      w.last_ts = e.ts;
    }
    w.last_is_shutdown = good && e.text == "shutdown";
    i += len + 1;
  }
}

// The sort order of boots: by first time, a log without one by its
// modification time, then by name.
bool boot_before(const BootInfo& a, const BootInfo& b) {
  std::int64_t ka = a.has_ts ? a.first_ts : a.mtime;
  std::int64_t kb = b.has_ts ? b.first_ts : b.mtime;
  if (ka != kb) {
    return ka < kb;
  }
  return std::strcmp(a.name, b.name) < 0;
}

bool capture_before(const CaptureFile& a, const CaptureFile& b) {
  return a.ts != b.ts ? a.ts < b.ts : a.pid < b.pid;
}

// Service logs are written by one program and named by it: a file whose
// name does not fit the table is none of its.
bool boot_from_name(std::string_view name, BootInfo& b) {
  if (!starts(name, "ams_") || !ends(name, ".log") ||
      name.size() >= sizeof b.name || name.size() - 8 >= sizeof b.stamp) {
    return false;
  }
  copy_text(b.name, name);
  copy_text(b.stamp, slice(name, 4, name.size() - 8));
  return true;
}

char g_window[HEAD_WINDOW + TAIL_WINDOW];

}  // namespace

void boot_summarize(int fd, BootInfo& b) {
  WindowScan head;
  WindowScan tail;
  bool whole = b.size <= static_cast<std::int64_t>(sizeof g_window);
  std::size_t head_len = whole ? static_cast<std::size_t>(b.size) : HEAD_WINDOW;
  ssize_t n = pread(fd, g_window, head_len, 0);
  if (n > 0) {
    scan_window(g_window, static_cast<std::size_t>(n), 0, b.size, false, head);
  }
  WindowScan* last = &head;
  if (!whole) {
    std::int64_t at = b.size - static_cast<std::int64_t>(TAIL_WINDOW);
    n = pread(fd, g_window, TAIL_WINDOW, at);
    if (n > 0) {
      scan_window(g_window, static_cast<std::size_t>(n), at, b.size, true,
                  tail);
    }
    last = &tail;
  }
  b.has_ts = head.has_ts || tail.has_ts;
  b.first_ts = head.has_ts ? head.first_ts : tail.first_ts;
  b.last_ts = last->has_ts ? last->last_ts : head.last_ts;
  b.clean = last->last_is_shutdown;
  b.lines_estimated = !whole;
  std::int64_t seen = head.lines + tail.lines;
  std::int64_t bytes = head.bytes + tail.bytes;
  if (whole) {
    b.lines = head.lines;
  } else if (bytes > 0) {
    b.lines = (b.size * seen + bytes / 2) / bytes;
  } else {
    b.lines = 0;
  }
}

int boot_list_read(const char* logs_dir, BootList& list) {
  list.count = 0;
  list.cut = false;
  DIR* dir = opendir(logs_dir);
  if (!dir) {
    return -1;
  }
  int dfd = dirfd(dir);
  BootInfo b;
  while (struct dirent* e = readdir(dir)) {
    if (!boot_from_name(e->d_name, b)) {
      continue;
    }
    int fd = openat(dfd, e->d_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0) {
      continue;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      continue;
    }
    b.size = st.st_size;
    b.mtime = st.st_mtime;
    boot_summarize(fd, b);
    close(fd);
    if (list.count < MAX_BOOTS) {
      list.boots[list.count++] = b;
      continue;
    }
    // Full: the oldest gives way.
    list.cut = true;
    BootInfo* oldest =
        std::min_element(list.boots, list.boots + list.count, boot_before);
    if (boot_before(*oldest, b)) {
      *oldest = b;
    }
  }
  closedir(dir);
  std::sort(list.boots, list.boots + list.count, boot_before);
  return 0;
}

int boot_position(const BootList& list, std::int64_t index) {
  std::int64_t pos = index > 0 ? index - 1 : list.count - 1 + index;
  return pos >= 0 && pos < list.count ? static_cast<int>(pos) : -1;
}

bool pkg_name_ok(std::string_view pkg) {
  return !pkg.empty() && pkg.size() < static_cast<std::size_t>(PKG_SIZE) &&
         pkg[0] != '.' && pkg.find('/') == std::string_view::npos &&
         pkg.find('\0') == std::string_view::npos;
}

bool parse_capture_name(std::string_view name, CaptureFile& f, bool& old) {
  old = ends(name, ".log.1");
  if (!starts(name, "stdout_") || (!old && !ends(name, ".log"))) {
    return false;
  }
  std::string_view mid = slice(name, 7, name.size() - 7 - (old ? 6 : 4));
  std::size_t sep = mid.find('_');
  if (sep == std::string_view::npos || sep == 0 || sep + 1 >= mid.size()) {
    return false;
  }
  std::string_view ts = slice(mid, 0, sep);
  std::string_view pid = slice(mid, sep + 1);
  auto number = [](std::string_view w) {
    std::size_t k = w[0] == '-' ? 1 : 0;
    if (k >= w.size() || w.size() > 19) {
      return false;
    }
    for (; k < w.size(); ++k) {
      if (w[k] < '0' || w[k] > '9') {
        return false;
      }
    }
    return true;
  };
  if (!number(ts) || !number(pid)) {
    return false;
  }
  f.ts = parse_i64(ts);
  f.pid = parse_i64(pid);
  return true;
}

int capture_list_read(const char* logs_dir, std::string_view pkg,
                      CaptureList& list) {
  list.count = 0;
  list.cut = false;
  char path[PATH_BUF_SIZE];
  if (format_path(path, sizeof path, "%s/%.*s", logs_dir, text_len(pkg),
                  pkg.data()) < 0) {
    return -1;
  }
  DIR* dir = opendir(path);
  if (!dir) {
    return 0;
  }
  // One entry per file first; a full table keeps the newest files, as a
  // heap whose top is the oldest.
  auto later = [](const CaptureFile& a, const CaptureFile& b) {
    return capture_before(b, a);
  };
  CaptureFile* files = list.files;
  while (struct dirent* e = readdir(dir)) {
    CaptureFile f;
    bool old = false;
    if (!parse_capture_name(e->d_name, f, old)) {
      continue;
    }
    (old ? f.has_old : f.has_log) = true;
    if (list.count < MAX_CAPTURES) {
      files[list.count++] = f;
      if (list.count == MAX_CAPTURES) {
        std::make_heap(files, files + list.count, later);
      }
      continue;
    }
    list.cut = true;
    if (capture_before(files[0], f)) {
      std::pop_heap(files, files + list.count, later);
      files[list.count - 1] = f;
      std::push_heap(files, files + list.count, later);
    }
  }
  closedir(dir);
  std::sort(files, files + list.count, capture_before);
  // The two generations of one launch become one entry.
  int kept = 0;
  for (int k = 0; k < list.count; ++k) {
    if (kept > 0 && files[kept - 1].ts == files[k].ts &&
        files[kept - 1].pid == files[k].pid) {
      files[kept - 1].has_old |= files[k].has_old;
      files[kept - 1].has_log |= files[k].has_log;
      continue;
    }
    files[kept++] = files[k];
  }
  list.count = kept;
  return 0;
}

int capture_path(char (&dst)[PATH_BUF_SIZE], const char* logs_dir,
                 std::string_view pkg, const CaptureFile& f, bool old) {
  return format_path(dst, sizeof dst, "%s/%.*s/stdout_%lld_%lld.log%s",
                     logs_dir, text_len(pkg), pkg.data(),
                     static_cast<long long>(f.ts),
                     static_cast<long long>(f.pid), old ? ".1" : "");
}

int open_buffer(const char* path) {
  return path ? open_regular(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW) : -1;
}

int open_boot(const LogsPlace& place, const BootList& list, int pos) {
  char path[PATH_BUF_SIZE];
  if (format_path(path, sizeof path, "%s/%s", place.logs_dir,
                  list.boots[pos].name) < 0) {
    return -1;
  }
  return open_regular(path, O_RDONLY | O_NONBLOCK);
}
