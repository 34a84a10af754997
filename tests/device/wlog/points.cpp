// The crash points of a write log: where they fall around each entry,
// which of them are checked, and the check run at one.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wlog.h"

int wlog_entry_points(const WlogEntry& entry,
                      WlogPointKind (&kinds)[WLOG_MAX_ENTRY_POINTS]) {
  int n = 0;
  if (entry.flags & WLOG_FLUSH) {
    kinds[n++] = WLOG_POINT_PRE_FLUSH;
    kinds[n++] = WLOG_POINT_POST_FLUSH;
  }
  if (!(entry.flags & WLOG_MARK) && entry.nr_sectors > 0) {
    kinds[n++] = WLOG_POINT_WRITE;
  }
  return n;
}

const char* wlog_point_name(WlogPointKind kind) {
  switch (kind) {
  case WLOG_POINT_WRITE:
    return "write";
  case WLOG_POINT_PRE_FLUSH:
    return "pre-flush";
  case WLOG_POINT_POST_FLUSH:
    return "post-flush";
  }
  return "?";
}

bool wlog_point_checked(std::uint64_t point, std::uint64_t total,
                        std::uint64_t max_points) {
  if (max_points == 0 || total <= max_points) {
    return true;
  }
  std::uint64_t last = max_points - max_points / 2;
  std::uint64_t sample = max_points / 2;
  std::uint64_t early = total - last;
  if (point > early) {
    return true;
  }
  // The sample takes the last point of each of its even stretches of the
  // early ones: where point * sample / early steps up.
  return point * sample / early > (point - 1) * sample / early;
}

// Runs the check through /bin/sh; its exit status, or 128 + the signal.
int wlog_run_check(const char* cmd, std::uint64_t point, const WlogEntry& entry,
                   WlogPointKind kind) {
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "wlog_replay: fork: %s\n", std::strerror(errno));
    return WLOG_CHECK_HARD_FAILURE;
  }
  if (pid == 0) {
    char num[24];
    std::snprintf(num, sizeof num, "%" PRIu64, point);
    setenv("WLOG_POINT", num, 1);
    std::snprintf(num, sizeof num, "%" PRIu64, entry.index);
    setenv("WLOG_ENTRY", num, 1);
    setenv("WLOG_KIND", wlog_point_name(kind), 1);
    execl("/bin/sh", "sh", "-c", cmd, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return WLOG_CHECK_HARD_FAILURE;
    }
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return WEXITSTATUS(status);
}
