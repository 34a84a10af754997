// A timeline picture of boots as one SVG file that needs nothing else (no
// script, no font or image from elsewhere): time runs left to right, each
// boot a band; one row per app with a bar from each launch to its exit;
// start and kill requests as marks; the spans the card was away shaded.
#pragma once

#include <string_view>

#include "tools/logs/card.h"
#include "tools/logs/print.h"

// Draws the boots at positions [first, last] (the /tmp buffer's lines after
// the newest), only pkg's row when pkg is not empty, inside window. Returns
// 0, or -1 (with a message) when the file cannot be written.
int write_timeline(const char* file, const LogsPlace& place,
                   const BootList& list, int first, int last,
                   std::string_view pkg, const Window& window);
