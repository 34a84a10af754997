// Resolution of an app's activity to its route chain, for "resolve".
#pragma once

#include <string_view>

#include "amsd/registry/app_table.h"

// The only error code of a failed resolution: no such app, or no route.
constexpr int RESOLVE_NOT_FOUND = -2;

enum class ResolveStatus { kResolved, kNeedsArgs, kNotFound };

struct Resolution {
  ResolveStatus status;
  int steps;
  std::string_view chain;  // into the table, or into the activity given
};

// Resolves activity in the app pkg; an empty activity stands for a missing
// one. Reads the table only.
Resolution resolve_route(const Registry& reg, std::string_view pkg,
                         std::string_view activity);

// Steps of a chain: one more than its ";" separators, none when empty.
int chain_steps(std::string_view chain);
