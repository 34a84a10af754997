// Where the daemon's reading of a manifest departs from a JSON reading of
// it: quor_manifest sets the registry's record of an app beside the JSON
// members of its "app.json" and writes one warning per difference, naming
// the key and what happened. The record always comes from the registry's
// own reader; this only explains it.
#pragma once

#include <cstddef>
#include <string_view>

#include "amsd/registry/app_table.h"
#include "tools/json_check.h"

constexpr int MAX_WARNINGS = 64;
constexpr int WARNING_SIZE = 512;

struct Warnings {
  int count;
  bool cut;  // more than the table holds
  char lines[MAX_WARNINGS][WARNING_SIZE];
};

// Adds one line, cut to fit.
[[gnu::format(printf, 2, 3)]] void warn(Warnings& w, const char* fmt, ...);

struct DepartureInput {
  std::string_view head;  // the bytes the daemon reads of the manifest
  const JsonCheck* json;  // the whole file checked, valid; or nullptr
  const Registry* reg;    // holding this one app only
  const AppRecord* app;
  std::string_view dir_name;  // the directory's name as the scan takes it
  std::string_view dir_path;  // the app directory as the scan names it
};

// Warnings for the name, exec, routes and pickers (only the check of the
// executable when there is no valid JSON to compare with).
void departures_check(const DepartureInput& in, Warnings& w);
