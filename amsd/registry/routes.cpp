#include "amsd/registry/routes.h"

#include <algorithm>

#include "amsd/core/text.h"

static int len(std::string_view s) {
  return static_cast<int>(s.size());
}

int chain_steps(std::string_view chain) {
  if (chain.empty()) {
    return 0;
  }
  return 1 + static_cast<int>(std::count(chain.begin(), chain.end(), ';'));
}

static void reply_chain(Reply& out, std::string_view pkg,
                        std::string_view activity, int steps,
                        std::string_view chain) {
  reply_printf(out, "CHAIN %.*s %.*s %d %.*s\n", len(pkg), pkg.data(),
               len(activity), activity.data(), steps, len(chain), chain.data());
}

void resolve_route(Registry& reg, std::string_view pkg,
                   std::string_view activity, Reply& out) {
  if (pkg.empty() || activity.empty()) {
    reply_printf(out, "ERR resolve needs <pkg> <activity>\n");
    return;
  }
  const AppRecord* app = find_app(reg, pkg);
  if (app && app->route_count == 0) {
    // Without routes every activity is a chain of its own.
    std::string_view chain = slice(activity, 0, sizeof RouteEntry::chain - 1);
    reply_chain(out, pkg, activity, 1, chain);
    return;
  }
  for (int i = 0; app && i < app->route_count; ++i) {
    if (activity == app->routes[i].key) {
      std::string_view chain = app->routes[i].chain;
      reply_chain(out, pkg, activity, chain_steps(chain), chain);
      return;
    }
  }
  reply_printf(out, "ERR resolve %.*s/%.*s failed (%d)\n", len(pkg), pkg.data(),
               len(activity), activity.data(), RESOLVE_NOT_FOUND);
}
