// Resolution of an app's activity to its route chain, for "resolve".
#pragma once

#include <string_view>

#include "amsd/protocol/reply.h"
#include "amsd/registry/app_table.h"

// The only error code of a failed resolution: no such app, or no route.
constexpr int RESOLVE_NOT_FOUND = -2;

// Writes the one reply line of "resolve <pkg> <activity>". An empty activity
// stands for a missing one. Reads the table only.
void resolve_route(Registry& reg, std::string_view pkg,
                   std::string_view activity, Reply& out);

// Steps of a chain: one more than its ";" separators, none when empty.
int chain_steps(std::string_view chain);
