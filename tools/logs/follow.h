// Follow mode of quor_logs: the last lines of a view, then every line added
// to it until SIGINT or SIGTERM. Boot 0's service log is followed onto the
// /tmp buffer while the card is away and back onto the card, without a
// line twice; an app's output from one capture file to the next as it is
// launched again, and across the rotation of a file.
#pragma once

#include <cstdint>

#include "tools/logs/card.h"
#include "tools/logs/views.h"

// Polls for more this often when nothing came.
constexpr int FOLLOW_POLL_MS = 200;

// Prints the last n lines of the view p describes (boot 0, or p.pkg's lines
// of boots [first, last]) and follows it. Returns 0 after a stop signal,
// -1 when the output cannot be written.
int follow(Printer& p, const LogsPlace& place, const BootList& list, int first,
           int last, std::int64_t n);
