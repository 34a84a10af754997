#include "amsd/log/card.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amsd/base/limits.h"
#include "amsd/base/text.h"
#include "amsd/log/capture.h"
#include "amsd/log/clock.h"
#include "amsd/log/retention.h"
#include "amsd/log/service_log.h"

static bool env_says_no_card() {
  const char* v = std::getenv("QUOR_AMSD_NOCARD");
  return v && v[0] == '1';
}

bool mount_point_listed(const char* mounts_path, const char* mount_point) {
  char needle[300];
  if (format_path(needle, sizeof needle, " %s ", mount_point) < 0) {
    return false;
  }
  FILE* f = std::fopen(mounts_path, "re");
  if (!f) {
    return false;
  }
  char line[512];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f)) {
    found = std::strstr(line, needle) != nullptr;
  }
  std::fclose(f);
  return found;
}

int open_card_log(const Card& card, ServiceLog& log) {
  if (log.card_log_fd >= 0) {
    return 0;
  }
  if (env_says_no_card()) {
    return -1;
  }
  char dir[PATH_BUF_SIZE];
  if (format_path(dir, sizeof dir, "%s/%s", card.root,
                  paths::CARD_LOGS_SUBDIR) < 0) {
    return -1;
  }
  // The default card root must really be mounted: its directory exists on
  // the root file system too, and logging there would fill internal flash.
  if (std::strcmp(card.root, paths::DEFAULT_CARD) == 0 &&
      !mount_point_listed(card.mounts_path, card.root)) {
    return -1;
  }
  mkdir(dir, 0755);  // may exist already
  if (access(dir, W_OK) != 0) {
    return -1;
  }
  char stamp[BOOT_STAMP_SIZE];
  make_boot_stamp(stamp, card.bootts_path, log.uptime_path, card.stat_path);
  char path[PATH_BUF_SIZE];
  if (format_path(path, sizeof path, "%s/%s/ams_%s.log", card.root,
                  paths::CARD_LOGS_SUBDIR, stamp) < 0) {
    return -1;
  }
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    return -1;
  }
  card_log_attach(log, fd, path);
  return 0;
}

void card_start(Card& card, ServiceLog& log) {
  open_card_log(card, log);  // without a card the log goes to the /tmp buffer
  log_cleanup(card.root, log.card_log_fd);
}

void card_watch(Card& card, const char* path) {
  card.watch_fd = open(path, O_RDONLY | O_CLOEXEC);
}

void card_unwatch(Card& card) {
  if (card.watch_fd >= 0) {
    close(card.watch_fd);
  }
  card.watch_fd = -1;
}

struct pollfd card_watch_poll(const Card& card) {
  // The kernel flags the mount table on every mount and unmount.
  return { card.watch_fd, POLLPRI, 0 };
}

static void card_job(Card& card, ServiceLog& log, std::uint64_t now_ms) {
  // The card may have been cleaned or swapped: a log no longer at its path
  // would swallow every later line.
  card_log_check(log);
  bool move = log.move_pending;
  if (log.card_log_fd < 0) {
    move = open_card_log(card, log) == 0;
  }
  if (move) {
    int buffer_fd = open_buffer_for_move(log);
    if (buffer_fd >= 0) {
      move_buffer_to_card(log, buffer_fd);
    } else {
      log.move_pending = false;
    }
  }
  card.last_job_ms = now_ms;
  log_cleanup(card.root, log.card_log_fd);
}

void card_tick(Card& card, ServiceLog& log, StdoutSession& capture,
               short watch_revents, std::uint64_t now_ms) {
  // A card that comes back is taken at once, not at the next card job.
  if ((watch_revents & (POLLPRI | POLLERR)) ||
      now_ms - card.last_job_ms >= CARD_JOB_MS) {
    card_job(card, log, now_ms);
  }
  service_log_tick(log, now_ms);
  // The card is there while its log is open.
  stdout_session_tick(capture, log, log.card_log_open, now_ms);
}
