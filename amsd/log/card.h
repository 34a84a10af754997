// The removable card. Only this decides whether the card is there (the
// mount table, QUOR_AMSD_NOCARD), opens this boot's card log on it, runs the
// card job, and watches the mount table; it tells the service log and the
// capture when the card went or came back.
#pragma once

#include <poll.h>

#include <cstdint>

#include "amsd/base/paths.h"

struct ServiceLog;
struct StdoutSession;

// The card job runs this often, and at once when the mount table changes.
constexpr std::uint64_t CARD_JOB_MS = 60000;

struct Card {
  // The mount point; points at DaemonConfig::card_root in the daemon.
  const char* root = paths::DEFAULT_CARD;
  // Fixed files, replaced only by tests.
  const char* mounts_path = paths::MOUNTS;
  const char* bootts_path = paths::BOOT_STAMP;
  const char* stat_path = paths::PROC_STAT;
  int watch_fd = -1;  // the mount table, polled for changes
  std::uint64_t last_job_ms = 0;
};

// True when a line of the mounts file holds " <mount_point> ".
bool mount_point_listed(const char* mounts_path, const char* mount_point);

// Opens this boot's card log for the service log when the card is there
// and has none open. Returns 0 when the log is on the card afterwards, -1
// otherwise; never prints.
int open_card_log(const Card& card, ServiceLog& log);

// Start-up: the card log when the card is there, then retention's turn.
void card_start(Card& card, ServiceLog& log);

// Opens the mount table to watch (path: tests only); without it the card
// is looked at once a CARD_JOB_MS only.
void card_watch(Card& card, const char* path = paths::SELF_MOUNTS);
void card_unwatch(Card& card);

// The poll entry of the watch; its revents go to card_tick.
struct pollfd card_watch_poll(const Card& card);

// After every poll: the card job when the mount table changed or it is due
// (a card log gone from its path let go; a closed one opened, the /tmp
// buffer moved onto it; retention's turn), then the once-a-second syncs of
// the card log and of the capture file, which learns whether the card is
// there.
void card_tick(Card& card, ServiceLog& log, StdoutSession& capture,
               short watch_revents, std::uint64_t now_ms);
