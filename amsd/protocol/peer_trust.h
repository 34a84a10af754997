// Who may send the launcher's reports. Launch, output and exit reports drive
// run state, capture files and the kill fallback's target, so only the
// launcher's user (or root, or the daemon's own user) may send them.
#pragma once

#include <cstdint>

struct ServiceLog;

// The sender of a connection's lines. Its credentials are read once, with
// its first report: a client that only sends commands costs no extra call.
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

// Whom the daemon trusts besides root and its own user.
struct TrustRule {
  const char* ipc_sock_path;  // the owner of the launcher's socket file
  std::int64_t launcher_uid;  // a further user; -1 when none
};

// True when peer may send a report; marks it as having reported. A refusal
// is logged once per connection.
bool peer_may_report(Peer& peer, const TrustRule& rule, ServiceLog& log);
