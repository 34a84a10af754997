// What the event lines do: the launcher's reports drive run state, capture
// and the crash notice; "DECLARE" adds routes; picker lines reach the
// picker table. They report; they are never answered.
#pragma once

#include <cstddef>
#include <string_view>

#include "amsd/protocol/event_line.h"
#include "amsd/protocol/peer_trust.h"

struct ProtocolTables;

// Acts on one line read by read_event_line. Malformed lines, and reports
// from an untrusted peer, are dropped.
void handle_event(ProtocolTables& t, Peer& peer, const EventLine& e);

// Decodes pairs of hex digits into out (capacity cap), stopping at a lone
// last digit, at a pair holding anything but a hex digit, or when cap - 1
// bytes are made. A NUL always follows the bytes (when cap > 0); the bytes
// themselves may hold NULs. Returns the number of bytes made.
int hex_decode(std::string_view hex, char* out, std::size_t cap);

template <std::size_t N>
int hex_decode(std::string_view hex, char (&out)[N]) {
  return hex_decode(hex, out, N);
}
