#include "amsd/log/service_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "amsd/base/clock.h"
#include "amsd/base/console.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/limits.h"
#include "amsd/base/text.h"
#include "amsd/log/clock.h"

// O_NOFOLLOW: a link planted at the /tmp path must not redirect our writes.
// O_NONBLOCK: a FIFO planted there must not hang the daemon in open().
constexpr int BUFFER_OPEN_FLAGS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

static int open_buffer_file(const char* path, int flags) {
  return open_regular(path, flags | BUFFER_OPEN_FLAGS);
}

// Drops the oldest whole lines of the buffer file, a quarter of the cap at
// least, so that incoming more bytes keep it within the cap. Done in place:
// /tmp must not hold a second copy.
static void make_room_in_buffer(ServiceLog& log, off_t size,
                                std::size_t incoming) {
  off_t keep =
      BUFFER_LOG_CAP - BUFFER_LOG_CAP / 4 - static_cast<off_t>(incoming);
  int fd = open_buffer_file(log.buffer_path, O_RDWR);
  if (fd < 0) {
    return;
  }
  char chunk[4096];
  // The cut lies after the first newline that leaves at most keep bytes.
  off_t cut = size;
  for (off_t pos = keep > 0 ? size - keep - 1 : size; pos < size;) {
    ssize_t n = pread(fd, chunk, sizeof chunk, pos);
    if (n <= 0) {
      break;
    }
    if (auto* nl = static_cast<char*>(
            std::memchr(chunk, '\n', static_cast<std::size_t>(n)))) {
      cut = pos + (nl - chunk) + 1;
      break;
    }
    pos += n;
  }
  off_t to = 0;
  for (off_t from = cut; from < size;) {
    ssize_t n = pread(fd, chunk, sizeof chunk, from);
    if (n <= 0 || pwrite(fd, chunk, static_cast<std::size_t>(n), to) != n) {
      to = -1;
      break;
    }
    from += n;
    to += n;
  }
  if (to >= 0 && ftruncate(fd, to) == 0) {
    log.buffer_dropped += cut;
  } else {
    // Half moved: start afresh rather than keep lines twice.
    unlink(log.buffer_path);
    log.buffer_dropped += size;
  }
  close(fd);
}

static void append_to_buffer(ServiceLog& log, const char* text,
                             std::size_t len) {
  struct stat st;
  // Acted on only once past the cap, so a full buffer may exceed it by one
  // line; then the oldest lines go, not the whole file.
  if (lstat(log.buffer_path, &st) == 0 && S_ISREG(st.st_mode) &&
      st.st_size > BUFFER_LOG_CAP) {
    make_room_in_buffer(log, st.st_size, len);
  }
  int fd = open_buffer_file(log.buffer_path, O_WRONLY | O_CREAT | O_APPEND);
  if (fd < 0) {
    return;  // nowhere to log; the line is lost
  }
  ssize_t ignored = write(fd, text, len);
  (void)ignored;
  close(fd);
}

// Takes back what a move that stopped copied, cutting the card log to keep.
static void cut_back(int fd, off_t keep) {
  int ignored = ftruncate(fd, keep);
  (void)ignored;
}

void close_card_log(ServiceLog& log) {
  if (log.card_log_fd >= 0) {
    close(log.card_log_fd);
  }
  log.card_log_fd = -1;
  log.card_log_open = false;
  log.kept_len = 0;
}

// The card is gone: what it took since the last sync may never reach it.
static void card_lost(ServiceLog& log) {
  if (log.kept_len > 0) {
    append_to_buffer(log, log.kept, log.kept_len);
  }
  close_card_log(log);
}

// Returns true when the card log is still open, all its lines on the card.
// The whole card is synced, not the file alone: a FAT card whose table is
// written ahead of a file's size or a directory's entries comes back
// corrupt, and is mounted read-only.
static bool sync_card_log(ServiceLog& log) {
  if (syncfs(log.card_log_fd) == 0) {
    log.kept_len = 0;
    return true;
  }
  card_lost(log);
  return false;
}

// Also after a write the card refused: a full card keeps what it took
// before, a dead one loses it, so those lines go to the buffer first.
static void close_card_log_synced(ServiceLog& log) {
  if (log.card_log_fd >= 0 && sync_card_log(log)) {
    close_card_log(log);
  }
}

void service_log_shutdown(ServiceLog& log) {
  amsd_log(log, "shutdown");
  close_card_log_synced(log);
}

bool card_log_check(ServiceLog& log) {
  if (log.card_log_fd >= 0 && !card_log_in_place(log)) {
    card_lost(log);
  }
  return log.card_log_fd >= 0;
}

void service_log_tick(ServiceLog& log, std::uint64_t now_ms) {
  if (log.card_log_fd < 0 || log.kept_len == 0 ||
      now_ms - log.last_sync_ms < LOG_SYNC_MS) {
    return;
  }
  log.last_sync_ms = now_ms;
  if (card_log_check(log)) {
    sync_card_log(log);
  }
}

void amsd_log(ServiceLog& log, const char* fmt, ...) {
  char line[LOG_LINE_MAX + 2];  // text, newline, NUL
  int pre = std::snprintf(line, LOG_LINE_MAX + 1, "%ld %ld amsd ",
                          static_cast<long>(wall_seconds()),
                          uptime_seconds(log.uptime_path));
  if (pre < 1) {
    pre = 0;
    line[0] = '\0';
  }
  if (pre > LOG_LINE_MAX) {
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  int text = std::vsnprintf(line + pre, LOG_LINE_MAX + 1 - pre, fmt, ap);
  va_end(ap);
  if (text <= 0 || pre + text > LOG_LINE_MAX) {
    return;
  }
  std::size_t len = static_cast<std::size_t>(pre + text);
  line[len++] = '\n';

  // A card pulled by a lazy unmount still takes writes, into a file system
  // nobody will see again.
  if (card_log_check(log) && log.kept_len + len > sizeof log.kept) {
    sync_card_log(log);
  }
  if (log.card_log_fd >= 0) {
    if (fd_append_whole(log.card_log_fd, line, len) == len) {
      std::memcpy(log.kept + log.kept_len, line, len);
      log.kept_len += len;
      return;
    }
    close_card_log_synced(log);
  }
  append_to_buffer(log, line, len);
}

void card_log_attach(ServiceLog& log, int fd, const char* path) {
  log.card_log_fd = fd;
  log.card_log_open = true;
  copy_text(log.card_log_path, path);
}

bool card_log_in_place(const ServiceLog& log) {
  return fd_at_path(log.card_log_fd, log.card_log_path);
}

int open_buffer_for_move(const ServiceLog& log) {
  return open_buffer_file(log.buffer_path, O_RDONLY);
}

static void report_dropped(ServiceLog& log) {
  if (log.buffer_dropped <= 0) {
    return;
  }
  long long dropped = log.buffer_dropped;
  log.buffer_dropped = 0;
  console_line(AMSD_CONSOLE,
               "/tmp buffer: %lld bytes dropped while the card was away",
               dropped);
  amsd_log(log, "tmp buffer: %lld bytes dropped while the card was away",
           dropped);
}

void move_buffer_to_card(ServiceLog& log, int buffer_fd) {
  char chunk[1024];
  log.move_pending = false;
  // A move that stops leaves the card log as it was: the next one copies
  // the whole buffer again, which must neither repeat nor split a line.
  off_t start = lseek(log.card_log_fd, 0, SEEK_END);
  for (;;) {
    ssize_t n = fd_read(buffer_fd, chunk, sizeof chunk);
    if (n < 0) {
      // Not the end of the file: deleting it now would lose lines.
      close(buffer_fd);
      cut_back(log.card_log_fd, start);
      log.move_pending = true;
      return;
    }
    if (n == 0) {
      close(buffer_fd);
      // Deleting the buffer before its lines are on the card could lose
      // them all to a pull.
      if (!sync_card_log(log)) {
        return;
      }
      unlink(log.buffer_path);
      console_line(AMSD_CONSOLE, "/tmp buffered log moved to card");
      report_dropped(log);
      return;
    }
    if (write(log.card_log_fd, chunk, static_cast<std::size_t>(n)) != n) {
      close(buffer_fd);
      cut_back(log.card_log_fd, start);
      close_card_log_synced(log);
      return;
    }
  }
}
