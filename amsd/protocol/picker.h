// Picker requests: which app handles an intent action, and its start.
#pragma once

#include <cstdint>
#include <string_view>

#include "amsd/protocol/reply.h"

struct Daemon;

// One request, pending until its result arrives, then kept, answered, until
// a later request takes the slot over.
struct PendingPick {
  std::int32_t in_use;  // 1 while the slot holds a request
  std::uint32_t req;
  char caller[32];  // empty when the request named none
  char action[24];
  char handler[32];   // pkg of the handler app
  std::int32_t done;  // 1 once a result has arrived
  std::int32_t result_code;
  char result_value[256];
};

constexpr int MAX_PENDING_PICKS = 8;

struct PickerRequests {
  PendingPick slots[MAX_PENDING_PICKS] = {};
  // Next id the daemon assigns itself; never 0.
  std::uint32_t next_req_id = 1;
};

// The "picker <action>" command. Takes the next id, even when the request
// then fails. Writes one reply line.
void picker_command(Daemon& d, std::string_view action, Reply& out);

// The "picker-status [id]" view; filter may be empty.
void picker_status(Daemon& d, std::string_view filter, Reply& out);

// One picker request from a peer or a client: finds the handler, takes a
// slot and asks the launcher to start the handler. Always logs one line.
// out may be nullptr: the request is then only logged, never answered.
void picker_call(Daemon& d, std::string_view caller, std::uint32_t req,
                 std::string_view action, Reply* out);

// The result of request req, as a "PICKER_RESULT" line reports it; stored
// in the request's slot and recorded in the handler's history.
void picker_complete(Daemon& d, std::uint32_t req, std::string_view action,
                     std::int32_t code, std::string_view value);
