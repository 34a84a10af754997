// Event lines of the launcher and other peers: "EV ...", "DECLARE ..." and
// "PICKER_...". They report; they are never answered.
#pragma once

struct Daemon;

// Handles one whole event line (stripped of its line end; may be changed in
// place). Malformed lines are dropped without a trace.
void handle_event_line(Daemon& d, char* line);
