// The boot stamp names this boot's card log; uptime stands in every log line
// and event record.
#pragma once

#include "amsd/core/paths.h"

constexpr int BOOT_STAMP_SIZE = 64;

// Whole seconds since boot, from the first field of an uptime file; 0 when it
// cannot be read.
long uptime_seconds(const char* uptime_path = paths::kUptime);

// The stamp from the boot stamp file (without its "quor_" prefix, taken byte
// for byte), else the boot time computed from the clocks as
// "%Y%m%d_%H%M%S" in local time. Always succeeds.
void make_boot_stamp(char (&out)[BOOT_STAMP_SIZE],
                     const char* bootts_path = paths::kBootStamp,
                     const char* uptime_path = paths::kUptime);
