// A file being followed: read on as it grows, and found again at the place
// reading stopped when it was away (a card pulled) or replaced.
#pragma once

#include <cstddef>
#include <cstdint>

#include "amsd/base/limits.h"
#include "tools/logs/line_reader.h"

// One followed file and the last line read from it, by which reading finds
// its place again in a file that was away or replaced.
struct Tail {
  char path[PATH_BUF_SIZE] = {};
  int fd = -1;
  LineReader* r = nullptr;
  std::int64_t ts = INT64_MIN;  // of its last whole line
  std::int64_t up = 0;
  bool has_last = false;
  std::size_t last_len = 0;
  char last[LINE_HOLD];
};

// Opens a regular file for reading without following a link; -1 else.
int open_file(const char* path);

std::int64_t file_size(int fd);

// -1 when nothing is at path.
std::int64_t path_size(const char* path);

// True when fd is the file at path.
bool same_file(int fd, const char* path);

void tail_close(Tail& t);

// Opens path and reads on from offset; the line before offset is taken as
// the last one read.
bool tail_open(Tail& t, const char* path, std::int64_t offset);

// Opens path again after it was away or replaced, and reads on after the
// last occurrence from `from` on of the last line read; without one, from
// fallback (held to the file's size).
bool tail_reopen(Tail& t, const char* path, std::int64_t from,
                 std::int64_t fallback);

// The next whole line (with final, a last one without its newline too),
// remembered as the last one read.
bool tail_next(Tail& t, Line& line, bool final = false);
