#include "amsd/log/retention.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "amsd/base/console.h"
#include "amsd/base/limits.h"
#include "amsd/base/paths.h"
#include "amsd/base/text.h"

namespace {

bool is_log_name(std::string_view name) {
  return name.starts_with("ams_") || name.starts_with("stdout_");
}

// Fills e with the candidates in directory order; returns their count.
int collect(const char* dir, int card_log_fd, LogFileEntry* e) {
  DIR* d = opendir(dir);
  if (!d) {
    return 0;
  }
  struct stat open_log = {};
  bool have_open_log = card_log_fd >= 0 && fstat(card_log_fd, &open_log) == 0;
  int n = 0;
  struct dirent* de;
  while (n < MAX_LOG_CANDIDATES && (de = readdir(d)) != nullptr) {
    if (!is_log_name(de->d_name)) {
      continue;
    }
    char path[PATH_BUF_SIZE];
    struct stat st;
    if (format_path(path, sizeof path, "%s/%s", dir, de->d_name) < 0 ||
        stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    LogFileEntry& x = e[n++];
    bool cut = copy_text(x.name, de->d_name);
    x.size = st.st_size;
    x.mtime = st.st_mtime;
    x.keep = cut || (have_open_log && st.st_dev == open_log.st_dev &&
                     st.st_ino == open_log.st_ino);
  }
  closedir(d);
  return n;
}

}  // namespace

void sort_oldest_first(LogFileEntry* e, int n) {
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      if (e[j].mtime < e[i].mtime) {
        std::swap(e[i], e[j]);
      }
    }
  }
}

int log_cleanup(const char* card_root, int card_log_fd) {
  char dir[PATH_BUF_SIZE];
  if (format_path(dir, sizeof dir, "%s/%s", card_root,
                  paths::CARD_LOGS_SUBDIR) < 0) {
    return 0;
  }
  LogFileEntry e[MAX_LOG_CANDIDATES];
  int n = collect(dir, card_log_fd, e);
  if (n == 0) {
    return 0;
  }
  std::int64_t total = 0;
  for (int i = 0; i < n; ++i) {
    total += e[i].size;
  }
  sort_oldest_first(e, n);
  int deleted = 0;
  for (int i = 0; i < n && total > LOG_RETENTION_LIMIT; ++i) {
    char path[PATH_BUF_SIZE];
    if (e[i].keep ||
        format_path(path, sizeof path, "%s/%s", dir, e[i].name) < 0) {
      continue;
    }
    if (unlink(path) == 0) {
      total -= e[i].size;
      ++deleted;
    }
  }
  if (deleted > 0) {
    console_line(AMSD_CONSOLE, "log_cleanup deleted %d old log(s)", deleted);
  }
  return deleted;
}
