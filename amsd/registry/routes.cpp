#include "amsd/registry/routes.h"

#include <algorithm>

#include "amsd/base/text.h"

int chain_steps(std::string_view chain) {
  if (chain.empty()) {
    return 0;
  }
  return 1 + static_cast<int>(std::count(chain.begin(), chain.end(), ';'));
}

Resolution resolve_route(const Registry& reg, std::string_view pkg,
                         std::string_view activity) {
  if (pkg.empty() || activity.empty()) {
    return { ResolveStatus::kNeedsArgs, 0, {} };
  }
  const AppRecord* app = find_app(reg, pkg);
  if (app && app->route_count == 0) {
    // Without routes every activity is a chain of its own.
    return { ResolveStatus::kResolved, 1,
             slice(activity, 0, sizeof RouteEntry::chain - 1) };
  }
  for (int i = 0; app && i < app->route_count; ++i) {
    if (activity == app->routes[i].key) {
      std::string_view chain = app->routes[i].chain;
      return { ResolveStatus::kResolved, chain_steps(chain), chain };
    }
  }
  return { ResolveStatus::kNotFound, 0, {} };
}
