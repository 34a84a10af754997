// The service log: one line per event, into this boot's log file on the card,
// or into a capped buffer file in /tmp while the card is not available.
#pragma once

#include <cstddef>
#include <cstdint>

#include "amsd/base/limits.h"
#include "amsd/base/paths.h"

// Lines the card log took since its last good sync are kept here: a card
// pulled without unmounting drops what its page cache held.
constexpr std::size_t LOG_KEEP_BYTES = 65536;
// The card log is synced at most this often, while it has unsynced lines.
constexpr std::uint64_t LOG_SYNC_MS = 1000;

struct ServiceLog {
  int card_log_fd = -1;
  bool card_log_open = false;  // exactly while card_log_fd is open
  // Fixed files, replaced only by tests.
  const char* buffer_path = paths::BUFFER_LOG;
  const char* uptime_path = paths::UPTIME;
  // Where the open card log lies, to notice when it is gone from there.
  char card_log_path[PATH_BUF_SIZE] = {};
  // A move of the buffer stopped at a read error; a later card job retries.
  bool move_pending = false;
  // Bytes of the oldest buffered lines given up at the buffer's cap since
  // the last move; said once the buffer is on the card.
  std::int64_t buffer_dropped = 0;
  std::uint64_t last_sync_ms = 0;  // monotonic ms of the last sync attempt
  std::size_t kept_len = 0;
  char kept[LOG_KEEP_BYTES];  // lines not yet synced, whole
};

// Longest line written, prefix and text together, without the newline.
constexpr int LOG_LINE_MAX = LINE_MAX_BYTES;
// The buffer file never grows past this: at the cap its oldest lines make
// room, a quarter of the cap at a time.
constexpr long BUFFER_LOG_CAP = 262144;

// Writes "<wall> <uptime> amsd <text>\n". The text carries no newline of its
// own. Over-long or empty lines are dropped; failures are silent. A line the
// card log does not take whole (or a card log gone from its path) closes the
// card log, and the line goes to the buffer file, after the kept lines that
// never reached the card.
[[gnu::format(printf, 2, 3)]] void amsd_log(ServiceLog& log, const char* fmt,
                                            ...);

// Takes fd, open for appending on this boot's card log at path (the card
// module opened it), as the card log.
void card_log_attach(ServiceLog& log, int fd, const char* path);

// Copies the opened buffer file (buffer_fd, which it closes) onto the end of
// the card log, syncs it, then deletes the buffer file and tells how much the
// cap dropped meanwhile. A failed or short write or a failed sync closes the
// card log and leaves the buffer file in place; a failed read keeps the card
// log open and sets move_pending. Either way the card log is cut back to its
// size before the move.
void move_buffer_to_card(ServiceLog& log, int buffer_fd);

// True when the open card log is still the file at its path: the logs
// directory may have been removed and made again under it.
bool card_log_in_place(const ServiceLog& log);

// Closes a card log that is no longer at its path; the kept lines go to the
// buffer file. Returns true when a card log is open afterwards.
bool card_log_check(ServiceLog& log);

// Run from the loop's tick: syncs the card log when it holds lines not yet
// synced and LOG_SYNC_MS have passed since the last try. A failed sync
// closes the card log, and the kept lines go to the buffer file.
void service_log_tick(ServiceLog& log, std::uint64_t now_ms);

// Opens the buffer file for reading without following a link planted at its
// path; -1 when there is none.
int open_buffer_for_move(const ServiceLog& log);

// Closes the card log if open, forgetting the kept lines.
void close_card_log(ServiceLog& log);

// The last line, "shutdown"; then the card log closes once its lines are on
// the card (else they go to the buffer file).
void service_log_shutdown(ServiceLog& log);
