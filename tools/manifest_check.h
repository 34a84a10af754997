// quor_manifest's comparison: the spans the registry's reader noted beside a
// JSON index of the same file. A value taken from elsewhere than the member
// it names, or a member no span names, is a warning; where the span stops
// tells why.
#pragma once

#include <string_view>

#include "amsd/registry/app_table.h"
#include "amsd/registry/manifest.h"
#include "tools/json_index.h"

constexpr std::size_t MANIFEST_FILE_MAX = 65536;  // bytes checked as JSON

// quor_manifest prints each warning as it comes, after the app's fields;
// count sets the exit status.
struct Warnings {
  bool json;
  int count;
};
[[gnu::format(printf, 2, 3)]] void warn(Warnings& w, const char* fmt, ...);

struct ManifestCheck {
  std::string_view head;  // the bytes of app.json the reader read
  const ManifestSpans& spans;
  JsonIndex& json;      // of the whole file
  const Registry& reg;  // holding this app alone
  const AppRecord& app;
  Warnings& w;
};

// The whole file (when there is one), the name, exec, routes and picker
// actions; dir_name and dir_path give the defaults. Then whether the program
// the launcher would start is an executable file (an absolute exec is a path
// on the device).
void manifest_check(const ManifestCheck& c, std::string_view file, bool there,
                    std::string_view dir_name, const char* dir_path);
