// Picker requests: which app handles an intent action, and its start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "amsd/base/limits.h"
#include "amsd/protocol/reply.h"
#include "amsd/registry/app_table.h"

struct ServiceLog;

// Room for a decoded picker result value, its NUL included. The value is
// the decoded bytes up to the first NUL among them, since the result is
// kept and shown as text.
constexpr std::size_t PICKER_VALUE_CAP = 256;

// One request, pending until its result arrives, then kept, answered, until
// a later request takes the slot over.
struct PendingPick {
  bool in_use;  // the slot holds a request
  std::uint32_t req;
  char caller[PKG_SIZE];  // empty when the request named none
  char action[ACTION_SIZE];
  char handler[PKG_SIZE];  // pkg of the handler app
  bool done;               // a result has arrived
  std::int32_t result_code;
  char result_value[PICKER_VALUE_CAP];
};

constexpr int MAX_PENDING_PICKS = 8;

struct PickerRequests {
  PendingPick slots[MAX_PENDING_PICKS];  // zeroed: all free
  // Next id the daemon assigns itself; never 0.
  std::uint32_t next_req_id = 1;
};

// The "picker <action>" command. Takes the next id, even when the request
// then fails. Writes one reply line.
void picker_command(const Registry& reg, PickerRequests& picks, ServiceLog& log,
                    const char* ipc_sock_path, std::string_view action,
                    Reply& out);

// The "picker-status [id]" view; filter may be empty.
void picker_status(const PickerRequests& picks, std::string_view filter,
                   Reply& out);

// One picker request from a peer or a client: finds the handler in reg,
// takes a slot and asks the launcher at ipc_sock_path to start the handler.
// Always logs one line. out may be nullptr: the request is then only
// logged, never answered.
void picker_call(const Registry& reg, PickerRequests& picks, ServiceLog& log,
                 const char* ipc_sock_path, std::string_view caller,
                 std::uint32_t req, std::string_view action, Reply* out);

// The result of request req, as a "PICKER_RESULT" line reports it; stored
// in the request's slot and recorded in the handler's history.
void picker_complete(PickerRequests& picks, Registry& reg, ServiceLog& log,
                     std::uint32_t req, std::string_view action,
                     std::int32_t code, std::string_view value);
