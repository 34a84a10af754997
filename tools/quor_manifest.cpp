// quor_manifest: prints what a registry scan of quor_amsd stores for an app
// directory, read by the registry's own code, and warns wherever that
// reading departs from the JSON of its "app.json". The reader notes where it
// took each value; one taken from elsewhere than the member it names, or a
// member it did not see, is a warning, and the spans tell why.
//
// Exit status: 0 when the manifest reads as its JSON says, 1 when there is a
// warning, 2 on a usage error or an argument that cannot be read. The --json
// lines (keys "pkg", "name", "exec", "routes", "pickers", "warnings") are an
// interface for editors and build scripts: keep them stable.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "amsd/base/console.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/options.h"
#include "amsd/base/text.h"
#include "amsd/registry/manifest.h"
#include "amsd/registry/routes.h"
#include "amsd/registry/scan.h"
#include "tools/json_index.h"

namespace {

using Sv = std::string_view;
using Field = ManifestField;

constexpr int EXIT_WARNINGS = 1;
constexpr int EXIT_USAGE = 2;
constexpr char CONSOLE[] = "quor_manifest: ";
constexpr std::size_t FILE_MAX = 65536;  // bytes of a manifest checked as JSON
constexpr std::size_t PATH_SIZE = 1024;
constexpr int MAX_WARNINGS = 64;
constexpr int NOTE_SIZE = 320;  // a reason or a place; keys cut to 120 bytes

constexpr char USAGE[] =
    "usage: quor_manifest [--json] <app directory or app.json>... "
    "(-h for help)\n";
constexpr char HELP[] =
    "usage: quor_manifest [--json] <app directory or app.json>...\n"
    "       quor_manifest --version | -h\n"
    "Prints what quor_amsd registers for each app directory (package id,\n"
    "name, exec, routes with their steps, picker actions), read as the\n"
    "daemon reads it, then one warning per place where that reading departs\n"
    "from the JSON of its app.json.\n"
    "--json: one object per argument and line, with the keys \"pkg\", "
    "\"name\",\n\"exec\", \"routes\", \"pickers\" and \"warnings\".\n\n"
    "Exit status: 0 no warning, 1 a warning, 2 a usage error or an argument\n"
    "that cannot be read.\n";

// One argument, named as a registry scan of its parent would name it.
struct Target {
  char apps_dir[PATH_SIZE];
  char name[PATH_SIZE];
  char dir[PATH_SIZE];  // apps_dir/name
  char manifest[PATH_SIZE];
};

// The words of an entry kind: "route.<key>" or "picker.<action>".
struct Kind {
  Field field;
  Sv prefix;
  std::size_t max;    // of the key
  const char* part;   // what follows the prefix
  const char* noun;   // what it declares
  const char* limit;  // of the table
};
constexpr Kind ROUTES{
  Field::kRoute, "route.", ROUTE_KEY_MAX,
  "key",         "route",  "an app holds at most 8 routes"
};
constexpr Kind PICKERS{
  Field::kPicker, "picker.", PICKER_ACTION_MAX,
  "action",       "action",  "the picker table holds at most 8 actions"
};

Registry g_reg;  // one app at a time
constinit JsonIndex g_json;
constinit ManifestSpans g_spans;
char g_file[FILE_MAX + 2];  // the whole manifest, and a byte to tell more
Sv g_head;                  // the bytes the reader read of it
constinit struct {
  int count;
  char lines[MAX_WARNINGS][512];
} g_warn;

Sv sv(const char* s) {
  return Sv(s, std::strlen(s));
}

// Adds a warning; the last room says that more were cut.
[[gnu::format(printf, 1, 2)]] void warn(const char* fmt, ...) {
  char* line = g_warn.lines[g_warn.count];
  if (g_warn.count == MAX_WARNINGS - 1) {
    copy_text(line, sizeof g_warn.lines[0], "more warnings not shown");
  } else if (g_warn.count < MAX_WARNINGS) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof g_warn.lines[0], fmt, ap);
    va_end(ap);
  }
  g_warn.count += g_warn.count < MAX_WARNINGS ? 1 : 0;
}

int cannot_read(const char* what, const char* why) {
  console_line(CONSOLE, "%s: %s", what, why);
  return -1;
}

// The app directory of an argument (itself, or the one holding its
// app.json), split into its parent and its name as the card would show it.
int locate(const char* arg, Target& t) {
  struct stat st;
  if (stat(arg, &st) != 0) {
    return cannot_read(arg, std::strerror(errno));
  }
  Sv path = sv(arg);
  std::size_t slash = path.rfind('/');
  if (!S_ISDIR(st.st_mode)) {
    if (!S_ISREG(st.st_mode) || slice(path, slash + 1) != "app.json") {
      return cannot_read(arg, "not an app directory or app.json");
    }
    path = slash == Sv::npos ? "." : slice(path, 0, slash ? slash : 1);
  }
  while (path.size() > 1 && path.back() == '/') {
    path.remove_suffix(1);
  }
  char real[PATH_MAX];
  Sv base = slice(path, path.rfind('/') + 1);
  if (base.empty() || base == "." || base == "..") {
    if (copy_text(t.dir, path) || !realpath(t.dir, real)) {
      return cannot_read(arg, std::strerror(errno));
    }
    path = sv(real);
    base = slice(path, path.rfind('/') + 1);
  }
  slash = path.size() - base.size() - 1;  // npos: none
  Sv parent = slash == Sv::npos ? "." : slice(path, 0, slash ? slash : 1);
  if (base.empty()) {
    return cannot_read(arg, "not an app directory");
  }
  if (copy_text(t.name, base) || copy_text(t.apps_dir, parent) ||
      format_path(t.dir, sizeof t.dir, "%s%s%s", t.apps_dir, slash ? "/" : "",
                  t.name) < 0 ||
      format_path(t.manifest, sizeof t.manifest, "%s/app.json", t.dir) < 0) {
    return cannot_read(arg, "path too long");
  }
  return 0;
}

constexpr long NO_MANIFEST = -2;

// Reads the whole manifest into g_file, a byte more than FILE_MAX at most.
// Returns its length, NO_MANIFEST (missing, or no regular file), or -1.
long read_manifest(const Target& t) {
  struct stat st;
  if (stat(t.manifest, &st) != 0) {
    return errno == ENOENT ? NO_MANIFEST
                           : cannot_read(t.manifest, std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    warn("app.json: not a regular file; the daemon reads no manifest");
    return NO_MANIFEST;
  }
  ssize_t n =
      read_small_file(t.manifest, g_file, sizeof g_file, SMALL_FILE_REGULAR);
  return n < 0 ? cannot_read(t.manifest, std::strerror(errno)) : n;
}

// The warnings of the file as a whole; true when the JSON can be compared.
bool check_file(Sv file) {
  bool too_big = file.size() > FILE_MAX;
  if (file.size() > MANIFEST_TEXT_MAX) {
    warn("app.json: %s%zu bytes; the daemon reads only the first %d%s",
         too_big ? "over " : "", too_big ? FILE_MAX : file.size(),
         MANIFEST_TEXT_MAX, too_big ? "; not checked as JSON" : "");
  }
  if (g_head.size() < file.size() && g_head.size() < MANIFEST_TEXT_MAX) {
    warn(
        "app.json: a zero byte at offset %zu; the daemon reads nothing after "
        "it",
        g_head.size());
  }
  json_index(file, g_json);
  if (too_big) {
    return false;
  }
  if (!g_json.utf8) {
    warn("app.json: line %d: not UTF-8",
         json_line_at(file, g_json.bad_utf8_at));
  }
  if (!g_json.valid) {
    warn("app.json: line %d: not valid JSON (%s)",
         json_line_at(file, g_json.error_at), g_json.error);
  } else if (g_json.cut) {
    warn("app.json: over %d keys; the rest are not compared", JSON_MAX_MEMBERS);
  }
  return g_json.valid;
}

Sv bytes(std::size_t from, std::size_t to) {
  return to > from ? slice(g_head, from, to - from) : Sv();
}

// The member whose key the reader's match begins; nullptr for one inside a
// key or a value.
const JsonMember* named(const ManifestSpan& s) {
  for (int i = 0; i < g_json.count; ++i) {
    if (g_json.members[i].key_at + 1 == s.match) {
      return &g_json.members[i];
    }
  }
  return nullptr;
}

// The member a JSON reader takes for key: the last of that name.
const JsonMember* member(Sv key) {
  const JsonMember* found = nullptr;
  for (int i = 0; i < g_json.count; ++i) {
    found = key == g_json.members[i].key ? &g_json.members[i] : found;
  }
  return found;
}

// The last span of field for key, from index from on: of an entry, only one
// that declares something.
const ManifestSpan* last_span(Field field, Sv key, int from = 0) {
  const ManifestSpan* found = nullptr;
  for (int i = from; i < g_spans.count; ++i) {
    const ManifestSpan& s = g_spans.at[i];
    bool hit = s.field == field && (s.used || field == Field::kValue) &&
               bytes(s.key_at, s.key_end) == key;
    found = hit ? &s : found;
  }
  return found;
}

// "the key "x"" or "the value of "x"": where offset lies.
const char* where(std::size_t offset, char (&out)[NOTE_SIZE]) {
  const JsonMember* m = json_member_at(g_json, offset);
  if (!m) {
    return "the text";
  }
  std::snprintf(
      out, sizeof out,
      offset <= m->key_end ? "the key \"%.120s\"" : "the value of \"%.120s\"",
      m->key);
  return out;
}

// Why the value the reader took (s) is not member m's JSON string; nullptr
// when it is.
const char* value_reason(const ManifestSpan& s, const JsonMember& m, bool chain,
                         char (&buf)[NOTE_SIZE]) {
  std::size_t from = m.value_at + 1;
  std::size_t to = m.value_end - 1;
  const char* noun = chain ? "chain" : "value";
  char stop = s.value_end < g_head.size() ? g_head[s.value_end] : '\0';
  if (!m.string) {
    return "not a quoted string";
  }
  if (m.value_end > g_head.size() &&
      (!s.used || s.value_end == g_head.size())) {
    std::snprintf(buf, sizeof buf, "the %s runs past the %zu bytes read", noun,
                  g_head.size());
    return buf;
  }
  if (!s.used || s.value_at != from) {
    return "the value is not on the key's line";
  }
  if (s.value_end < to && chain &&
      s.value_end - s.value_at == ENTRY_VALUE_MAX) {
    return "chain cut to 159 bytes";
  }
  if (s.value_end < to && stop != '"' && stop != ',') {
    return "trailing blanks dropped";
  }
  if (s.value_end < to) {
    std::snprintf(buf, sizeof buf, "%s %s%s",
                  stop == '"' ? "an escaped quote ends the" : "the", noun,
                  stop == '"' ? "" : " ends at \",\"");
    return buf;
  }
  bool escaped = bytes(from, to).find('\\') != Sv::npos;
  return escaped ? "escape sequences are not decoded" : nullptr;
}

// "name" or "exec": where the reader found it and what it took, against the
// member a JSON reader takes; then the stored field against what was read.
void check_value(Sv key, Sv stored, Sv fallback, std::size_t max) {
  const ManifestSpan* s = last_span(Field::kValue, key);
  const JsonMember* m = member(key);
  bool got = s && s->used && s->value_end > s->value_at;
  char buf[NOTE_SIZE];
  char place[NOTE_SIZE];
  const char* why = nullptr;
  if (s && !named(*s) && (m || got)) {
    std::snprintf(buf, sizeof buf, "\"%.*s\" first appears inside %.200s",
                  text_len(key), key.data(), where(s->match, place));
    why = buf;
  } else if (s && named(*s) != m) {
    why = "given more than once, and the daemon takes the first";
  } else if (!s && m && m->key_end >= g_head.size()) {
    std::snprintf(buf, sizeof buf, "beyond the %zu bytes read", g_head.size());
    why = buf;
  } else if (!s && m) {
    why = "written with escapes; the daemon does not see it";
  } else if (m) {
    why = value_reason(*s, *m, false, buf);
  }
  if (why && got) {
    warn("%.*s: %s; reads as \"%.*s\"", text_len(key), key.data(), why,
         text_len(stored), stored.data());
  } else if (why) {
    warn("%.*s: %s; reads as empty (the default applies)", text_len(key),
         key.data(), why);
  }
  Sv read = got ? bytes(s->value_at, s->value_end) : fallback;
  max = got && max >= MANIFEST_VALUE_SIZE ? MANIFEST_VALUE_SIZE - 1 : max;
  if (stored.size() < read.size() && read.size() > max) {
    warn("%.*s: cut to %zu bytes (at most %zu)", text_len(key), key.data(),
         stored.size(), max);
  } else if (stored != read) {
    warn("%.*s: the UTF-8 sequence at its end is incomplete and dropped",
         text_len(key), key.data());
  }
}

// The chain the registry stored for key; nullptr when there is none.
const char* stored_chain(const Kind& k, const AppRecord& app, Sv key) {
  for (int i = 0; k.field == Field::kRoute && i < app.route_count; ++i) {
    if (key == app.routes[i].key) {
      return app.routes[i].chain;
    }
  }
  for (int i = 0; k.field == Field::kPicker && i < g_reg.picker_count; ++i) {
    const PickerEntry& p = g_reg.pickers[i];
    if (p.active && key == p.action && std::strcmp(p.handler, app.pkg) == 0) {
      return p.chain;
    }
  }
  return nullptr;
}

// The first span of kind k that names member m.
const ManifestSpan* span_naming(const Kind& k, const JsonMember& m) {
  for (int i = 0; i < g_spans.count; ++i) {
    if (g_spans.at[i].field == k.field && named(g_spans.at[i]) == &m) {
      return &g_spans.at[i];
    }
  }
  return nullptr;
}

// Why no span names member m: it lies beyond what was read, its key is
// escaped, or an earlier entry's value took it in.
void not_read(const Kind& k, const JsonMember& m) {
  char place[NOTE_SIZE];
  if (m.key_end >= g_head.size()) {
    warn("%s: beyond the %zu bytes read", m.key, g_head.size());
    return;
  }
  for (int i = 0; i < g_spans.count; ++i) {
    const ManifestSpan& s = g_spans.at[i];
    if (s.field == k.field && s.match < m.key_at && s.value_end > m.key_at) {
      warn("%s: not read; the \"%.*s\" inside %s before it took its value",
           m.key, text_len(k.prefix), k.prefix.data(), where(s.match, place));
      return;
    }
  }
  warn("%s: not read%s", m.key,
       bytes(m.key_at + 1, m.key_end).starts_with(k.prefix)
           ? ""
           : " (written with escapes)");
}

// Why the reader's key of s is not the member's raw key.
const char* key_reason(const Kind& k, const ManifestSpan& s, Sv raw,
                       char (&buf)[NOTE_SIZE]) {
  Sv key = bytes(s.key_at, s.key_end);
  char stop = g_head[s.key_end];
  if (key == raw) {
    return "holds escape sequences, not decoded";
  }
  if (key.size() == k.max) {
    std::snprintf(buf, sizeof buf, "is cut to %zu bytes", k.max);
  } else if (stop == '"') {
    return "ends at an escaped quote";
  } else {
    std::snprintf(buf, sizeof buf, "ends at \"%c\"", stop);
  }
  return buf;
}

// One "route.<key>" or "picker.<action>" member of the JSON.
void check_member(const Kind& k, const AppRecord& app, const JsonMember& m) {
  const ManifestSpan* s = span_naming(k, m);
  if (!s) {
    not_read(k, m);
    return;
  }
  Sv key = bytes(s->key_at, s->key_end);
  if (!s->used) {
    warn(key.empty() ? "%s: declares nothing (no name after the prefix)"
                     : "%s: declares no route (a route key holds no \".\")",
         m.key);
    return;
  }
  if (s->key_end >= g_head.size()) {
    warn("%s: cut off by the end of the %zu bytes read", m.key, g_head.size());
    return;
  }
  Sv raw = bytes(m.key_at + 1 + k.prefix.size(), m.key_end);
  char why[NOTE_SIZE];
  if (key != raw || raw.find('\\') != Sv::npos) {
    warn("%s: the %s %s; declares %s \"%.*s\"", m.key, k.part,
         key_reason(k, *s, raw, why), k.noun, text_len(key), key.data());
  }
  const char* chain = stored_chain(k, app, key);
  if (!chain) {
    warn("%s: dropped; %s", m.key, k.limit);
    return;
  }
  const char* r = value_reason(*s, m, true, why);
  if (sv(chain) != bytes(s->value_at, s->value_end)) {
    const ManifestSpan* last = last_span(k.field, key);
    const JsonMember* other = named(*last);
    char place[NOTE_SIZE];
    if (other) {
      std::snprintf(why, sizeof why, "set again by the later \"%.120s\"",
                    other->key);
    } else {
      std::snprintf(why, sizeof why, "set again by the \"%s\" inside %.200s",
                    k.prefix.data(), where(last->match, place));
    }
    r = why;
  }
  if (r) {
    warn("%s: %s; reads as \"%s\"", m.key, r, chain);
  }
}

// True when a member of kind k is where the reader took an entry for key.
bool declared_by_member(const Kind& k, Sv key) {
  for (int i = 0; i < g_spans.count; ++i) {
    const ManifestSpan& s = g_spans.at[i];
    const JsonMember* m = named(s);
    if (s.field == k.field && s.used && m && member(sv(m->key)) == m &&
        bytes(s.key_at, s.key_end) == key) {
      return true;
    }
  }
  return false;
}

// The members of kind k, then the entries the reader took from elsewhere.
void check_entries(const Kind& k, const AppRecord& app) {
  for (int i = 0; i < g_json.count; ++i) {
    const JsonMember& m = g_json.members[i];
    if (sv(m.key).starts_with(k.prefix) &&
        std::strlen(m.key) > k.prefix.size() && member(sv(m.key)) == &m) {
      check_member(k, app, m);
    }
  }
  for (int i = 0; i < g_spans.count; ++i) {
    const ManifestSpan& s = g_spans.at[i];
    Sv key = bytes(s.key_at, s.key_end);
    char place[NOTE_SIZE];
    // Once per entry stored, and only when no member above declares it.
    if (s.field == k.field && last_span(k.field, key) == &s &&
        stored_chain(k, app, key) && !declared_by_member(k, key)) {
      warn("%s%.*s: declared by the \"%s\" inside %s", k.prefix.data(),
           text_len(key), key.data(), k.prefix.data(), where(s.match, place));
    }
  }
}

// The program the launcher starts: the manifest's "exec" (relative to the
// app directory unless absolute), else the stored default.
void check_executable(const Target& t, const char* exe) {
  const ManifestSpan* s = last_span(Field::kValue, "exec");
  bool given = s && s->used && s->value_end > s->value_at;
  char path[PATH_SIZE];
  if (exe[0] == '\0' || (given && exe[0] == '/') ||
      format_path(path, sizeof path, "%s%s%s", given ? t.dir : "",
                  given ? "/" : "", exe) < 0) {
    return;  // not registered (said already), or a path on the device
  }
  const char* lead = given ? "" : "not given; ";
  struct stat st;
  if (stat(path, &st) != 0) {
    warn("exec: %s%s: %s", lead, path, std::strerror(errno));
  } else if (!S_ISREG(st.st_mode) || access(path, X_OK) != 0) {
    warn("exec: %s%s is not an executable file", lead, path);
  }
}

// Text for a terminal: control bytes as \xNN; in a quoted value a
// backslash doubled, so that none seems to escape the closing quote.
void put_text(Sv s, bool quoted = true) {
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
void put_json(Sv s) {
  std::putchar('"');
  for (std::size_t i = 0, n; i < s.size(); i += n ? n : 1) {
    auto u = static_cast<unsigned char>(s[i]);
    n = json_utf8_length(s, i);
    if (u == '"' || u == '\\') {
      std::printf("\\%c", u);
    } else if (u < 0x20 || u == 0x7F) {
      std::printf("\\u%04x", u);
    } else if (n == 0) {
      std::fputs("\\ufffd", stdout);
    } else {
      std::fwrite(s.data() + i, 1, n, stdout);
    }
  }
  std::putchar('"');
}

// A field, route or picker: in JSON "label":"value" or "key":"value" after
// sep, else a line of its own.
void put_item(bool json, const char* sep, const char* label, const char* key,
              const char* value) {
  if (json) {
    std::fputs(sep, stdout);
    put_json(sv(key ? key : label));
    std::putchar(':');
    put_json(sv(value));
    return;
  }
  std::printf("  %-7s \"", label);
  if (key) {
    put_text(sv(key));
    std::fputs("\" -> \"", stdout);
  }
  put_text(sv(value));
  int steps = chain_steps(value);
  if (label[0] == 'r') {
    std::printf("\" (%d step%s)\n", steps, steps == 1 ? "" : "s");
  } else {
    std::fputs("\"\n", stdout);
  }
}

void print_app(const char* arg, const AppRecord& app, bool json) {
  if (!json) {
    put_text(sv(arg), false);
    std::fputs(":\n", stdout);
  }
  put_item(json, "{", "pkg", nullptr, app.pkg);
  put_item(json, ",", "name", nullptr, app.name);
  put_item(json, ",", "exec", nullptr, app.exec);
  std::fputs(json ? ",\"routes\":{" : "", stdout);
  for (int i = 0; i < app.route_count; ++i) {
    const RouteEntry& r = app.routes[i];
    put_item(json, i ? "," : "", "route", r.key, r.chain);
  }
  std::fputs(json ? "},\"pickers\":{" : "", stdout);
  const char* sep = "";
  for (int i = 0; i < g_reg.picker_count; ++i) {
    const PickerEntry& p = g_reg.pickers[i];
    if (p.active && std::strcmp(p.handler, app.pkg) == 0) {
      put_item(json, sep, "picker", p.action, p.chain);
      sep = ",";
    }
  }
  std::fputs(json ? "},\"warnings\":[" : "", stdout);
  for (int i = 0; i < g_warn.count; ++i) {
    if (json) {
      std::fputs(i ? "," : "", stdout);
      put_json(sv(g_warn.lines[i]));
    } else {
      std::fputs("  warning: ", stdout);
      put_text(sv(g_warn.lines[i]), false);
      std::putchar('\n');
    }
  }
  std::fputs(json ? "]}\n" : "", stdout);
}

// One argument: its exit status.
int check_one(const char* arg, bool json) {
  static Target t;
  g_warn.count = 0;
  long size = locate(arg, t) == 0 ? read_manifest(t) : -1;
  if (size == -1) {
    return EXIT_USAGE;
  }
  std::memset(static_cast<void*>(&g_reg), 0, sizeof g_reg);  // an empty one
  g_spans.count = 0;
  if (t.name[0] == '.') {
    warn("pkg: a scan skips directories whose name begins with \".\"");
  }
  if (std::strlen(t.name) >= sizeof AppRecord::pkg) {
    warn("pkg: the directory name is cut to %zu bytes",
         sizeof AppRecord::pkg - 1);
  }
  if (!registry_scan_entry(g_reg, t.apps_dir, t.name, &g_spans)) {
    warn("pkg: a scan skips this directory (its path is too long)");
  }
  static char head[MANIFEST_TEXT_MAX + 1];
  g_head = Sv(head, manifest_load(t.manifest, head));
  static AppRecord none;
  const AppRecord& app = g_reg.app_count > 0 ? g_reg.apps[0] : none;
  if (size >= 0 && check_file(Sv(g_file, static_cast<std::size_t>(size)))) {
    char def_exec[PATH_SIZE + 8];  // the whole default, to show what is cut
    std::snprintf(def_exec, sizeof def_exec, "%s/quor", t.dir);
    // The scan cuts an entry's name to 95 bytes before it uses it.
    check_value("name", sv(app.name), slice(sv(t.name), 0, 95),
                sizeof app.name - 1);
    check_value("exec", sv(app.exec), sv(def_exec), sizeof app.exec - 1);
    check_entries(ROUTES, app);
    check_entries(PICKERS, app);
  }
  check_executable(t, app.exec);
  print_app(arg, app, json);
  return g_warn.count > 0 ? EXIT_WARNINGS : 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    CommonOption common = common_option(argv[i]);
    if (common == CommonOption::kEnd) {
      ++i;
      break;
    }
    if (common == CommonOption::kHelp) {
      std::fputs(HELP, stdout);
      return 0;
    }
    if (common == CommonOption::kVersion) {
      std::printf("quor_manifest %s\n", QUOR_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--json") != 0) {
      console_line(CONSOLE, "unknown option %s", argv[i]);
      std::fputs(USAGE, stderr);
      return EXIT_USAGE;
    }
    json = true;
  }
  if (i >= argc) {
    console_line(CONSOLE, "no app directory");
    std::fputs(USAGE, stderr);
    return EXIT_USAGE;
  }
  int status = 0;
  for (; i < argc; ++i) {
    int rc = check_one(argv[i], json);
    status = rc > status ? rc : status;
  }
  std::fflush(stdout);
  return status;
}
