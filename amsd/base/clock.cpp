#include "amsd/base/clock.h"

#include <time.h>

#include <cerrno>

std::uint64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

std::int32_t wall_seconds() {
  return static_cast<std::int32_t>(time(nullptr));
}

void sleep_whole_ms(int ms) {
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  until.tv_sec += ms / 1000 + until.tv_nsec / 1000000000L;
  until.tv_nsec %= 1000000000L;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) ==
         EINTR) {
  }
}
