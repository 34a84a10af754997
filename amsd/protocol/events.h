// Event lines of the launcher and other peers: "EV ...", "DECLARE ..." and
// "PICKER_...". They report; they are never answered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "amsd/protocol/context.h"

// Who sends a connection's lines. Launch, output and exit reports drive run
// state, capture files and the kill fallback's target, so only the launcher's
// user (or root, or the daemon's own user) may send them.
// The peer's credentials are read once, with its first report: a client
// that only sends commands costs no extra call.
// No initialisers: a zeroed Peer is a fresh one, so the connection table
// stays in zeroed storage. The event loop sets fd at accept.
struct Peer {
  int fd;        // the connection, for SO_PEERCRED
  bool checked;  // uid and trusted hold what SO_PEERCRED said
  std::uint32_t uid;
  bool trusted;
  bool refusal_logged;  // "ignored" is said once per connection
  bool reported;        // a report of this peer was taken
};

// Handles one whole event line (stripped of its line end; may be changed in
// place). Malformed lines, and reports from an untrusted peer, are dropped.
void handle_event_line(ProtocolContext& ctx, Peer& peer, char* line);

// Decodes pairs of hex digits into out (capacity cap), stopping at a lone
// last digit, at a pair holding anything but a hex digit, or when cap - 1
// bytes are made. A NUL always follows the bytes (when cap > 0); the bytes
// themselves may hold NULs. Returns the number of bytes made.
int hex_decode(std::string_view hex, char* out, std::size_t cap);

template <std::size_t N>
int hex_decode(std::string_view hex, char (&out)[N]) {
  return hex_decode(hex, out, N);
}

// Room for a decoded picker result value, its NUL included.
constexpr std::size_t PICKER_VALUE_CAP = 256;

// A "PICKER_CALL" or "PICKER_RESULT" line taken apart; the views point into
// the line. The value is the decoded bytes up to the first NUL among them,
// since the result is kept and shown as text.
struct PickerLine {
  enum Kind { kCall, kResult } kind;
  std::string_view caller;  // kCall only
  std::uint32_t req;
  std::string_view action;
  std::int32_t code;                 // kResult only
  char value_buf[PICKER_VALUE_CAP];  // kResult only, NUL-terminated

  std::string_view value() const { return value_buf; }
};

// Reads a picker line. Returns 0, or -1 for an unknown "PICKER_" word or
// too few words.
int parse_picker_line(std::string_view line, PickerLine& out);
