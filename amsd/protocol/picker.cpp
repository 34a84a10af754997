#include "amsd/protocol/picker.h"

// Until the launcher link is wired in, no request can be forwarded and none
// is ever pending.
void picker_command(Daemon&, std::string_view, Reply& out) {
  reply_printf(out, "ERR launcher offline\n");
}

void picker_status(Daemon&, std::string_view, Reply& out) {
  reply_printf(out, "# amd picker status\n(none)\n");
}

// Requests and results are taken and dropped until pending requests exist.
void picker_call(Daemon&, std::string_view, std::uint32_t, std::string_view,
                 Reply*) {}

void picker_complete(Daemon&, std::uint32_t, std::string_view, std::int32_t,
                     std::string_view) {}
