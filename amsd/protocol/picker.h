// Picker requests: which app handles an intent action, and its start.
#pragma once

#include <cstdint>
#include <string_view>

#include "amsd/protocol/reply.h"

struct Daemon;

// The "picker <action>" command; action is never empty. Writes one reply
// line.
void picker_command(Daemon& d, std::string_view action, Reply& out);

// The "picker-status [id]" view; filter may be empty.
void picker_status(Daemon& d, std::string_view filter, Reply& out);

// One picker request from a peer or a client. out may be nullptr: the
// request is then only logged, never answered.
void picker_call(Daemon& d, std::string_view caller, std::uint32_t req,
                 std::string_view action, Reply* out);

// The result of request req, as a "PICKER_RESULT" line reports it.
void picker_complete(Daemon& d, std::uint32_t req, std::string_view action,
                     std::int32_t code, std::string_view value);
