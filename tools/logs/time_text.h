// Times as quor_logs shows them, in local time.
#pragma once

#include <cstdint>
#include <ctime>

enum class TimeFormat {
  kLine,    // "Mar 14 09:30:05", before each line
  kLong,    // "Fri 2025-03-14 09:30:05 CET"
  kClock,   // "09:30:05"
  kMinute,  // "09:30"
  kDay,     // "Mar 14"
};

// Local time, formatted once per second seen.
struct TimeText {
  std::int64_t ts = INT64_MIN;
  TimeFormat format = TimeFormat::kLine;
  char text[40] = {};
};

// ts in local time (TZ applies); "@<ts>" when it has none.
const char* local_time(TimeText& cache, std::int64_t ts, TimeFormat format);
