// Reads the lines of a log file through one fixed buffer, whatever the size
// of the file or of its lines: memory stays flat. A file cut by a power
// failure may end inside a line or hold long runs of NUL bytes; such lines
// come back whole as far as they fit, flagged, never as an error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

// Lines longer than this are handed on cut to it: no line the daemon writes
// comes near it.
constexpr std::size_t LINE_HOLD = 4096;
constexpr std::size_t READER_BUF_SIZE = 65536;
static_assert(READER_BUF_SIZE >= 2 * LINE_HOLD);

struct Line {
  std::string_view bytes;  // without its newline; at most LINE_HOLD
  std::int64_t at = 0;     // file offset of its first byte
  bool newline = false;    // ended by a newline, not by the end of the file
  bool cut = false;  // longer than LINE_HOLD: the rest up to the next newline
                     // is skipped, and newline is false
};

struct LineReader {
  int fd = -1;
  std::int64_t offset = 0;  // file offset of buf[0]
  std::size_t start = 0;    // unread bytes: buf[start, end)
  std::size_t end = 0;
  bool skipping = false;  // inside the rest of a line handed on cut
  bool failed = false;    // a read failed (a card gone under it)
  char buf[READER_BUF_SIZE];
};

enum class ReadStep { kLine, kEnd };

// Starts reading fd at offset (the caller owns fd). With skip_partial and
// an offset inside the file, the bytes up to the first newline are passed
// over, so that reading begins on a line of its own.
void line_reader_start(LineReader& r, int fd, std::int64_t offset,
                       bool skip_partial = false);

// The next line. At the end of the data a last line without its newline is
// handed on only when final: a file still being written may complete it,
// and it stays buffered for the next call. kEnd leaves the reader ready to
// go on when the file has grown.
ReadStep line_reader_next(LineReader& r, Line& line, bool final);

// File offset of the first byte not yet handed on.
inline std::int64_t line_reader_pos(const LineReader& r) {
  return r.offset + static_cast<std::int64_t>(r.start);
}

// Offset at which the last `lines` lines of the first `size` bytes of fd
// begin, reading backwards in steps of the reader's buffer; a last line
// without its newline counts. 0 when the file holds no more lines than that.
std::int64_t offset_of_last_lines(int fd, std::int64_t size,
                                  std::int64_t lines);
