// The timeline's picture, between the passes that read the logs
// (timeline.cpp) and the drawing (timeline_draw.cpp).
#pragma once

#include <cstdint>
#include <string_view>

#include "amsd/base/limits.h"
#include "tools/logs/card.h"
#include "tools/logs/print.h"
#include "tools/logs/time_text.h"
#include "tools/out.h"

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

constexpr int MAX_SPANS = 512;
constexpr int LEGEND_H = 56;
constexpr int TICK_MIN_PX = 90;  // between time labels

struct Band {
  int pos = 0;           // in the boot list
  bool pending = false;  // the newest, continued in the /tmp buffer
  std::int64_t t0 = 0;
  std::int64_t t1 = 0;
  double x0 = 0;
  double x1 = 0;
};

struct Row {
  char pkg[PKG_SIZE];
  int launches = 0;
  int crashes = 0;
  // The run in progress while the log is read.
  bool open = false;
  std::int64_t since = 0;
  std::int64_t pid = 0;
};

struct Span {
  int band = 0;
  std::int64_t t0 = 0;
  std::int64_t t1 = 0;
};

// The picture's state, built in a first pass over the logs and drawn in a
// second.
struct Picture {
  Out out;
  const LogsPlace* place = nullptr;
  const BootList* list = nullptr;
  std::string_view pkg;
  Window window;
  int band_count = 0;
  Band bands[MAX_BOOTS];
  int row_count = 0;
  int rows_left_out = 0;
  Row rows[TL_MAX_ROWS];
  int span_count = 0;
  Span spans[MAX_SPANS];
  bool span_open = false;
  TimeText time;
};

double x_of(const Band& b, std::int64_t t);
double row_top(int r);

// The frame: title, app rows, boot bands with their ticks, card-away spans.
void draw_frame(Picture& pic, int height);

// A run from `from` to `to` in band b: closed by an exit (abnormal or not),
// or left open when the boot, or another launch, came first.
void draw_run(Picture& pic, const Band& b, int row, std::int64_t from,
              std::int64_t to, bool exited, bool abnormal);

// A start request (above the row) or a kill request (below it).
void draw_mark(Picture& pic, const Band& b, int row, std::int64_t t,
               bool start);

void draw_legend(Picture& pic, int y);
