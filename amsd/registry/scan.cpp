#include "amsd/registry/scan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "amsd/base/text.h"
#include "amsd/registry/manifest.h"

constexpr int DIR_NAME_SIZE = 96;  // first 95 bytes of an entry's name
constexpr int SCAN_PATH_SIZE = 576;

// Fills the manifest-side fields of the app read from one directory.
static void apply_manifest(Registry& reg, AppRecord& app, const char* dir_name,
                           const char* dir_path, std::string_view text,
                           ManifestSpans* spans) {
  char value[MANIFEST_VALUE_SIZE];
  manifest_value(text, "name", value, spans);
  copy_text(app.name, value[0] != '\0' ? value : dir_name);
  utf8_cut(app.name);

  manifest_value(text, "exec", value, spans);
  if (value[0] != '\0') {
    copy_text(app.exec, value);
  } else if (app.exec[0] == '\0' || std::strcmp(app.exec, "?") == 0) {
    // When "/quor" does not fit, the directory path stands alone.
    copy_text(app.exec, dir_path);
    path_append(app.exec, "/quor");
  }
  manifest_routes(text, app, spans);
  manifest_pickers(text, reg, app, spans);
}

bool registry_scan_entry(Registry& reg, const char* apps_dir, const char* name,
                         ManifestSpans* spans) {
  char dir_name[DIR_NAME_SIZE];
  copy_text(dir_name, name);
  char path[SCAN_PATH_SIZE];
  if (copy_text(path, apps_dir) || path_append(path, "/") != 0 ||
      path_append(path, dir_name) != 0) {
    return false;
  }
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
    return false;
  }
  char manifest_path[SCAN_PATH_SIZE];
  copy_text(manifest_path, path);
  if (path_append(manifest_path, "/app.json") != 0) {
    return false;
  }
  char text[MANIFEST_TEXT_MAX + 1];
  std::size_t len = manifest_load(manifest_path, text);

  std::string_view pkg(dir_name, strnlen(dir_name, sizeof AppRecord::pkg - 1));
  AppRecord* app = find_app(reg, pkg);
  if (!app) {
    if (reg.app_count >= MAX_APPS) {
      return false;
    }
    app = &reg.apps[reg.app_count++];
    std::memset(app, 0, sizeof *app);
    copy_text(app->pkg, pkg);
  }
  app->known = true;
  apply_manifest(reg, *app, dir_name, path, std::string_view(text, len), spans);
  return true;
}

ScanResult registry_scan(Registry& reg, const char* apps_dir) {
  ScanResult r = {};
  r.was_seen = reg.apps_dir_seen;
  DIR* dir = opendir(apps_dir);
  if (!dir) {
    r.error = errno;
    return r;
  }
  r.reached = true;
  reg.apps_dir_seen = true;
  for (int i = 0; i < reg.app_count; ++i) {
    reg.apps[i].known = false;
  }
  for (int i = 0; i < reg.picker_count; ++i) {
    reg.pickers[i].active = false;
  }
  while (struct dirent* ent = readdir(dir)) {
    if (ent->d_name[0] != '.' &&
        registry_scan_entry(reg, apps_dir, ent->d_name)) {
      ++r.dirs;
    }
  }
  closedir(dir);

  const int counts[3] = { r.dirs, reg.app_count, reg.picker_count };
  r.changed = std::memcmp(counts, reg.last_scan, sizeof counts) != 0;
  std::memcpy(reg.last_scan, counts, sizeof counts);
  return r;
}
