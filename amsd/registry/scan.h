// Builds the registry from the apps directory: one sub-directory per app,
// each with an optional "app.json" manifest.
#pragma once

#include "amsd/registry/app_table.h"
#include "amsd/registry/manifest.h"

struct ScanResult {
  bool reached;   // the apps directory could be opened
  int error;      // errno when it could not
  bool was_seen;  // the directory had been opened by an earlier scan
  int dirs;       // directories registered or refreshed
  bool changed;   // a count differs from the previous completed scan
};

// One full scan. A directory that cannot be opened changes nothing.
ScanResult registry_scan(Registry& reg, const char* apps_dir);

// Registers or refreshes the app in the directory entry name of apps_dir,
// as each step of a scan does (a name beginning with "." is the caller's to
// skip), noting in spans, when given, where the manifest's values came
// from. Returns false when the entry is skipped: not a directory, path too
// long, or table full.
bool registry_scan_entry(Registry& reg, const char* apps_dir, const char* name,
                         ManifestSpans* spans = nullptr);
