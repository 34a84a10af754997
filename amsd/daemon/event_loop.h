// The running state of quor_amsd: accepts control connections, cuts their
// input into lines for the dispatcher, sends the collected reply and closes;
// between polls it gives the card its turn and runs the registry rescan.
#pragma once

#include <cstdint>

#include "amsd/base/limits.h"
#include "amsd/protocol/events.h"

struct Daemon;
struct ProtocolTables;

constexpr int MAX_CLIENTS = 32;
constexpr int IN_BUF_SIZE = LINE_BUF_SIZE;    // one line's data and a NUL
constexpr int OUT_BUF_SIZE = REPLY_BUF_SIZE;  // reply text of one pass
constexpr int POLL_TIMEOUT_MS = 1000;

constexpr std::uint64_t RESCAN_MS = 3000;        // until apps_dir is seen
constexpr std::uint64_t RESCAN_SEEN_MS = 30000;  // once it has been opened
// With every slot taken, a connection this old that never reported anything
// gives its slot to a newcomer.
constexpr std::uint64_t IDLE_EVICT_MS = 10000;

struct ClientConn {
  int fd;
  char in_buf[IN_BUF_SIZE];
  int in_len;
  char out_buf[OUT_BUF_SIZE];
  int out_len;
  std::uint64_t opened_ms;  // monotonic ms of the accept
  Peer peer;
};

// Used slots are always the first count ones, in order of acceptance.
struct ClientTable {
  ClientConn slots[MAX_CLIENTS];
  int count;
};

// Last run of the periodic rescan, on the monotonic clock in ms.
struct LoopTimers {
  std::uint64_t last_rescan = 0;
};

void clients_reset(ClientTable& t);

// Input framing of one connection, apart from the loop so that it can be
// exercised alone.
enum class ReadEnd { kMore, kEof, kError };

// Reads into in_buf what the socket holds, as far as it fits (at most 2047
// bytes a pass, so one busy peer cannot keep the others waiting).
ReadEnd conn_read(ClientConn& c);

// The next complete line held in c from offset off on, cut in place at its
// newline (NUL-terminated, possibly empty), with off moved past it; nullptr
// when no newline is left.
char* conn_next_line(ClientConn& c, int& off);

// Drops the lines before off; a partial line after them moves to the front.
void conn_keep_rest(ClientConn& c, int off);

// The slot a newcomer may take from a full table: the oldest connection open
// for IDLE_EVICT_MS or more that never reported anything; -1 when none.
int idle_slot_to_evict(const ClientTable& t, std::uint64_t now_ms);

// A quiet registry scan when one is due at now_ms (monotonic).
void rescan_if_due(ProtocolTables& tables, LoopTimers& timers,
                   std::uint64_t now_ms);

// Returns when a stop was requested or poll failed.
void event_loop(Daemon& d, ClientTable& clients);
