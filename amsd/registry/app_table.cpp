#include "amsd/registry/app_table.h"

#include <cstring>

#include "amsd/core/text.h"

AppRecord* find_app(Registry& reg, std::string_view pkg) {
  for (int i = 0; i < reg.app_count; ++i) {
    if (pkg == reg.apps[i].pkg) {
      return &reg.apps[i];
    }
  }
  return nullptr;
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
