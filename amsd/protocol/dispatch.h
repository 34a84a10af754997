// The single entry point for every line of the control socket.
#pragma once

#include <cstddef>

#include "amsd/protocol/events.h"

struct ProtocolTables;

// Handles one line of peer (NUL-terminated, without its newline; may be
// changed in place). Writes a NUL-terminated reply of at most room - 1 bytes
// at reply and returns true, or returns false when the line gets no reply
// (event lines). room is at least 1.
bool dispatch_line(ProtocolTables& t, Peer& peer, char* line, char* reply,
                   std::size_t room);
