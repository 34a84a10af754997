// The clocks every program reads.
#pragma once

#include <cstdint>

// Monotonic clock in milliseconds (seconds * 1000 + ns / 1000000).
std::uint64_t monotonic_ms();

// Wall-clock seconds since the epoch, held as the signed 32-bit value the
// logs and records carry.
std::int32_t wall_seconds();

// Sleeps ms in all on the monotonic clock; signals do not cut it short.
void sleep_whole_ms(int ms);
