#include "amsd/protocol/start_kill.h"

// Until the launcher link is wired in, every request finds it offline.
void start_command(Daemon&, std::string_view, Reply& out) {
  reply_printf(out, "ERR launcher offline\n");
}

void kill_command(Daemon&, std::string_view, Reply& out) {
  reply_printf(out, "ERR launcher offline\n");
}
