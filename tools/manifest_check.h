// The comparison of quor_manifest: the spans the registry's reader noted
// while it read an app's manifest, set beside a JSON index of the same file.
// A value taken from elsewhere than the member it names, or a member no span
// names, is a warning, and the byte where a span stops tells why.
#pragma once

#include <string_view>

#include "amsd/registry/app_table.h"
#include "amsd/registry/manifest.h"
#include "tools/json_index.h"

constexpr int MAX_WARNINGS = 64;

struct Warnings {
  int count;
  char lines[MAX_WARNINGS][512];  // the last says so when more were cut
};

[[gnu::format(printf, 2, 3)]] void warn(Warnings& w, const char* fmt, ...);

// What the check of one app reads, and where its warnings go.
struct ManifestCheck {
  std::string_view head;       // the bytes of app.json the reader read
  const ManifestSpans& spans;  // where it took each value
  const JsonIndex& json;       // of the whole file, valid
  const Registry& reg;         // holding this app alone
  const AppRecord& app;
  Warnings& w;
};

// The name, exec, routes and picker actions. dir_name and dir_path: the
// directory as the scan names it, for the defaults.
void manifest_check(const ManifestCheck& c, std::string_view dir_name,
                    const char* dir_path);

// Whether the program the launcher would start (in dir unless absolute, a
// path on the device) is an executable file; needs no JSON.
void check_executable(const ManifestCheck& c, const char* dir);
