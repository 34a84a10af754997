// The views of quor_logs over a card: the list of boots, one boot's service
// log, and one app's own service-log lines merged with its captured output.
// Every view streams: a line is read, printed and forgotten.
#pragma once

#include <cstdint>
#include <string_view>

#include "amsd/base/limits.h"
#include "tools/logs/card.h"
#include "tools/logs/line_reader.h"
#include "tools/logs/print.h"
#include "tools/out.h"

// The boot at position pos: its service log, from offset on, then (for the
// newest) the /tmp buffer's lines.
void show_boot(Printer& p, const LogsPlace& place, const BootList& list,
               int pos, std::int64_t from_offset = 0);

// The app's own lines of the boots at positions [first, last] (the /tmp
// buffer's too when last is the newest), merged with its captured output
// of the launches in those boots.
void show_app(Printer& p, const LogsPlace& place, const BootList& list,
              int first, int last);

// Runs a view so that only its last n lines inside the window are printed
// (n < 0: all of them): a first pass counts. The boot view without a
// window reads only the end of its file.
void show_boot_last(Printer& p, const LogsPlace& place, const BootList& list,
                    int pos, std::int64_t n);
void show_app_last(Printer& p, const LogsPlace& place, const BootList& list,
                   int first, int last, std::int64_t n);

// True when the service-log line ev belongs to pkg's own view.
bool names_pkg(std::string_view text, std::string_view pkg);
