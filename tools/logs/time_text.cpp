#include "tools/logs/time_text.h"

#include <cstdio>

const char* local_time(TimeText& cache, std::int64_t ts, TimeFormat format) {
  if (cache.ts == ts && cache.format == format) {
    return cache.text;
  }
  cache.ts = ts;
  cache.format = format;
  time_t t = static_cast<time_t>(ts);
  struct tm tm;
  std::size_t n = 0;
  if (localtime_r(&t, &tm)) {
    char* d = cache.text;
    std::size_t cap = sizeof cache.text;
    switch (format) {
    case TimeFormat::kLine:
      n = std::strftime(d, cap, "%b %d %H:%M:%S", &tm);
      break;
    case TimeFormat::kLong:
      n = std::strftime(d, cap, "%a %Y-%m-%d %H:%M:%S %Z", &tm);
      break;
    case TimeFormat::kClock:
      n = std::strftime(d, cap, "%H:%M:%S", &tm);
      break;
    case TimeFormat::kMinute:
      n = std::strftime(d, cap, "%H:%M", &tm);
      break;
    case TimeFormat::kDay:
      n = std::strftime(d, cap, "%b %d", &tm);
      break;
    }
  }
  if (n == 0) {
    std::snprintf(cache.text, sizeof cache.text, "@%lld",
                  static_cast<long long>(ts));
  }
  return cache.text;
}
