// wlog_replay LOG IMAGE [--offset BYTES] [--run CMD] [--max-points N]:
// applies a disk's write log to an image of it entry by entry and runs CMD
// (through /bin/sh, WLOG_POINT, WLOG_ENTRY and WLOG_KIND set) at each
// checked crash point. --offset: the image starts at this byte of the disk.
// --max-points: with more points, the last N/2 and an even sample of N/2
// before them. Prints "points: TOTAL in the log, CHECKED checked" last.
// Exit status: 0, 1 a check failed (1-124), 2 an error or a check that
// could not check (125 or more). Plain C++ and POSIX: crash_points.sh
// builds it with g++ alone, from this file, points.cpp and wlog.cpp.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wlog.h"

namespace {

constexpr int EXIT_CHECK_FAILED = 1;
constexpr int EXIT_ERROR = 2;
constexpr char USAGE[] =
    "usage: wlog_replay LOG IMAGE [--offset BYTES] [--run CMD] "
    "[--max-points N]\n";

struct ReplayConfig {
  const char* log_path = nullptr;
  const char* image_path = nullptr;
  std::uint64_t offset = 0;
  const char* run = nullptr;
  std::uint64_t max_points = 0;
};

struct ReplayCount {
  std::uint64_t total = 0;
  std::uint64_t point = 0;
  std::uint64_t checked = 0;
  std::uint64_t failed = 0;
};

// Decimal digits only; false for anything else or an overflow.
bool parse_number(const char* text, std::uint64_t& out) {
  if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text)) {
    return false;
  }
  errno = 0;
  unsigned long long v = std::strtoull(text, nullptr, 10);
  out = v;
  return errno == 0;
}

int parse_args(int argc, char** argv, ReplayConfig& cfg) {
  int positional = 0;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    bool has_value = i + 1 < argc;
    if (std::strcmp(a, "--offset") == 0 && has_value) {
      if (!parse_number(argv[++i], cfg.offset)) {
        return -1;
      }
    } else if (std::strcmp(a, "--max-points") == 0 && has_value) {
      if (!parse_number(argv[++i], cfg.max_points)) {
        return -1;
      }
    } else if (std::strcmp(a, "--run") == 0 && has_value) {
      cfg.run = argv[++i];
    } else if (a[0] == '-' || positional == 2) {
      return -1;
    } else if (positional++ == 0) {
      cfg.log_path = a;
    } else {
      cfg.image_path = a;
    }
  }
  return positional == 2 ? 0 : -1;
}

void report_log_error(const char* path, int rc) {
  if (rc == WLOG_BAD_FORMAT) {
    std::fprintf(stderr, "wlog_replay: %s: not a write log, or cut short\n",
                 path);
  } else {
    std::fprintf(stderr, "wlog_replay: %s: %s\n", path, std::strerror(errno));
  }
}

// Counts the crash points of the whole log; -1 after reporting an error.
int count_points(WlogLog& log, const char* path, std::uint64_t& total) {
  WlogEntry entry;
  WlogPointKind kinds[WLOG_MAX_ENTRY_POINTS];
  int rc;
  total = 0;
  while ((rc = wlog_next(log, entry)) == 1) {
    total += static_cast<std::uint64_t>(wlog_entry_points(entry, kinds));
  }
  if (rc < 0) {
    report_log_error(path, rc);
    return -1;
  }
  if (log.next_pos < log.log_bytes) {
    // An old superblock: the writer did not close the log.
    std::fprintf(stderr,
                 "wlog_replay: %s: %" PRIu64 " bytes after the last of %" PRIu64
                 " entries, left out\n",
                 path, log.log_bytes - log.next_pos, log.nr_entries);
  }
  return 0;
}

// Applies every entry, checking the points chosen; -1 after reporting an
// error or a check that failed hard.
int replay(const ReplayConfig& cfg, WlogLog& log, int image_fd,
           ReplayCount& count) {
  WlogEntry entry;
  WlogPointKind kinds[WLOG_MAX_ENTRY_POINTS];
  int rc;
  while ((rc = wlog_next(log, entry)) == 1) {
    int n = wlog_entry_points(entry, kinds);
    for (int i = 0; i < n; i++) {
      if (kinds[i] == WLOG_POINT_WRITE) {
        rc = wlog_apply(log, entry, image_fd, cfg.offset);
        if (rc != 0) {
          report_log_error(rc == -1 ? cfg.image_path : cfg.log_path, rc);
          return -1;
        }
      }
      count.point++;
      if (!cfg.run ||
          !wlog_point_checked(count.point, count.total, cfg.max_points)) {
        continue;
      }
      count.checked++;
      int status = wlog_run_check(cfg.run, count.point, entry, kinds[i]);
      if (status >= WLOG_CHECK_HARD_FAILURE) {
        std::fprintf(stderr,
                     "wlog_replay: the check failed at point %" PRIu64
                     " (entry %" PRIu64 ", %s): exit %d\n",
                     count.point, entry.index, wlog_point_name(kinds[i]),
                     status);
        return -1;
      }
      if (status != 0) {
        count.failed++;
      }
    }
  }
  if (rc < 0) {
    report_log_error(cfg.log_path, rc);
    return -1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ReplayConfig cfg;
  if (parse_args(argc, argv, cfg) != 0) {
    std::fputs(USAGE, stderr);
    return EXIT_ERROR;
  }
  int log_fd = open(cfg.log_path, O_RDONLY | O_CLOEXEC);
  if (log_fd < 0) {
    report_log_error(cfg.log_path, -1);
    return EXIT_ERROR;
  }
  int image_fd = open(cfg.image_path, O_RDWR | O_CLOEXEC);
  if (image_fd < 0) {
    report_log_error(cfg.image_path, -1);
    return EXIT_ERROR;
  }
  WlogLog log;
  ReplayCount count;
  int rc = wlog_open(log, log_fd);
  if (rc != 0) {
    report_log_error(cfg.log_path, rc);
    return EXIT_ERROR;
  }
  if (count_points(log, cfg.log_path, count.total) != 0) {
    return EXIT_ERROR;
  }
  // Once more from the first entry: the superblock read as before.
  wlog_open(log, log_fd);
  if (replay(cfg, log, image_fd, count) != 0) {
    return EXIT_ERROR;
  }
  std::printf("points: %" PRIu64 " in the log, %" PRIu64 " checked\n",
              count.total, count.checked);
  if (count.failed > 0) {
    std::fprintf(stderr,
                 "wlog_replay: %" PRIu64 " of %" PRIu64 " checks failed\n",
                 count.failed, count.checked);
    return EXIT_CHECK_FAILED;
  }
  return 0;
}
