#include "amsd/core/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amsd/core/text.h"

namespace {

struct ValueOption {
  const char* name;
  const char* env;
  char* dst;
  std::size_t cap;
};

// Options in the order they are tested; environment variables in the order
// they are applied.
template <std::size_t N>
ValueOption option(const char* name, const char* env, char (&dst)[N]) {
  return ValueOption{ name, env, dst, N };
}

struct OptionTable {
  ValueOption items[5];
};

OptionTable options_of(DaemonConfig& cfg) {
  return OptionTable{ {
      option("--sock", "QUOR_AMS_SOCK", cfg.sock_path),
      option("--ipc-sock", "QUOR_IPC_SOCK", cfg.ipc_sock_path),
      option("--apps", "QUOR_AMSD_APPS", cfg.apps_dir),
      option("--card", "QUOR_AMSD_CARD", cfg.card_root),
      option("--crash-sock", "QUOR_CRASH_SOCK", cfg.crash_sock_path),
  } };
}

}  // namespace

int config_parse_args(DaemonConfig& cfg, int argc, char* const* argv) {
  OptionTable t = options_of(cfg);
  const char* prog = argc > 0 && argv[0] ? argv[0] : "quor_amsd";
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    bool taken = false;
    for (ValueOption& o : t.items) {
      if (std::strcmp(arg, o.name) == 0 && i + 1 < argc) {
        copy_text(o.dst, o.cap, argv[++i]);
        taken = true;
        break;
      }
    }
    if (taken || arg[0] != '-') {
      continue;
    }
    if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
      std::fprintf(stderr,
                   "usage: %s [--sock <p>] [--ipc-sock <p>] [--apps <dir>] "
                   "[--card <p>] [--crash-sock <p>]\n",
                   prog);
      return 0;
    }
    std::fprintf(stderr, "bad option %s\n", arg);
    return 2;
  }
  return CONFIG_RUN;
}

void config_apply_env(DaemonConfig& cfg) {
  OptionTable t = options_of(cfg);
  for (ValueOption& o : t.items) {
    const char* v = std::getenv(o.env);
    if (v && v[0]) {
      copy_text(o.dst, o.cap, v);
    }
  }
}
