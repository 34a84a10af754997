// The boot stamp names this boot's card log; uptime stands in every log line
// and event record.
#pragma once

#include <cstdint>

#include "amsd/base/paths.h"

constexpr int BOOT_STAMP_SIZE = 64;

// Whole seconds since boot, from the first field of an uptime file; 0 when it
// cannot be read.
long uptime_seconds(const char* uptime_path = paths::UPTIME);

// The kernel's boot time ("btime" of a stat file), whole seconds since the
// epoch; -1 when it cannot be read.
std::int64_t boot_time_seconds(const char* stat_path = paths::PROC_STAT);

// The stamp from the boot stamp file (without its "quor_" prefix, taken byte
// for byte; one holding "/" is not used, since it names a file), else the
// boot time as "%Y%m%d_%H%M%S" in local time: the kernel's, or the wall
// clock less the uptime when that cannot be read. Always succeeds.
void make_boot_stamp(char (&out)[BOOT_STAMP_SIZE],
                     const char* bootts_path = paths::BOOT_STAMP,
                     const char* uptime_path = paths::UPTIME,
                     const char* stat_path = paths::PROC_STAT);
