// Configuration of quor_amsd: defaults, command line, then environment.
#pragma once

#include <cstdint>

#include "amsd/base/limits.h"
#include "amsd/base/options.h"
#include "amsd/base/paths.h"
#include "amsd/base/text.h"

struct DaemonConfig {
  char sock_path[SOCK_PATH_SIZE];
  char ipc_sock_path[SOCK_PATH_SIZE];
  char apps_dir[512];
  char card_root[256];
  char crash_sock_path[SOCK_PATH_SIZE];
  // A further user trusted to send launcher reports; -1 when none is named.
  std::int64_t launcher_uid = -1;

  DaemonConfig() {
    copy_text(sock_path, paths::DEFAULT_SOCK);
    copy_text(ipc_sock_path, paths::DEFAULT_IPC_SOCK);
    copy_text(apps_dir, paths::DEFAULT_APPS);
    copy_text(card_root, paths::DEFAULT_CARD);
    copy_text(crash_sock_path, paths::DEFAULT_CRASH_SOCK);
  }
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
