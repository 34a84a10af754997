#include "amsd/protocol/events.h"

// Run state, declarations and picker results come with the launcher work;
// until then event lines are taken and dropped.
void handle_event_line(Daemon&, char*) {}
