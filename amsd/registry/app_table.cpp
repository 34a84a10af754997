#include "amsd/registry/app_table.h"

#include <cstring>

#include "amsd/base/text.h"

const AppRecord* find_app(const Registry& reg, std::string_view pkg) {
  for (int i = 0; i < reg.app_count; ++i) {
    if (pkg == reg.apps[i].pkg) {
      return &reg.apps[i];
    }
  }
  return nullptr;
}

AppRecord* find_app(Registry& reg, std::string_view pkg) {
  return const_cast<AppRecord*>(
      find_app(static_cast<const Registry&>(reg), pkg));
}

AppRecord* find_or_add_app(Registry& reg, std::string_view pkg) {
  std::string_view key = slice(pkg, 0, sizeof AppRecord::pkg - 1);
  if (AppRecord* app = find_app(reg, key)) {
    return app;
  }
  if (reg.app_count >= MAX_APPS) {
    return nullptr;
  }
  AppRecord& app = reg.apps[reg.app_count++];
  std::memset(&app, 0, sizeof app);
  copy_text(app.pkg, key);
  copy_text(app.name, pkg);
  // No executable known until a scan finds the app's directory.
  copy_text(app.exec, "?");
  return &app;
}

void route_set(AppRecord& app, std::string_view key, std::string_view chain) {
  char cut[sizeof RouteEntry::key];
  copy_text(cut, key);
  for (int i = 0; i < app.route_count; ++i) {
    if (std::strcmp(app.routes[i].key, cut) == 0) {
      copy_text(app.routes[i].chain, chain);
      return;
    }
  }
  if (app.route_count >= MAX_ROUTES) {
    return;
  }
  RouteEntry& r = app.routes[app.route_count++];
  copy_text(r.key, cut);
  copy_text(r.chain, chain);
}

void record_event(AppRecord& app, std::string_view kind,
                  std::string_view detail, std::int32_t ts, std::int32_t up) {
  HistoryEvent& ev = app.history[app.history_head];
  copy_text(ev.detail, detail);
  copy_text(ev.kind, kind);
  ev.ts = ts;
  ev.up = up;
  app.history_head = (app.history_head + 1) % HISTORY_SIZE;
  if (app.history_count < HISTORY_SIZE) {
    ++app.history_count;
  }
}

const HistoryEvent& history_at(const AppRecord& app, int i) {
  int slot =
      (app.history_head - app.history_count + i + HISTORY_SIZE) % HISTORY_SIZE;
  return app.history[slot];
}
