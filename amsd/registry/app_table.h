// The registry of known apps and the global picker table. Records are never
// removed, so a pointer to one stays valid for the life of the process.
#pragma once

#include <cstdint>
#include <string_view>

#include "amsd/base/limits.h"

constexpr int HISTORY_SIZE = 8;

struct RouteEntry {
  char key[ROUTE_KEY_SIZE];
  char chain[CHAIN_SIZE];
};

struct HistoryEvent {
  char detail[192];
  std::int32_t ts;  // wall-clock seconds
  std::int32_t up;  // uptime seconds
  char kind[16];
};

enum class RunState : std::int32_t { kStopped = 0, kRunning = 1 };

// How the last run ended.
enum class ExitKind : std::int32_t { kClean = 0, kExit = 1, kSignal = 2 };

struct AppRecord {
  char pkg[PKG_SIZE];
  char name[NAME_SIZE];
  char exec[EXEC_SIZE];
  bool known;  // the latest scan found the app's directory
  RunState run_state;
  std::int32_t pid;
  char activity[ACTIVITY_SIZE];
  char chain[CHAIN_SIZE];
  std::uint64_t start_ms;  // monotonic ms of the launch
  std::int32_t launch_count;
  std::int32_t crash_count;
  ExitKind exit_kind;
  std::int32_t exit_code;
  std::int32_t route_count;
  RouteEntry routes[MAX_ROUTES];
  HistoryEvent history[HISTORY_SIZE];
  std::int32_t history_count;
  std::int32_t history_head;
};

struct PickerEntry {
  char action[ACTION_SIZE];
  char handler[PKG_SIZE];
  char chain[CHAIN_SIZE];
  bool active;  // declared by an app in the latest scan
};

// The tables carry no initialisers of their own: a zeroed Registry is an
// empty one, and the daemon's lies in static storage whose pages stay
// untouched until used.
struct Registry {
  AppRecord apps[MAX_APPS];
  int app_count = 0;
  PickerEntry pickers[MAX_PICKERS];
  int picker_count = 0;
  // Set the first time a scan opens the apps directory; never cleared.
  bool apps_dir_seen = false;
  // Directories, apps and pickers of the previous completed scan.
  int last_scan[3] = { -1, -1, -1 };
};

// Whole, byte-for-byte match of pkg in table order; nullptr when none (or
// when pkg is longer than a record can hold).
const AppRecord* find_app(const Registry& reg, std::string_view pkg);
AppRecord* find_app(Registry& reg, std::string_view pkg);

// find_app on pkg cut to 31 bytes; adds a record (name = pkg cut to 48
// bytes, exec "?") when none matches. nullptr when the table is full.
AppRecord* find_or_add_app(Registry& reg, std::string_view pkg);

// Running: marked so by a launch, with a real pid.
inline bool app_is_running(const AppRecord& app) {
  return app.run_state != RunState::kStopped && app.pid > 0;
}

// Sets the chain of the route named key (cut to the field), adding the
// route while the app has fewer than MAX_ROUTES.
void route_set(AppRecord& app, std::string_view key, std::string_view chain);

// Appends to the record's ring of the last HISTORY_SIZE events.
void record_event(AppRecord& app, std::string_view kind,
                  std::string_view detail, std::int32_t ts, std::int32_t up);

// The i-th event, oldest first, for i in [0, history_count).
const HistoryEvent& history_at(const AppRecord& app, int i);
