#include "tools/logs/line_reader.h"

#include <unistd.h>

#include <cstring>

#include "amsd/base/fd_io.h"

namespace {

// Reads more after the unread bytes. Returns the bytes read; 0 at the end
// for now, or on an error (a card gone), which is remembered.
std::size_t fill(LineReader& r) {
  if (r.start > 0) {
    std::size_t have = r.end - r.start;
    std::memmove(r.buf, r.buf + r.start, have);
    r.offset += static_cast<std::int64_t>(r.start);
    r.start = 0;
    r.end = have;
  }
  ssize_t n = fd_read(r.fd, r.buf + r.end, sizeof r.buf - r.end);
  if (n < 0) {
    r.failed = true;
    return 0;
  }
  r.end += static_cast<std::size_t>(n);
  return static_cast<std::size_t>(n);
}

void hand_on(LineReader& r, Line& line, std::size_t len, bool newline) {
  line.bytes = std::string_view(r.buf + r.start, len);
  line.at = line_reader_pos(r);
  line.newline = newline;
  line.cut = false;
}

}  // namespace

void line_reader_start(LineReader& r, int fd, std::int64_t offset,
                       bool skip_partial) {
  r.fd = fd;
  r.offset = offset;
  r.start = 0;
  r.end = 0;
  r.failed = false;
  r.skipping = false;
  if (lseek(fd, offset, SEEK_SET) < 0) {
    r.failed = true;
    return;
  }
  if (skip_partial && offset > 0) {
    char before = 0;
    r.skipping = pread(fd, &before, 1, offset - 1) == 1 && before != '\n';
  }
}

ReadStep line_reader_next(LineReader& r, Line& line, bool final) {
  for (;;) {
    const char* from = r.buf + r.start;
    std::size_t have = r.end - r.start;
    const auto* nl = static_cast<const char*>(std::memchr(from, '\n', have));
    if (r.skipping) {
      if (nl) {
        r.start += static_cast<std::size_t>(nl - from) + 1;
        r.skipping = false;
        continue;
      }
      r.start = r.end;
      if (fill(r) == 0) {
        return ReadStep::kEnd;
      }
      continue;
    }
    if (nl) {
      std::size_t len = static_cast<std::size_t>(nl - from);
      bool cut = len > LINE_HOLD;
      // A cut line is handed on alike wherever its newline lies.
      hand_on(r, line, cut ? LINE_HOLD : len, !cut);
      line.cut = cut;
      r.start += len + 1;
      return ReadStep::kLine;
    }
    if (have > LINE_HOLD) {
      hand_on(r, line, LINE_HOLD, false);
      line.cut = true;
      r.start = r.end;
      r.skipping = true;
      return ReadStep::kLine;
    }
    if (fill(r) > 0) {
      continue;
    }
    if (have > 0 && final) {
      hand_on(r, line, have, false);
      r.start = r.end;
      return ReadStep::kLine;
    }
    return ReadStep::kEnd;
  }
}

std::int64_t offset_of_last_lines(int fd, std::int64_t size,
                                  std::int64_t lines) {
  if (lines <= 0) {
    return size;
  }
  char chunk[16384];
  std::int64_t found = 0;
  std::int64_t pos = size;
  while (pos > 0) {
    std::int64_t step = pos < static_cast<std::int64_t>(sizeof chunk)
                            ? pos
                            : static_cast<std::int64_t>(sizeof chunk);
    pos -= step;
    ssize_t n = pread(fd, chunk, static_cast<std::size_t>(step), pos);
    if (n != step) {
      return 0;
    }
    for (std::int64_t k = step - 1; k >= 0; --k) {
      // The newline that ends the last line starts nothing.
      if (chunk[k] != '\n' || pos + k == size - 1) {
        continue;
      }
      if (++found == lines) {
        return pos + k + 1;
      }
    }
  }
  return 0;
}
