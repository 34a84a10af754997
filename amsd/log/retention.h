// Keeps the service and capture logs lying directly in the card's logs
// directory at or below 1 GiB in all, deleting the oldest first.
#pragma once

#include <cstdint>

constexpr std::int64_t LOG_RETENTION_LIMIT = 1073741824;  // bytes
constexpr int MAX_LOG_CANDIDATES = 128;

struct LogFileEntry {
  char name[96];
  std::int64_t size;
  std::int64_t mtime;  // seconds since the epoch
  // Never deleted, but counted: a name cut to fit could name another file,
  // and the card log in use would go on being written after deletion.
  bool keep;
};

// Orders entries oldest first by an exchange of whole records: equal times
// keep the relative order the exchanges leave them in.
void sort_oldest_first(LogFileEntry* e, int n);

// One run over card_root/QuorOS/logs (sub-directories are not entered);
// card_log_fd, the card log in use (or -1), is never deleted. Prints a
// console line when it deleted anything. Returns the count.
int log_cleanup(const char* card_root, int card_log_fd);
