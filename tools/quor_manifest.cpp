// quor_manifest: prints what a registry scan of quor_amsd stores for an app
// directory, read by the registry's own code, and warns wherever that
// reading departs from the JSON of its "app.json". The --json lines are an
// interface for editors and build scripts: keep them stable.

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amsd/base/console.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/options.h"
#include "amsd/base/text.h"
#include "amsd/registry/routes.h"
#include "amsd/registry/scan.h"
#include "tools/manifest_check.h"
#include "tools/out.h"

namespace {

using Sv = std::string_view;

constexpr int EXIT_WARNINGS = 1;
constexpr int EXIT_USAGE = 2;
constexpr char CONSOLE[] = "quor_manifest: ";
constexpr std::size_t PATH_SIZE = 1024;  // paths on a PC may be long
constexpr char USAGE[] =
    "usage: quor_manifest [--json] <app directory or app.json>...";
constexpr char HELP[] =
    "       quor_manifest --version | -h\n"
    "Prints what quor_amsd registers for each app, then one warning per\n"
    "place where that departs from the JSON of its app.json.\n"
    "Exit status: 0 no warning, 1 a warning, 2 a usage error or an argument\n"
    "that cannot be read.\n";

int usage_error(const char* what, const char* arg = "") {
  console_line(CONSOLE, "%s%s", what, arg);
  std::fprintf(stderr, "%s (-h for help)\n", USAGE);
  return EXIT_USAGE;
}

int cannot_read(const char* what, const char* why) {
  console_line(CONSOLE, "%s: %s", what, why);
  return EXIT_USAGE;
}

// One argument, named as a registry scan of its parent would name it.
struct Target {
  char apps_dir[PATH_SIZE];
  char name[PATH_SIZE];
  char dir[PATH_SIZE];
  char manifest[PATH_SIZE];
};

// The app directory of an argument (itself, or the one holding its
// app.json), split into its parent and its name as the card would show it.
int locate(const char* arg, Target& t) {
  struct stat st;
  Sv path(arg);
  std::size_t slash = path.rfind('/');
  if (stat(arg, &st) != 0) {
    return cannot_read(arg, std::strerror(errno));
  } else if (!S_ISDIR(st.st_mode) &&
             (!S_ISREG(st.st_mode) || slice(path, slash + 1) != "app.json")) {
    return cannot_read(arg, "not an app directory or app.json");
  } else if (!S_ISDIR(st.st_mode)) {
    path = slash == Sv::npos ? "." : slice(path, 0, slash + 1);
  }
  while (path.size() > 1 && path.back() == '/') {
    path.remove_suffix(1);
  }
  char real[PATH_MAX];
  Sv base = slice(path, path.rfind('/') + 1);
  if (base.empty() || base == "." || base == "..") {  // by its real name
    if (copy_text(t.dir, path) || !realpath(t.dir, real)) {
      return cannot_read(arg, std::strerror(errno));
    }
    path = real;
    base = slice(path, path.rfind('/') + 1);
  }
  std::size_t cut = path.size() - base.size();  // the parent and its slash
  Sv parent = cut == 0 ? "." : slice(path, 0, cut > 1 ? cut - 1 : 1);
  if (base.empty()) {
    return cannot_read(arg, "not an app directory");
  } else if (copy_text(t.name, base) || copy_text(t.apps_dir, parent) ||
             format_path(t.dir, sizeof t.dir, "%s%.*s", cut ? "" : "./",
                         text_len(path), path.data()) < 0 ||
             copy_text(t.manifest, t.dir) ||
             path_append(t.manifest, "/app.json") != 0) {
    return cannot_read(arg, "path too long");
  }
  return 0;
}

Out g_out;  // standard output

// In JSON "label":"value" after sep, or in a routes or pickers object
// "key":"chain"; else a line of its own, a route's with its steps.
void put_field(bool json, const char* sep, const char* label, const char* key,
               const char* value) {
  if (json) {
    out_put(g_out, sep);
    out_json_string(g_out, key ? key : label);
    out_char(g_out, ':');
    out_json_string(g_out, value);
    return;
  }
  out_printf(g_out, "  %-7s \"", label);
  if (key) {
    out_escaped(g_out, key);
    out_put(g_out, "\" -> \"");
  }
  out_escaped(g_out, value);
  int steps = chain_steps(value);
  if (label[0] == 'r') {
    out_printf(g_out, "\" (%d step%s)\n", steps, steps == 1 ? "" : "s");
  } else {
    out_put(g_out, "\"\n");
  }
}

void print_app(const char* arg, const Registry& reg, const AppRecord& app,
               bool json) {
  if (!json) {
    out_escaped(g_out, arg);
    out_put(g_out, ":\n");
  }
  put_field(json, "{", "pkg", nullptr, app.pkg);
  put_field(json, ",", "name", nullptr, app.name);
  put_field(json, ",", "exec", nullptr, app.exec);
  out_put(g_out, json ? ",\"routes\":{" : "");
  for (int i = 0; i < app.route_count; ++i) {
    const RouteEntry& r = app.routes[i];
    put_field(json, i ? "," : "", "route", r.key, r.chain);
  }
  out_put(g_out, json ? "},\"pickers\":{" : "");
  for (int i = 0; i < reg.picker_count; ++i) {
    const PickerEntry& p = reg.pickers[i];
    put_field(json, i ? "," : "", "picker", p.action, p.chain);
  }
  out_put(g_out, json ? "},\"warnings\":[" : "");
}

Registry g_reg;  // one app at a time
constinit JsonIndex g_json;
constinit ManifestSpans g_spans;
char g_file[MANIFEST_FILE_MAX + 2];  // the whole manifest, and a byte more

// One argument: its exit status.
int check_one(const char* arg, bool json) {
  static Target t;
  struct stat st;
  if (locate(arg, t) != 0) {
    return EXIT_USAGE;
  }
  ssize_t size = -1;  // no manifest
  bool there = stat(t.manifest, &st) == 0;
  if (!there && errno != ENOENT) {
    return cannot_read(t.manifest, std::strerror(errno));
  } else if (there && S_ISREG(st.st_mode)) {
    size =
        read_small_file(t.manifest, g_file, sizeof g_file, SMALL_FILE_REGULAR);
    if (size < 0) {
      return cannot_read(t.manifest, std::strerror(errno));
    }
  }
  std::memset(static_cast<void*>(&g_reg), 0, sizeof g_reg);  // an empty one
  g_spans.count = 0;
  bool skipped = !registry_scan_entry(g_reg, t.apps_dir, t.name, &g_spans);
  static char text[MANIFEST_TEXT_MAX + 1];
  Sv head(text, manifest_load(t.manifest, text));
  static AppRecord none;
  const AppRecord& app = g_reg.app_count > 0 ? g_reg.apps[0] : none;
  print_app(arg, g_reg, app, json);
  Warnings w{ json, 0 };
  if (there && size < 0) {
    warn(w, "app.json: not a regular file; the daemon reads no manifest");
  }
  if (t.name[0] == '.') {
    warn(w, "pkg: a scan skips directories whose name begins with \".\"");
  }
  if (std::strlen(t.name) >= sizeof AppRecord::pkg) {
    warn(w, "pkg: the directory name is cut to %zu bytes",
         sizeof AppRecord::pkg - 1);
  }
  if (skipped) {
    warn(w, "pkg: a scan skips this directory (its path is too long)");
  }
  ManifestCheck c{ head, g_spans, g_json, g_reg, app, w };
  // The scan cuts an entry's name to 95 bytes before it uses it.
  manifest_check(c, Sv(g_file, size < 0 ? 0 : size), size >= 0,
                 slice(t.name, 0, 95), t.dir);
  out_put(g_out, json ? "]}\n" : "");
  out_flush(g_out);
  return w.count > 0 ? EXIT_WARNINGS : 0;
}

}  // namespace

void warn(Warnings& w, const char* fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (w.json) {
    out_put(g_out, w.count > 0 ? "," : "");
    out_json_string(g_out, line);
  } else {
    out_put(g_out, "  warning: ");
    out_escaped(g_out, line);
    out_char(g_out, '\n');
  }
  ++w.count;
}

int main(int argc, char** argv) {
  bool json = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    CommonOption common = common_option(argv[i]);
    if (common == CommonOption::kEnd) {
      ++i;
      break;
    } else if (common == CommonOption::kHelp) {
      std::printf("%s\n%s", USAGE, HELP);
      return 0;
    } else if (common == CommonOption::kVersion) {
      std::printf("quor_manifest %s\n", QUOR_VERSION);
      return 0;
    } else if (std::strcmp(argv[i], "--json") != 0) {
      return usage_error("unknown option ", argv[i]);
    }
    json = true;
  }
  if (i >= argc) {
    return usage_error("no app directory");
  }
  int status = 0;
  for (; i < argc; ++i) {
    int rc = check_one(argv[i], json);
    status = rc > status ? rc : status;
  }
  return status;
}
