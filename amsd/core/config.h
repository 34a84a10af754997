// Configuration of quor_amsd: defaults, command line, then environment.
#pragma once

#include <cstdint>

#include "amsd/core/options.h"
#include "amsd/core/paths.h"

struct DaemonConfig {
  char sock_path[108] = "/usr/data/quor_ams.sock";
  char ipc_sock_path[108] = "/usr/data/quor_ipc.sock";
  char apps_dir[512] = "/usr/data/mnt/sd_0/QuorAPPs";
  char card_root[256] = "/usr/data/mnt/sd_0";
  char crash_sock_path[108] = "/tmp/quor_crash.sock";
  // A further user trusted to send launcher reports; -1 when none is named.
  std::int64_t launcher_uid = -1;
};

// Returned by config_parse_args when the daemon is to go on starting.
constexpr int CONFIG_RUN = OPTIONS_RUN;

// Applies the options in argv; over-long values are cut to their buffer.
// Prints the usage line or "bad option" to stderr and returns the exit
// status (0 or 2) when the program must stop, else CONFIG_RUN.
int config_parse_args(DaemonConfig& cfg, int argc, char* const* argv);

// Set, non-empty QUOR_* variables replace what defaults and options gave.
// QUOR_LAUNCHER_UID names a further trusted user; a malformed one is ignored.
void config_apply_env(DaemonConfig& cfg);

// A decimal uid, digits only; -1 for anything else (or the invalid uid).
std::int64_t config_parse_uid(const char* text);
