// The timeline's picture, between the passes that read the logs
// (timeline.cpp) and the drawing (timeline_draw.cpp).
#pragma once

#include <cstdint>
#include <string_view>

#include "amsd/base/limits.h"
#include "tools/logs/card.h"
#include "tools/logs/out.h"
#include "tools/logs/print.h"
#include "tools/logs/timeline.h"

struct LogsPlace;

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
