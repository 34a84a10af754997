#include "amsd/base/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amsd/base/text.h"

CommonOption common_option(const char* arg) {
  if (std::strcmp(arg, "--") == 0) {
    return CommonOption::kEnd;
  }
  if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
    return CommonOption::kHelp;
  }
  return std::strcmp(arg, "--version") == 0 ? CommonOption::kVersion
                                            : CommonOption::kNone;
}

int options_parse(std::span<const ValueOption> opts, int argc,
                  char* const* argv, const char* usage) {
  const char* prog = argc > 0 && argv[0] ? argv[0] : "";
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    bool taken = false;
    for (const ValueOption& o : opts) {
      if (std::strcmp(arg, o.name) == 0 && i + 1 < argc) {
        copy_text(o.dst, o.cap, argv[++i]);
        taken = true;
        break;
      }
    }
    if (taken || arg[0] != '-') {
      continue;
    }
    if (common_option(arg) == CommonOption::kHelp) {
      std::fprintf(stderr, "usage: %s %s\n", prog, usage);
      return 0;
    }
    std::fprintf(stderr, "bad option %s\n", arg);
    return 2;
  }
  return OPTIONS_RUN;
}

const char* env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && v[0] ? v : fallback;
}

void env_override(char* dst, std::size_t cap, const char* name) {
  const char* v = env_or(name, nullptr);
  if (v) {
    copy_text(dst, cap, v);
  }
}

void options_apply_env(std::span<const ValueOption> opts) {
  for (const ValueOption& o : opts) {
    env_override(o.dst, o.cap, o.env);
  }
}
