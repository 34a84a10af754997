// The service log: one line per event, into this boot's log file on the card,
// or into a capped buffer file in /tmp while the card is not available.
#pragma once

#include <cstdint>

#include "amsd/base/limits.h"
#include "amsd/base/paths.h"

struct ServiceLog {
  int card_log_fd = -1;
  bool card_log_open = false;  // exactly while card_log_fd is open
  // The card's mount point; points at DaemonConfig::card_root in the daemon.
  const char* card_root = paths::DEFAULT_CARD;
  // Fixed files, replaced only by tests.
  const char* buffer_path = paths::BUFFER_LOG;
  const char* mounts_path = paths::MOUNTS;
  const char* bootts_path = paths::BOOT_STAMP;
  const char* uptime_path = paths::UPTIME;
  const char* stat_path = paths::PROC_STAT;
  // Where the open card log lies, to notice when it is gone from there.
  char card_log_path[PATH_BUF_SIZE] = {};
  // A move of the buffer stopped at a read error; a later card job retries.
  bool move_pending = false;
};

// Longest line written, prefix and text together, without the newline.
constexpr int LOG_LINE_MAX = LINE_MAX_BYTES;
// A buffer file above this size is started afresh before the next line.
constexpr long BUFFER_LOG_CAP = 262144;

// Writes "<wall> <uptime> amsd <text>\n". The text carries no newline of its
// own. Over-long or empty lines are dropped; failures are silent. A line the
// card log does not take whole (or a card log gone from its path) closes the
// card log, and the line goes to the buffer file.
[[gnu::format(printf, 2, 3)]] void amsd_log(ServiceLog& log, const char* fmt,
                                            ...);

// Opens this boot's card log if it is not open yet. Returns 0 when it is open
// afterwards, -1 otherwise; never prints.
int open_card_log(ServiceLog& log);

// Copies the opened buffer file (buffer_fd, which it closes) onto the end of
// the card log, then deletes the buffer file. A failed or short write closes
// the card log and leaves the buffer file in place; a failed read keeps the
// card log open and sets move_pending. Either way the card log is cut back to
// its size before the move.
void move_buffer_to_card(ServiceLog& log, int buffer_fd);

// True when the open card log is still the file at its path: the logs
// directory may have been removed and made again under it.
bool card_log_in_place(const ServiceLog& log);

// Opens the buffer file for reading without following a link planted at its
// path; -1 when there is none.
int open_buffer_for_move(const ServiceLog& log);

// True when a line of the mounts file holds " <mount_point> ".
bool mount_point_listed(const char* mounts_path, const char* mount_point);

// Closes the card log if open.
void close_card_log(ServiceLog& log);
