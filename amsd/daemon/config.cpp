#include "amsd/daemon/config.h"

#include <array>
#include <cstdlib>

#include "amsd/base/options.h"

// Options in the order they are tested; environment variables in the order
// they are applied.
static std::array<ValueOption, 5> options_of(DaemonConfig& cfg) {
  return { {
      value_option("--sock", "QUOR_AMS_SOCK", cfg.sock_path),
      value_option("--ipc-sock", "QUOR_IPC_SOCK", cfg.ipc_sock_path),
      value_option("--apps", "QUOR_AMSD_APPS", cfg.apps_dir),
      value_option("--card", "QUOR_AMSD_CARD", cfg.card_root),
      value_option("--crash-sock", "QUOR_CRASH_SOCK", cfg.crash_sock_path),
  } };
}

int config_parse_args(DaemonConfig& cfg, int argc, char* const* argv) {
  return options_parse(
      options_of(cfg), argc, argv,
      "[--sock <p>] [--ipc-sock <p>] [--apps <dir>] [--card <p>] "
      "[--crash-sock <p>]");
}

void config_apply_env(DaemonConfig& cfg) {
  options_apply_env(options_of(cfg));
  const char* uid = std::getenv("QUOR_LAUNCHER_UID");
  if (uid) {
    cfg.launcher_uid = config_parse_uid(uid);
  }
}

std::int64_t config_parse_uid(const char* text) {
  constexpr std::int64_t NO_UID = 4294967295;  // (uid_t)-1
  std::int64_t v = 0;
  if (!text || !*text) {
    return -1;
  }
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') {
      return -1;
    }
    v = v * 10 + (*p - '0');
    if (v >= NO_UID) {
      return -1;
    }
  }
  return v;
}
