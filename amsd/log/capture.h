// Capture of the launched app's standard output into per-launch files on the
// card. One session at a time: each launch report starts a new one.
#pragma once

#include <cstdint>
#include <string_view>

#include "amsd/base/limits.h"

struct ServiceLog;

constexpr std::int64_t CAPTURE_ROTATE_BYTES = 1048576;

struct StdoutSession {
  bool active = false;  // a file was opened for the current launch
  char pkg[PKG_SIZE] = {};
  std::int32_t pid = 0;
  std::int32_t fd = -1;
  char path[PATH_BUF_SIZE] = {};
  std::int64_t size = 0;  // bytes in the current file
  // The file left its path (the card was pulled): output is dropped until
  // the card is back and the file opens again at its path.
  bool gone = false;
  bool unsynced = false;           // lines written since the last sync
  std::int64_t dropped_lines = 0;  // while gone
  std::uint64_t last_check_ms = 0;
};

// Closes the capture file, if any, and resets the session.
void stdout_session_reset(StdoutSession& s);

// Ends any session, then starts one for this launch in
// <card_root>/QuorOS/logs/<pkg>/stdout_<ts>_<pid>.log. A package id that
// could leave that directory ("", ".", "..", or one with a '/') gets no
// session, nor does a path that does not fit.
void stdout_session_open(StdoutSession& s, ServiceLog& log,
                         const char* card_root, std::string_view pkg,
                         std::int32_t pid, std::int32_t ts);

// One output line of the app: "[ts|up=up] text" goes to the file. Lines of
// any other package or pid than the session's are dropped.
void stdout_session_append(StdoutSession& s, ServiceLog& log,
                           std::string_view pkg, std::int32_t pid,
                           std::int32_t ts, std::int32_t up,
                           std::string_view text);

// Run from the card's tick, at most once a LOG_SYNC_MS: a file gone from its
// path, or one that fails to sync, is closed and the session waits; once the
// card is there again (card_there) the file opens again at its path.
void stdout_session_tick(StdoutSession& s, ServiceLog& log, bool card_there,
                         std::uint64_t now_ms);

// Ends the session when it is active and belongs to pkg.
void stdout_session_close(StdoutSession& s, std::string_view pkg);
