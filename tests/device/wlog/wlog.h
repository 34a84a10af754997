// A log of every write a disk took, as QEMU's blklogwrites driver keeps it:
// a superblock in log sector 0, then per entry one log sector of header
// followed by the entry's data, padded to whole log sectors. Sectors and
// sector counts are in the log's sector size; numbers are little-endian.
// Plain C library and POSIX only: the device rig builds this on the host
// with nothing but a compiler.
#pragma once

#include <cstdint>

constexpr std::uint64_t WLOG_MAGIC = 0x6a736677736872;
constexpr std::uint64_t WLOG_VERSION = 1;

// Entry flags.
constexpr std::uint64_t WLOG_FLUSH = 1;
constexpr std::uint64_t WLOG_FUA = 2;
constexpr std::uint64_t WLOG_DISCARD = 4;
constexpr std::uint64_t WLOG_MARK = 8;

// Besides 0 and -1 (a read or write failed; errno says why): the file is no
// write log, or an entry does not fit in it.
constexpr int WLOG_BAD_FORMAT = -2;

struct WlogLog {
  int fd = -1;
  std::uint32_t sector_size = 0;  // bytes
  std::uint64_t nr_entries = 0;   // as the superblock counts them
  std::uint64_t log_bytes = 0;    // the file's size at open
  std::uint64_t entries_read = 0;
  std::uint64_t next_pos = 0;  // byte offset of the next entry's header
};

struct WlogEntry {
  std::uint64_t index = 0;  // from 1, in log order
  std::uint64_t sector = 0;
  std::uint64_t nr_sectors = 0;
  std::uint64_t flags = 0;
  std::uint64_t data_len = 0;
  std::uint64_t data_pos = 0;    // where its data starts in the log
  std::uint64_t data_bytes = 0;  // how much data follows, unpadded
};

// Reads the superblock of the log open on fd and sets up reading from the
// first entry. Returns 0, -1 or WLOG_BAD_FORMAT.
int wlog_open(WlogLog& log, int fd);

// Reads the next entry's header. Returns 1 with entry filled, 0 after the
// last entry the superblock counts, -1 or WLOG_BAD_FORMAT.
int wlog_next(WlogLog& log, WlogEntry& entry);

// Puts the entry's write (a discard as zeroes) into the image open on
// image_fd, moved down by shift bytes: the image starts at that byte of the
// logged disk, and what lies before it is left out. Other entries change
// nothing. Returns 0, -1 or WLOG_BAD_FORMAT (the data is cut short).
int wlog_apply(const WlogLog& log, const WlogEntry& entry, int image_fd,
               std::uint64_t shift);

// Where a crash may strike around an entry: after its write, and before and
// after a flush.
enum WlogPointKind : std::uint8_t {
  WLOG_POINT_WRITE,
  WLOG_POINT_PRE_FLUSH,
  WLOG_POINT_POST_FLUSH,
};
constexpr int WLOG_MAX_ENTRY_POINTS = 3;

// The entry's crash points in order; its write is applied just before its
// WLOG_POINT_WRITE point. A flush comes before the data it carries. Returns
// how many were filled in.
int wlog_entry_points(const WlogEntry& entry,
                      WlogPointKind (&kinds)[WLOG_MAX_ENTRY_POINTS]);

// "write", "pre-flush" or "post-flush".
const char* wlog_point_name(WlogPointKind kind);

// Whether point (from 1) of total is checked when at most max_points may be
// (0: no limit): then every one of the last max_points / 2 (rounded up) and
// an even sample of the rest before them, the last of these included.
bool wlog_point_checked(std::uint64_t point, std::uint64_t total,
                        std::uint64_t max_points);

// A check that exits with this or more could not check at all.
constexpr int WLOG_CHECK_HARD_FAILURE = 125;

// Runs cmd through /bin/sh with WLOG_POINT, WLOG_ENTRY and WLOG_KIND set;
// its exit status, 128 + the signal that ended it, or
// WLOG_CHECK_HARD_FAILURE when it could not run.
int wlog_run_check(const char* cmd, std::uint64_t point, const WlogEntry& entry,
                   WlogPointKind kind);
