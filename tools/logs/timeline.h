// A timeline picture of boots as one SVG file that needs nothing else (no
// script, no font or image from elsewhere): time runs left to right, each
// boot a band; one row per app with a bar from each launch to its exit;
// start and kill requests as marks; the spans the card was away shaded.
#pragma once

#include <string_view>

#include "tools/logs/card.h"
#include "tools/logs/views.h"

// The picture's geometry. A single boot spans the whole plot, its first
// line at TL_LEFT and its last at TL_LEFT + TL_PLOT; row r's bar is
// centred at TL_TOP + r * TL_ROW + TL_ROW / 2.
constexpr int TL_WIDTH = 1600;
constexpr int TL_LEFT = 170;
constexpr int TL_RIGHT = 20;
constexpr int TL_PLOT = TL_WIDTH - TL_LEFT - TL_RIGHT;
constexpr int TL_TOP = 92;
constexpr int TL_ROW = 22;
constexpr int TL_BAR = 12;
constexpr int TL_BOOT_GAP = 8;
constexpr int TL_MIN_BAND = 24;
constexpr int TL_MAX_ROWS = 64;

constexpr char TL_BAR_COLOUR[] = "#3f7fbf";
constexpr char TL_CRASH_COLOUR[] = "#d62728";

// Draws the boots at positions [first, last] (the /tmp buffer's lines after
// the newest), only pkg's row when pkg is not empty, inside window. Returns
// 0, or -1 (with a message) when the file cannot be written.
int write_timeline(const char* file, const LogsPlace& place,
                   const BootList& list, int first, int last,
                   std::string_view pkg, const Window& window);
