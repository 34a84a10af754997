// The running state of quor_amsd: accepts control connections, cuts their
// input into lines for the dispatcher, sends the collected reply and closes;
// between polls it runs the card job and the registry rescan.
#pragma once

#include <cstdint>

struct Daemon;

constexpr int MAX_CLIENTS = 32;
constexpr int IN_BUF_SIZE = 2048;  // 2047 bytes of data and a NUL
constexpr int OUT_BUF_SIZE = 512;  // reply text of one pass and a NUL
constexpr int POLL_TIMEOUT_MS = 1000;

constexpr std::uint64_t CARD_JOB_MS = 60000;
constexpr std::uint64_t RESCAN_MS = 3000;        // until apps_dir is seen
constexpr std::uint64_t RESCAN_SEEN_MS = 30000;  // once it has been opened

struct ClientConn {
  int fd;
  char in_buf[IN_BUF_SIZE];
  int in_len;
  char out_buf[OUT_BUF_SIZE];
  int out_len;
};

// Used slots are always the first count ones, in order of acceptance.
struct ClientTable {
  ClientConn slots[MAX_CLIENTS];
  int count;
};

// Last runs of the periodic jobs, on the monotonic clock in ms.
struct LoopTimers {
  std::uint64_t last_card_job = 0;
  std::uint64_t last_rescan = 0;
};

void clients_reset(ClientTable& t);

// The periodic jobs, each run when due at now_ms (monotonic). The card job
// opens a card log that is not open, moves the /tmp buffer onto it, and
// prunes old logs; the rescan runs a quiet registry scan.
void card_job_if_due(Daemon& d, LoopTimers& timers, std::uint64_t now_ms);
void rescan_if_due(Daemon& d, LoopTimers& timers, std::uint64_t now_ms);

// Returns when a stop was requested or poll failed.
void event_loop(Daemon& d, ClientTable& clients);
