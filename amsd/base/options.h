// Value options shared by quor_amsd and its stand-ins: "--name value" on the
// command line, then an environment variable that overrides it when set and
// not empty. Values are cut to their buffers, never rejected.
#pragma once

#include <cstddef>
#include <span>

struct ValueOption {
  const char* name;  // "--sock"
  const char* env;   // "QUOR_AMS_SOCK"
  char* dst;
  std::size_t cap;
};

template <std::size_t N>
ValueOption value_option(const char* name, const char* env, char (&dst)[N]) {
  return ValueOption{ name, env, dst, N };
}

// The words every program reads alike.
enum class CommonOption { kNone, kEnd, kHelp, kVersion };

// "--" ends the options; "-h" and "--help" ask for help; "--version".
CommonOption common_option(const char* arg);

// Returned by options_parse when the program is to go on starting.
constexpr int OPTIONS_RUN = -1;

// Applies argv: a value option takes the next argument, whatever it looks
// like; a word not starting with "-" is ignored; "-h"/"--help" prints
// "usage: <program> <usage>" to stderr and returns 0; anything else
// starting with "-", or a value option with no value, prints "bad option %s"
// and returns 2. Otherwise returns OPTIONS_RUN.
int options_parse(std::span<const ValueOption> opts, int argc,
                  char* const* argv, const char* usage);

// Set, non-empty variables replace what defaults and options gave, in table
// order.
void options_apply_env(std::span<const ValueOption> opts);

// The variable's value when it is set and not empty, else fallback.
const char* env_or(const char* name, const char* fallback);

// dst (capacity cap) becomes the variable's value, cut to fit, when it is
// set and not empty.
void env_override(char* dst, std::size_t cap, const char* name);

template <std::size_t N>
void env_override(char (&dst)[N], const char* name) {
  env_override(dst, N, name);
}
