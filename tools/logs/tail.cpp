#include "tools/logs/tail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "amsd/base/text.h"

int open_file(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

std::int64_t file_size(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_size : 0;
}

std::int64_t path_size(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_size : -1;
}

namespace {

void remember(Tail& t, const Line& line) {
  t.last_len = line.bytes.size();
  std::memcpy(t.last, line.bytes.data(), t.last_len);
  t.has_last = true;
}

}  // namespace

void tail_close(Tail& t) {
  if (t.fd >= 0) {
    close(t.fd);
  }
  t.fd = -1;
}

bool tail_open(Tail& t, const char* path, std::int64_t offset) {
  tail_close(t);
  copy_text(t.path, path);
  t.has_last = false;
  t.fd = open_file(path);
  if (t.fd < 0) {
    return false;
  }
  if (offset > 0) {
    line_reader_start(*t.r, t.fd, offset_of_last_lines(t.fd, offset, 1));
    Line line;
    if (line_reader_next(*t.r, line, false) == ReadStep::kLine) {
      remember(t, line);
    }
  }
  line_reader_start(*t.r, t.fd, offset);
  return true;
}

bool tail_reopen(Tail& t, const char* path, std::int64_t from,
                 std::int64_t fallback) {
  bool had = t.has_last;
  std::size_t len = t.last_len;
  tail_close(t);
  copy_text(t.path, path);
  t.fd = open_file(path);
  if (t.fd < 0) {
    return false;
  }
  std::int64_t size = file_size(t.fd);
  from = from < 0 ? 0 : (from > size ? size : from);
  std::int64_t at = -1;
  if (had) {
    line_reader_start(*t.r, t.fd, from, from > 0);
    Line line;
    while (line_reader_next(*t.r, line, false) == ReadStep::kLine) {
      if (line.bytes.size() == len &&
          std::memcmp(line.bytes.data(), t.last, len) == 0) {
        at = line_reader_pos(*t.r);
      }
    }
  }
  if (at < 0) {
    at = fallback < 0 ? 0 : (fallback > size ? size : fallback);
  }
  line_reader_start(*t.r, t.fd, at);
  return true;
}

bool tail_next(Tail& t, Line& line, bool final) {
  if (t.fd < 0 || line_reader_next(*t.r, line, final) != ReadStep::kLine) {
    return false;
  }
  remember(t, line);
  return true;
}

bool same_file(int fd, const char* path) {
  struct stat a;
  struct stat b;
  return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}
