// What a card holds for quor_logs: the service logs, one per boot, and the
// capture files of one app. Each list is a fixed table, filled from the
// directory and sorted; a card with more files than a table holds shows its
// newest ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "amsd/base/limits.h"

constexpr int MAX_BOOTS = 2048;
constexpr int STAMP_SIZE = 64;
constexpr int LOG_NAME_SIZE = 96;

// The head and the tail of a service log are read, never the whole: its
// first and last time, and how it ended, stand there. A file no larger
// than both together is read whole and its lines counted; for a larger one
// the count is estimated from the lengths of the lines read.
constexpr std::size_t HEAD_WINDOW = 32768;
constexpr std::size_t TAIL_WINDOW = 32768;

struct BootInfo {
  char name[LOG_NAME_SIZE] = {};  // ams_<stamp>.log
  char stamp[STAMP_SIZE] = {};
  std::int64_t size = 0;
  std::int64_t mtime = 0;
  bool has_ts = false;  // a whole line was found in the head and the tail
  std::int64_t first_ts = 0;
  std::int64_t last_ts = 0;
  std::int64_t lines = 0;
  bool lines_estimated = false;
  bool clean = false;  // the last line is the daemon's "shutdown"
};

struct BootList {
  int count = 0;
  bool cut = false;  // more service logs than MAX_BOOTS: the oldest left out
  BootInfo boots[MAX_BOOTS];
};

// Lists the service logs in logs_dir, oldest first (by their first time,
// then their name), each summed up from its head and tail. Returns 0, or -1
// when the directory cannot be read.
int boot_list_read(const char* logs_dir, BootList& list);

// Sums up one service log from its head and tail.
void boot_summarize(int fd, BootInfo& b);

// The position in list of a journal-like index: 0 the newest, -1 the one
// before it, ...; 1 the oldest, 2 the next. -1 when there is none.
int boot_position(const BootList& list, std::int64_t index);

// The journal-like index (0, -1, ...) of position pos.
inline std::int64_t boot_index(const BootList& list, int pos) {
  return static_cast<std::int64_t>(pos) - (list.count - 1);
}

constexpr int MAX_CAPTURES = 16384;

// One launch's capture: stdout_<ts>_<pid>.log and its older half ".1".
struct CaptureFile {
  std::int64_t ts = 0;
  std::int64_t pid = 0;
  bool has_old = false;  // the ".1" generation
  bool has_log = false;
};

struct CaptureList {
  int count = 0;
  bool cut = false;
  CaptureFile files[MAX_CAPTURES];
};

// True for a package id that names a directory of its own under the logs.
bool pkg_name_ok(std::string_view pkg);

// Lists the capture files of pkg, by launch time then pid. Returns 0 (also
// when the app has no directory), or -1 when it cannot be read.
int capture_list_read(const char* logs_dir, std::string_view pkg,
                      CaptureList& list);

// Path of a capture file: its ".1" generation when old.
int capture_path(char (&dst)[PATH_BUF_SIZE], const char* logs_dir,
                 std::string_view pkg, const CaptureFile& f, bool old);

// Reads "stdout_<ts>_<pid>.log" or "stdout_<ts>_<pid>.log.1".
bool parse_capture_name(std::string_view name, CaptureFile& f, bool& old);

// Where the logs are.
struct LogsPlace {
  char logs_dir[PATH_BUF_SIZE] = {};  // <card>/QuorOS/logs
  // The daemon's /tmp buffer, whose lines follow the newest boot; nullptr
  // for a card read elsewhere than in its device.
  const char* buffer_path = nullptr;
};

// Opens the /tmp buffer for reading, refusing a link or anything but a
// file; -1 when there is none.
int open_buffer(const char* path);

// The service log of position pos, for reading; -1 when it cannot be
// opened.
int open_boot(const LogsPlace& place, const BootList& list, int pos);
