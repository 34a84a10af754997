// The "start" and "kill" commands: both forward to the launcher, which
// reports the process events back as event lines; neither changes run state.
#pragma once

#include <string_view>

#include "amsd/protocol/reply.h"

struct ProtocolTables;

// arg is "<pkg>[/<act>]", never empty; only its first 31 bytes are read,
// and they are split at the first "/". Writes one reply line.
void start_command(ProtocolTables& t, std::string_view arg, Reply& out);

// arg is the package id, never empty. When the launcher cannot be reached,
// SIGTERM goes to the recorded pid directly, unless that pid is init or the
// daemon itself. Writes one reply line.
void kill_command(ProtocolTables& t, std::string_view arg, Reply& out);
