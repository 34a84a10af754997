// quor_manifest: prints what a registry scan of quor_amsd stores for an app
// directory, read by the registry's own code, and warns wherever that
// reading departs from what a JSON reader sees in the same "app.json".
//
// Exit status: 0 when the manifest reads as its JSON says, 1 when there is a
// warning, 2 on a usage error or an argument that cannot be read. The --json
// lines (keys "pkg", "name", "exec", "routes", "pickers", "warnings") are an
// interface for editors and build scripts: keep them stable.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "amsd/base/fd_io.h"
#include "amsd/base/options.h"
#include "amsd/base/text.h"
#include "amsd/registry/manifest.h"
#include "amsd/registry/routes.h"
#include "amsd/registry/scan.h"
#include "tools/departures.h"
#include "tools/json_check.h"
#include "tools/json_text.h"

namespace {

constexpr int EXIT_CLEAN = 0;
constexpr int EXIT_WARNINGS = 1;
constexpr int EXIT_USAGE = 2;

constexpr std::size_t FILE_MAX = 65536;  // bytes of a manifest checked as JSON
constexpr std::size_t PATH_SIZE = 1024;

constexpr char HELP[] =
    "usage: quor_manifest [--json] <app directory or app.json>...\n"
    "       quor_manifest --version | -h\n"
    "Prints what quor_amsd registers for each app directory (package id,\n"
    "name, exec, routes with their steps, picker actions), read as the\n"
    "daemon reads it, then one warning per place where that reading departs\n"
    "from the JSON of its app.json.\n"
    "--json: one object per argument and line, with the keys \"pkg\", "
    "\"name\",\n"
    "\"exec\", \"routes\", \"pickers\" and \"warnings\".\n"
    "\n"
    "Exit status: 0 no warning, 1 a warning, 2 a usage error or an argument\n"
    "that cannot be read.\n";

// One argument, named as a registry scan of its parent would name it.
struct Target {
  char apps_dir[PATH_SIZE];
  char name[PATH_SIZE];
  char dir[PATH_SIZE];  // apps_dir/name
  char manifest[PATH_SIZE];
};

// The whole manifest, as far as it is checked.
struct ManifestFile {
  bool present;  // a regular file at the manifest path
  bool too_big;  // longer than FILE_MAX
  std::size_t size;
  char text[FILE_MAX + 1];
};

Registry g_reg;  // one app at a time
constinit JsonCheck g_json;
constinit ManifestFile g_file;
constinit Warnings g_warn;

int usage_error(const char* why, const char* what) {
  std::fprintf(stderr, "quor_manifest: %s%s\n", why, what);
  std::fprintf(stderr,
               "usage: quor_manifest [--json] <app directory or app.json>... "
               "(-h for help)\n");
  return EXIT_USAGE;
}

int cannot_read(const char* arg, const char* why) {
  std::fprintf(stderr, "quor_manifest: %s: %s\n", arg, why);
  return -1;
}

// Splits dir into its parent and its last name.
int split_dir(Target& t, const char* arg) {
  char* slash = std::strrchr(t.dir, '/');
  std::string_view base = slash ? slash + 1 : t.dir;
  if (base.empty() || base == "." || base == "..") {
    // The name the card would show: resolve "." and "..".
    char real[PATH_MAX];
    if (!realpath(t.dir, real)) {
      return cannot_read(arg, std::strerror(errno));
    }
    if (std::strcmp(real, "/") == 0 ||
        copy_text(t.dir, std::string_view(real, std::strlen(real)))) {
      return cannot_read(arg, "not an app directory");
    }
    return split_dir(t, arg);
  }
  if (copy_text(t.name, base)) {
    return cannot_read(arg, "path too long");
  }
  if (!slash) {
    copy_text(t.apps_dir, ".");
  } else if (slash == t.dir) {
    copy_text(t.apps_dir, "/");
  } else {
    copy_text(t.apps_dir, std::string_view(t.dir, slash - t.dir));
  }
  return 0;
}

// The app directory of an argument: itself, or the one holding its app.json.
int locate(const char* arg, Target& t) {
  struct stat st;
  if (stat(arg, &st) != 0) {
    return cannot_read(arg, std::strerror(errno));
  }
  std::string_view path(arg, std::strlen(arg));
  if (copy_text(t.dir, path)) {
    return cannot_read(arg, "path too long");
  }
  if (!S_ISDIR(st.st_mode)) {
    std::size_t slash = path.rfind('/');
    std::string_view file =
        slash == std::string_view::npos ? path : slice(path, slash + 1);
    if (!S_ISREG(st.st_mode) || file != "app.json") {
      return cannot_read(arg, "not an app directory or app.json");
    }
    copy_text(t.dir, slash == std::string_view::npos ? std::string_view(".")
                     : slash == 0                    ? std::string_view("/")
                                                     : slice(path, 0, slash));
  }
  for (std::size_t n = std::strlen(t.dir); n > 1 && t.dir[n - 1] == '/'; --n) {
    t.dir[n - 1] = '\0';
  }
  if (split_dir(t, arg) != 0) {
    return -1;
  }
  if (format_path(t.dir, sizeof t.dir, "%s%s%s", t.apps_dir,
                  std::strcmp(t.apps_dir, "/") == 0 ? "" : "/", t.name) < 0 ||
      format_path(t.manifest, sizeof t.manifest, "%s/app.json", t.dir) < 0) {
    return cannot_read(arg, "path too long");
  }
  return 0;
}

// Reads the whole manifest, up to FILE_MAX bytes. A missing one is no error.
int read_manifest(const char* arg, const Target& t, ManifestFile& f) {
  f.present = false;
  f.too_big = false;
  f.size = 0;
  f.text[0] = '\0';
  int fd = open(t.manifest, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    return 0;
  }
  if (fd < 0) {
    std::fprintf(stderr, "quor_manifest: %s: %s\n", t.manifest,
                 std::strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    warn(g_warn, "app.json: not a regular file; the daemon reads no manifest");
    return 0;
  }
  while (f.size < FILE_MAX) {
    ssize_t n = fd_read(fd, f.text + f.size, FILE_MAX - f.size);
    if (n < 0) {
      close(fd);
      return cannot_read(arg, std::strerror(errno));
    }
    if (n == 0) {
      break;
    }
    f.size += static_cast<std::size_t>(n);
  }
  char more;
  f.too_big = f.size == FILE_MAX && read(fd, &more, 1) == 1;
  close(fd);
  f.text[f.size] = '\0';
  f.present = true;
  return 0;
}

// The warnings of the file as a whole; true when the JSON can be compared.
bool check_file(const ManifestFile& f, std::string_view head) {
  std::string_view text(f.text, f.size);
  if (f.too_big || f.size > MANIFEST_TEXT_MAX) {
    warn(g_warn, "app.json: %s%zu bytes; the daemon reads only the first %d",
         f.too_big ? "over " : "", f.size, MANIFEST_TEXT_MAX);
  }
  if (head.size() < f.size && head.size() < MANIFEST_TEXT_MAX) {
    warn(g_warn,
         "app.json: a zero byte at offset %zu; the daemon reads nothing after "
         "it",
         head.size());
  }
  if (f.too_big) {
    warn(g_warn, "app.json: not checked as JSON (over %zu bytes)", FILE_MAX);
    return false;
  }
  json_check(text, head.size(), g_json);
  if (!g_json.utf8_ok) {
    warn(g_warn, "app.json: line %d: not UTF-8",
         json_line_at(text, g_json.bad_utf8_at));
  }
  if (!g_json.valid) {
    warn(g_warn, "app.json: line %d: not valid JSON (%s)",
         json_line_at(text, g_json.error_at), g_json.error);
    return false;
  }
  if (g_json.members_cut) {
    warn(g_warn, "app.json: over %d keys; the rest are not compared",
         JSON_MAX_MEMBERS);
  }
  return true;
}

// Text for a terminal: control bytes as \xNN; in a quoted value a
// backslash doubled, so that none seems to escape the closing quote.
void put_text(std::string_view s, bool quoted = true) {
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (c == '\\' && quoted) {
      std::fputs("\\\\", stdout);
    } else if (u < 0x20 || u == 0x7F) {
      std::printf("\\x%02x", u);
    } else {
      std::putchar(c);
    }
  }
}

// A JSON string; bytes that are not UTF-8 become U+FFFD.
void put_json(std::string_view s) {
  std::putchar('"');
  char esc[JSON_ESCAPE_MAX];
  for (std::size_t i = 0; i < s.size();) {
    std::fwrite(esc, 1, json_escape_next(s, i, esc), stdout);
  }
  std::putchar('"');
}

std::string_view sv(const char* s) {
  return std::string_view(s, std::strlen(s));
}

bool handled_by(const PickerEntry& p, const AppRecord& app) {
  return p.active && std::strcmp(p.handler, app.pkg) == 0;
}

void print_json(const AppRecord& app, const Registry& reg, const Warnings& w) {
  std::fputs("{\"pkg\":", stdout);
  put_json(sv(app.pkg));
  std::fputs(",\"name\":", stdout);
  put_json(sv(app.name));
  std::fputs(",\"exec\":", stdout);
  put_json(sv(app.exec));
  std::fputs(",\"routes\":{", stdout);
  for (int i = 0; i < app.route_count; ++i) {
    std::fputs(i ? "," : "", stdout);
    put_json(sv(app.routes[i].key));
    std::putchar(':');
    put_json(sv(app.routes[i].chain));
  }
  std::fputs("},\"pickers\":{", stdout);
  bool first = true;
  for (int i = 0; i < reg.picker_count; ++i) {
    if (handled_by(reg.pickers[i], app)) {
      std::fputs(first ? "" : ",", stdout);
      first = false;
      put_json(sv(reg.pickers[i].action));
      std::putchar(':');
      put_json(sv(reg.pickers[i].chain));
    }
  }
  std::fputs("},\"warnings\":[", stdout);
  for (int i = 0; i < w.count; ++i) {
    std::fputs(i ? "," : "", stdout);
    put_json(sv(w.lines[i]));
  }
  std::fputs("]}\n", stdout);
}

void print_field(const char* label, const char* value) {
  std::printf("  %-7s \"", label);
  put_text(sv(value));
  std::fputs("\"\n", stdout);
}

void print_text(const char* arg, const AppRecord& app, const Registry& reg,
                const Warnings& w) {
  put_text(sv(arg), false);
  std::fputs(":\n", stdout);
  print_field("pkg", app.pkg);
  print_field("name", app.name);
  print_field("exec", app.exec);
  for (int i = 0; i < app.route_count; ++i) {
    const RouteEntry& r = app.routes[i];
    std::fputs("  route   \"", stdout);
    put_text(sv(r.key));
    std::fputs("\" -> \"", stdout);
    put_text(sv(r.chain));
    int steps = chain_steps(r.chain);
    std::printf("\" (%d step%s)\n", steps, steps == 1 ? "" : "s");
  }
  for (int i = 0; i < reg.picker_count; ++i) {
    if (handled_by(reg.pickers[i], app)) {
      std::fputs("  picker  \"", stdout);
      put_text(sv(reg.pickers[i].action));
      std::fputs("\" -> \"", stdout);
      put_text(sv(reg.pickers[i].chain));
      std::fputs("\"\n", stdout);
    }
  }
  for (int i = 0; i < w.count; ++i) {
    std::fputs("  warning: ", stdout);
    put_text(sv(w.lines[i]), false);
    std::putchar('\n');
  }
}

// One argument: its exit status.
int check_one(const char* arg, bool json) {
  static Target t;
  std::memset(&g_warn, 0, sizeof g_warn);
  if (locate(arg, t) != 0 || read_manifest(arg, t, g_file) != 0) {
    return EXIT_USAGE;
  }
  // A zeroed registry is an empty one.
  std::memset(static_cast<void*>(&g_reg), 0, sizeof g_reg);
  if (t.name[0] == '.') {
    warn(g_warn, "pkg: a scan skips directories whose name begins with \".\"");
  }
  if (std::strlen(t.name) >= sizeof AppRecord::pkg) {
    warn(g_warn, "pkg: the directory name is cut to %zu bytes",
         sizeof AppRecord::pkg - 1);
  }
  if (!registry_scan_entry(g_reg, t.apps_dir, t.name)) {
    warn(g_warn, "pkg: a scan skips this directory (its path is too long)");
  }
  static char head[MANIFEST_TEXT_MAX + 1];
  std::size_t head_len = manifest_load(t.manifest, head);
  bool compare = g_file.present && check_file(g_file, sv(head));
  static AppRecord none;
  const AppRecord& app = g_reg.app_count > 0 ? g_reg.apps[0] : none;
  // The scan cuts an entry's name to 95 bytes before it uses it.
  std::string_view dir_name = slice(sv(t.name), 0, 95);
  DepartureInput in{ std::string_view(head, head_len),
                     compare ? &g_json : nullptr,
                     &g_reg,
                     &app,
                     dir_name,
                     sv(t.dir) };
  departures_check(in, g_warn);
  if (g_warn.cut) {
    warn(g_warn, "more warnings not shown");
  }
  if (json) {
    print_json(app, g_reg, g_warn);
  } else {
    print_text(arg, app, g_reg, g_warn);
  }
  return g_warn.count > 0 ? EXIT_WARNINGS : EXIT_CLEAN;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const char* opt = argv[i];
    CommonOption common = common_option(opt);
    if (common == CommonOption::kEnd) {
      ++i;
      break;
    }
    if (common == CommonOption::kHelp) {
      std::fputs(HELP, stdout);
      return EXIT_CLEAN;
    }
    if (common == CommonOption::kVersion) {
      std::printf("quor_manifest %s\n", QUOR_VERSION);
      return EXIT_CLEAN;
    }
    if (std::strcmp(opt, "--json") != 0) {
      return usage_error("unknown option ", opt);
    }
    json = true;
  }
  if (i >= argc) {
    return usage_error("no app directory", "");
  }
  int status = EXIT_CLEAN;
  for (; i < argc; ++i) {
    int rc = check_one(argv[i], json);
    status = rc > status ? rc : status;
  }
  std::fflush(stdout);
  return status;
}
