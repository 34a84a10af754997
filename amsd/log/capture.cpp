#include "amsd/log/capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "amsd/base/fd_io.h"
#include "amsd/base/paths.h"
#include "amsd/base/text.h"
#include "amsd/log/service_log.h"

namespace {

constexpr std::size_t PATH_CAP = sizeof StdoutSession::path;
// One formatted output line, its newline included, and a NUL.
constexpr std::size_t LINE_CAP = LINE_BUF_SIZE;

// O_NOFOLLOW: a link planted in the app's directory must not redirect our
// writes. O_NONBLOCK: a FIFO planted there must not stall the daemon.
constexpr int CAPTURE_OPEN_FLAGS =
    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// open_capture_file found something other than a regular file.
constexpr int CAPTURE_NOT_REGULAR = -2;

// The package id names a directory below the logs directory; it must not be
// able to name anything else.
bool safe_dir_name(std::string_view pkg) {
  return !pkg.empty() && pkg != "." && pkg != ".." &&
         pkg.find('/') == std::string_view::npos;
}

// Opens the directory that holds path, refusing a link in its place, so a
// link planted for the app's directory cannot take the files elsewhere.
// *name is set to the last component of path.
int open_parent(const char* path, const char** name) {
  const char* slash = std::strrchr(path, '/');
  if (!slash || slash == path) {
    errno = EINVAL;
    return -1;
  }
  char dir[PATH_CAP];
  copy_text(dir,
            std::string_view(path, static_cast<std::size_t>(slash - path)));
  *name = slash + 1;
  return open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Returns the descriptor and stores the file's present size, or returns -1
// (errno set) or CAPTURE_NOT_REGULAR.
int open_capture_file(const char* path, std::int64_t* size) {
  const char* name = nullptr;
  int dir = open_parent(path, &name);
  if (dir < 0) {
    return -1;
  }
  int fd = openat(dir, name, CAPTURE_OPEN_FLAGS, 0644);
  int saved = errno;
  close(dir);
  if (fd < 0) {
    errno = saved;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return CAPTURE_NOT_REGULAR;
  }
  *size = st.st_size;
  return fd;
}

// Renames within the file's directory, through the same guarded directory
// open as the capture file itself.
void rename_in_dir(const char* from, const char* to) {
  const char* from_name = nullptr;
  const char* to_name = std::strrchr(to, '/');
  int dir = open_parent(from, &from_name);
  if (dir < 0 || !to_name) {
    if (dir >= 0) {
      close(dir);
    }
    return;
  }
  // A failed rename leaves the file in place; it then grows on.
  renameat(dir, from_name, dir, to_name + 1);
  close(dir);
}

// Moves the full file to its ".1" name and starts a fresh one. When the
// fresh file cannot be opened, fd stays -1 and the run's output is dropped.
void rotate(StdoutSession& s, ServiceLog& log) {
  close(s.fd);
  s.fd = -1;
  char old_path[PATH_CAP];
  if (format_path(old_path, sizeof old_path, "%s.1", s.path) >= 0) {
    rename_in_dir(s.path, old_path);
  }
  std::int64_t ignored = 0;
  int fd = open_capture_file(s.path, &ignored);
  s.fd = fd >= 0 ? fd : -1;
  s.size = 0;
  s.unsynced = true;  // a new file
  amsd_log(log, "stdout rotate -> %s.1", s.path);
}

// Formats "[ts|up=up] text\n" into line, the text cut so that the newline
// always fits. Returns the length.
std::size_t format_line(char (&line)[LINE_CAP], std::int32_t ts,
                        std::int32_t up, std::string_view text) {
  // "[%ld|up=%ld] ", written out by hand: this runs for every output line.
  std::size_t n = 0;
  line[n++] = '[';
  n += put_decimal(line + n, ts);
  std::memcpy(line + n, "|up=", 4);
  n += 4;
  n += put_decimal(line + n, up);
  line[n++] = ']';
  line[n++] = ' ';
  const std::size_t limit = sizeof line - 2;  // room for '\n' and NUL
  std::size_t take = text.size() < limit - n ? text.size() : limit - n;
  if (take > 0) {  // an empty text may have no data at all
    std::memcpy(line + n, text.data(), take);
    n += take;
  }
  line[n++] = '\n';
  line[n] = '\0';
  return n;
}

// Makes the app's directory and the logs directory above it, as they may be
// missing (a fresh card, or one that lost them to a pull).
void make_parent_dirs(const char* path) {
  char dir[PATH_CAP];
  copy_text(dir, path);
  char* slash = std::strrchr(dir, '/');
  if (!slash) {
    return;
  }
  *slash = '\0';
  char* up = std::strrchr(dir, '/');
  if (up) {
    *up = '\0';
    mkdir(dir, 0755);  // usually exists already
    *up = '/';
  }
  mkdir(dir, 0755);
}

void mark_gone(StdoutSession& s, ServiceLog& log) {
  close(s.fd);
  s.fd = -1;
  s.gone = true;
  s.unsynced = false;
  amsd_log(log, "stdout %s gone: output lost until the card is back", s.path);
}

void reopen(StdoutSession& s, ServiceLog& log) {
  make_parent_dirs(s.path);
  std::int64_t size = 0;
  int fd = open_capture_file(s.path, &size);
  if (fd < 0) {
    return;  // tried again on the next tick
  }
  s.fd = fd;
  s.size = size;
  s.gone = false;
  s.unsynced = true;
  amsd_log(log, "stdout session reopen: %s (pid=%ld) -> %s, %lld line(s) lost",
           s.pkg, static_cast<long>(s.pid), s.path,
           static_cast<long long>(s.dropped_lines));
  s.dropped_lines = 0;
}

}  // namespace

void stdout_session_reset(StdoutSession& s) {
  if (s.fd >= 0) {
    close(s.fd);
  }
  s = StdoutSession{};
}

void stdout_session_open(StdoutSession& s, ServiceLog& log,
                         const char* card_root, std::string_view pkg,
                         std::int32_t pid, std::int32_t ts) {
  stdout_session_reset(s);
  if (!safe_dir_name(pkg)) {
    return;
  }
  char path[PATH_CAP];
  if (format_path(path, sizeof path, "%s/%s/%.*s/stdout_%ld_%ld.log", card_root,
                  paths::CARD_LOGS_SUBDIR, text_len(pkg), pkg.data(),
                  static_cast<long>(ts), static_cast<long>(pid)) < 0) {
    return;
  }
  make_parent_dirs(path);
  std::int64_t size = 0;
  int fd = open_capture_file(path, &size);
  if (fd < 0) {
    const char* why =
        fd == CAPTURE_NOT_REGULAR ? "not a regular file" : std::strerror(errno);
    amsd_log(log, "stdout open fail %s: %s", path, why);
    return;
  }
  copy_text(s.pkg, pkg);
  s.pid = pid;
  s.fd = fd;
  copy_text(s.path, path);
  s.size = size;  // a reopened file continues its count
  s.active = true;
  s.unsynced = true;  // its name, at least, is new to the card
  amsd_log(log, "stdout session open: %.*s (pid=%ld) -> %s", text_len(pkg),
           pkg.data(), static_cast<long>(pid), path);
}

void stdout_session_append(StdoutSession& s, ServiceLog& log,
                           std::string_view pkg, std::int32_t pid,
                           std::int32_t ts, std::int32_t up,
                           std::string_view text) {
  if (!s.active || pkg != s.pkg || pid != s.pid) {
    return;
  }
  if (s.fd < 0) {
    s.dropped_lines += s.gone;
    return;
  }
  char line[LINE_CAP];
  std::size_t n = format_line(line, ts, up, text);
  if (s.size + static_cast<std::int64_t>(n) > CAPTURE_ROTATE_BYTES) {
    rotate(s, log);
    if (s.fd < 0) {
      return;
    }
  }
  // One write, no retry: a lost line is better than a stalled daemon.
  s.size += static_cast<std::int64_t>(fd_append_whole(s.fd, line, n));
  s.unsynced = true;
}

void stdout_session_tick(StdoutSession& s, ServiceLog& log, bool card_there,
                         std::uint64_t now_ms) {
  if (!s.active || now_ms - s.last_check_ms < LOG_SYNC_MS) {
    return;
  }
  s.last_check_ms = now_ms;
  if (s.gone) {
    if (card_there) {
      reopen(s, log);
    }
    return;
  }
  if (s.fd < 0) {
    return;
  }
  // A pulled card takes writes into a page cache it will never write out.
  // The whole card is synced, as for the service log.
  if (!fd_at_path(s.fd, s.path) || (s.unsynced && syncfs(s.fd) != 0)) {
    mark_gone(s, log);
    return;
  }
  s.unsynced = false;
}

void stdout_session_close(StdoutSession& s, std::string_view pkg) {
  if (s.active && pkg == s.pkg) {
    stdout_session_reset(s);
  }
}
