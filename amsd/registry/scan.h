// Builds the registry from the apps directory: one sub-directory per app,
// each with an optional "app.json" manifest.
#pragma once

#include "amsd/registry/app_table.h"

struct ScanResult {
  bool reached;   // the apps directory could be opened
  int error;      // errno when it could not
  bool was_seen;  // the directory had been opened by an earlier scan
  int dirs;       // directories registered or refreshed
  bool changed;   // a count differs from the previous completed scan
};

// One full scan. A directory that cannot be opened changes nothing.
ScanResult registry_scan(Registry& reg, const char* apps_dir);
