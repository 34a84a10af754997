// quor_manifest: prints what a registry scan of quor_amsd stores for an app
// directory, read by the registry's own code, and warns wherever that
// reading departs from the JSON of the same "app.json". The reader notes the
// bytes it took each value from; a value taken from anywhere but the JSON
// member it names, or a member it did not see, is a warning, and the spans
// say why.
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
constexpr std::size_t NONE = Sv::npos;

constexpr int EXIT_CLEAN = 0;
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
    "\"name\",\n"
    "\"exec\", \"routes\", \"pickers\" and \"warnings\".\n"
    "\n"
    "Exit status: 0 no warning, 1 a warning, 2 a usage error or an argument\n"
    "that cannot be read.\n";

Sv sv(const char* s) {
  return Sv(s, std::strlen(s));
}

// One argument, named as a registry scan of its parent would name it.
struct Target {
  char apps_dir[PATH_SIZE];
  char name[PATH_SIZE];
  char dir[PATH_SIZE];  // apps_dir/name
  char manifest[PATH_SIZE];
};

struct Warnings {
  int count;
  bool cut;  // more than the table holds
  char lines[MAX_WARNINGS][512];
};

Registry g_reg;  // one app at a time
constinit Warnings g_warn;
constinit JsonIndex g_json;
constinit ManifestSpans g_spans;
char g_file[FILE_MAX + 2];  // the whole manifest, and a byte to tell more

[[gnu::format(printf, 1, 2)]] void warn(const char* fmt, ...) {
  if (g_warn.count >= MAX_WARNINGS) {
    g_warn.cut = true;
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(g_warn.lines[g_warn.count++], sizeof g_warn.lines[0], fmt, ap);
  va_end(ap);
}

int cannot_read(const char* what, const char* why) {
  console_line(CONSOLE, "%s: %s", what, why);
  return -1;
}

// The app directory of an argument (itself, or the one holding its
// app.json), split into its parent and its name; "." and ".." resolved.
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
    path = slash == NONE ? "." : slash == 0 ? "/" : slice(path, 0, slash);
  }
  while (path.size() > 1 && path.back() == '/') {
    path.remove_suffix(1);
  }
  char real[PATH_MAX];
  slash = path.rfind('/');
  Sv base = slice(path, slash + 1);
  if (base.empty() || base == "." || base == "..") {
    // The name the card would show.
    if (copy_text(t.dir, path)) {
      return cannot_read(arg, "path too long");
    }
    if (!realpath(t.dir, real)) {
      return cannot_read(arg, std::strerror(errno));
    }
    path = sv(real);
    slash = path.rfind('/');
    base = slice(path, slash + 1);
  }
  Sv parent = slash == NONE ? "." : slash == 0 ? "/" : slice(path, 0, slash);
  if (base.empty()) {
    return cannot_read(arg, "not an app directory");
  }
  if (copy_text(t.name, base) || copy_text(t.apps_dir, parent) ||
      format_path(t.dir, sizeof t.dir, "%s%s%s", t.apps_dir,
                  parent == "/" ? "" : "/", t.name) < 0 ||
      format_path(t.manifest, sizeof t.manifest, "%s/app.json", t.dir) < 0) {
    return cannot_read(arg, "path too long");
  }
  return 0;
}

constexpr long NO_MANIFEST = -2;

// Reads the whole manifest into g_file, a byte more than FILE_MAX at most.
// Returns its length, NO_MANIFEST when there is none (missing, or no regular
// file), or -1 when it cannot be read.
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
bool check_file(Sv file, Sv head) {
  bool too_big = file.size() > FILE_MAX;
  if (file.size() > MANIFEST_TEXT_MAX) {
    warn("app.json: %s%zu bytes; the daemon reads only the first %d",
         too_big ? "over " : "", too_big ? FILE_MAX : file.size(),
         MANIFEST_TEXT_MAX);
  }
  if (head.size() < file.size() && head.size() < MANIFEST_TEXT_MAX) {
    warn(
        "app.json: a zero byte at offset %zu; the daemon reads nothing after "
        "it",
        head.size());
  }
  if (too_big) {
    warn("app.json: not checked as JSON (over %zu bytes)", FILE_MAX);
    return false;
  }
  json_index(file, g_json);
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

// The reader's spans beside the JSON members, over the bytes it read.
struct Check {
  Sv head;
  const AppRecord& app;
};

// What a "route." or "picker." entry is called, and how far it reaches.
struct EntryKind {
  ManifestField field;
  Sv prefix;
  std::size_t key_max;
  int limit;         // entries the table holds
  const char* part;  // what follows the prefix
  const char* noun;  // what it declares
  const char* full;  // why a new one is dropped
};
constexpr EntryKind ROUTES = { ManifestField::kRoute,
                               "route.",
                               ROUTE_KEY_MAX,
                               MAX_ROUTES,
                               "key",
                               "route",
                               "an app holds at most 8 routes" };
constexpr EntryKind PICKERS = { ManifestField::kPicker,
                                "picker.",
                                PICKER_ACTION_MAX,
                                MAX_PICKERS,
                                "action",
                                "action",
                                "the picker table holds at most 8 actions" };

Sv bytes(const Check& c, std::size_t from, std::size_t to) {
  return to > from ? slice(c.head, from, to - from) : Sv();
}

// Where a match of the reader begins: the quote of "name", the "r" of
// "route.".
std::size_t match_at(const ManifestSpan& s) {
  return s.field == ManifestField::kValue   ? s.key_at
         : s.field == ManifestField::kRoute ? s.key_at - ROUTES.prefix.size()
                                            : s.key_at - PICKERS.prefix.size();
}

// The member whose key the reader's match begins; nullptr for a match
// inside a key or a value.
const JsonMember* named(const ManifestSpan& s) {
  std::size_t at = match_at(s);
  for (int i = 0; i < g_json.count; ++i) {
    const JsonMember& m = g_json.members[i];
    if (m.key_at + (s.field == ManifestField::kValue ? 0 : 1) == at) {
      return &m;
    }
  }
  return nullptr;
}

// Of members that share a key, a JSON reader keeps the last.
bool kept(const JsonMember& m) {
  for (const JsonMember* n = &m + 1; n < g_json.members + g_json.count; ++n) {
    if (std::strcmp(n->key, m.key) == 0) {
      return false;
    }
  }
  return true;
}

// "the key "x"" or "the value of "x"": the member that holds offset.
void describe(std::size_t offset, char (&out)[NOTE_SIZE]) {
  const JsonMember* m = json_member_at(g_json, offset);
  if (!m) {
    copy_text(out, "the text");
    return;
  }
  std::snprintf(
      out, sizeof out,
      offset <= m->key_end ? "the key \"%.120s\"" : "the value of \"%.120s\"",
      m->key);
}

// Why the value the reader took (s) is not member m's JSON string; nullptr
// when it is.
const char* value_reason(const Check& c, const ManifestSpan& s,
                         const JsonMember& m, bool chain,
                         char (&buf)[NOTE_SIZE]) {
  std::size_t from = m.value_at + 1;
  std::size_t to = m.value_end - 1;
  const char* noun = chain ? "chain" : "value";
  if (!m.string) {
    return "not a quoted string";
  }
  if (m.value_end > c.head.size() &&
      (!s.used || s.value_end >= c.head.size())) {
    std::snprintf(buf, sizeof buf, "the %s runs past the %zu bytes read", noun,
                  c.head.size());
    return buf;
  }
  if (!s.used || s.value_at != from) {
    return "the value is not on the key's line";
  }
  if (s.value_end < to) {
    char stop = c.head[s.value_end];
    if (chain && s.value_end - s.value_at == ENTRY_VALUE_MAX) {
      std::snprintf(buf, sizeof buf, "chain cut to %d bytes", ENTRY_VALUE_MAX);
      return buf;
    }
    std::snprintf(buf, sizeof buf,
                  stop == '"'   ? "an escaped quote ends the %s"
                  : stop == ',' ? "the %s ends at \",\""
                                : "trailing blanks dropped",
                  noun);
    return buf;
  }
  bool escaped = bytes(c, from, to).find('\\') != NONE;
  return escaped ? "escape sequences are not decoded" : nullptr;
}

// "name" or "exec": where the reader found it and what it took, against the
// member a JSON reader keeps; then the stored field against what was read.
void check_value(const Check& c, const char* key, Sv stored, Sv fallback,
                 std::size_t limit) {
  const ManifestSpan* s = nullptr;
  for (int i = 0; i < g_spans.count && !s; ++i) {
    const ManifestSpan& x = g_spans.at[i];
    if (x.field == ManifestField::kValue &&
        bytes(c, x.key_at + 1, x.key_end - 1) == key) {
      s = &x;
    }
  }
  const JsonMember* m = nullptr;
  for (int i = 0; i < g_json.count; ++i) {
    m = std::strcmp(g_json.members[i].key, key) == 0 ? &g_json.members[i] : m;
  }
  bool got = s && s->used && s->value_end > s->value_at;
  const JsonMember* at = s ? named(*s) : nullptr;
  char buf[NOTE_SIZE];
  char where[NOTE_SIZE];
  const char* why = nullptr;
  if (s && !at && (m || got)) {
    describe(s->key_at, where);
    std::snprintf(buf, sizeof buf, "\"%s\" first appears inside %.200s", key,
                  where);
    why = buf;
  } else if (s && at != m) {
    why = "given more than once, and the daemon takes the first";
  } else if (!s && m && m->key_end >= c.head.size()) {
    std::snprintf(buf, sizeof buf, "beyond the %zu bytes read", c.head.size());
    why = buf;
  } else if (!s && m) {
    why = "written with escapes; the daemon does not see it";
  } else if (m) {
    why = value_reason(c, *s, *m, false, buf);
  }
  if (why && got) {
    warn("%s: %s; reads as \"%.*s\"", key, why, text_len(stored),
         stored.data());
  } else if (why) {
    warn("%s: %s; reads as empty (the default applies)", key, why);
  }
  Sv read = got ? bytes(c, s->value_at, s->value_end) : fallback;
  limit =
      got && limit > MANIFEST_VALUE_SIZE - 1 ? MANIFEST_VALUE_SIZE - 1 : limit;
  if (stored.size() < read.size() && read.size() > limit) {
    warn("%s: cut to %zu bytes (at most %zu)", key, stored.size(), limit);
  } else if (stored != read) {
    warn("%s: the UTF-8 sequence at its end is incomplete and dropped", key);
  }
}

// One entry as the registry stored it.
struct Stored {
  Sv key;
  Sv chain;
  bool explained;  // a member of the JSON accounts for it
};

Stored* find_stored(Stored* st, int n, Sv key) {
  for (int i = 0; i < n; ++i) {
    if (st[i].key == key) {
      return &st[i];
    }
  }
  return nullptr;
}

// The last used span of kind k for key after index from; nullptr if none.
const ManifestSpan* last_for(const Check& c, const EntryKind& k, Sv key,
                             int from) {
  const ManifestSpan* found = nullptr;
  for (int i = from; i < g_spans.count; ++i) {
    const ManifestSpan& s = g_spans.at[i];
    if (s.field == k.field && s.used && bytes(c, s.key_at, s.key_end) == key) {
      found = &s;
    }
  }
  return found;
}

// Why the reader's key (ending at key_end) is not the member's raw key.
void key_reason(const Check& c, const EntryKind& k, Sv key, Sv raw,
                std::size_t key_end, char (&why)[NOTE_SIZE]) {
  if (key == raw) {
    copy_text(why, "holds escape sequences, not decoded");
  } else if (key.size() == k.key_max) {
    std::snprintf(why, sizeof why, "is cut to %zu bytes", k.key_max);
  } else if (c.head[key_end] == '"') {
    copy_text(why, "ends at an escaped quote");
  } else {
    std::snprintf(why, sizeof why, "ends at \"%c\"", c.head[key_end]);
  }
}

// Why no span names member m: it lies beyond what was read, its key is
// escaped, or an earlier entry's value took it in.
void not_read(const Check& c, const EntryKind& k, const JsonMember& m) {
  Sv raw = bytes(c, m.key_at + 1, m.key_end);
  char where[NOTE_SIZE];
  if (m.key_end >= c.head.size()) {
    warn(m.key_at >= c.head.size() ? "%s: beyond the %zu bytes read"
                                   : "%s: cut off by the end of the %zu bytes "
                                     "read",
         m.key, c.head.size());
    return;
  }
  if (!raw.starts_with(k.prefix)) {
    warn("%s: written with escapes; the daemon sees no \"%.*s\"", m.key,
         text_len(k.prefix), k.prefix.data());
    return;
  }
  for (int i = 0; i < g_spans.count; ++i) {
    const ManifestSpan& s = g_spans.at[i];
    if (s.field == k.field && match_at(s) < m.key_at &&
        s.value_end > m.key_at) {
      describe(match_at(s), where);
      warn("%s: not read; the \"%.*s\" inside %s before it took its value",
           m.key, text_len(k.prefix), k.prefix.data(), where);
      return;
    }
  }
  warn("%s: not read", m.key);
}

// One "route.<key>" or "picker.<action>" member of the JSON.
void check_member(const Check& c, const EntryKind& k, const JsonMember& m,
                  Stored* st, int n) {
  int i = 0;
  while (i < g_spans.count &&
         (g_spans.at[i].field != k.field || named(g_spans.at[i]) != &m)) {
    ++i;
  }
  if (i == g_spans.count) {
    not_read(c, k, m);
    return;
  }
  const ManifestSpan& s = g_spans.at[i];
  Sv key = bytes(c, s.key_at, s.key_end);
  Stored* e = find_stored(st, n, key);
  if (s.used && e) {
    e->explained = true;
  }
  if (!s.used) {
    warn(key.empty() ? "%s: declares nothing (the name after \"%.*s\" is "
                       "empty)"
                     : "%s: declares no route (a route key holds no \".\")",
         m.key, text_len(k.prefix), k.prefix.data());
    return;
  }
  if (s.key_end >= c.head.size()) {
    warn("%s: cut off by the end of the %zu bytes read", m.key, c.head.size());
    return;
  }
  Sv raw = bytes(c, m.key_at + 1 + k.prefix.size(), m.key_end);
  char why[NOTE_SIZE];
  if (key != raw || raw.find('\\') != NONE) {
    key_reason(c, k, key, raw, s.key_end, why);
    warn("%s: the %s %s; declares %s \"%.*s\"", m.key, k.part, why, k.noun,
         text_len(key), key.data());
  }
  if (!e) {
    warn("%s: dropped; %s", m.key, k.full);
    return;
  }
  char buf[NOTE_SIZE];
  const ManifestSpan* later = last_for(c, k, key, i + 1);
  if (later && e->chain != bytes(c, s.value_at, s.value_end)) {
    if (const JsonMember* other = named(*later)) {
      std::snprintf(why, sizeof why, "the later \"%.120s\"", other->key);
    } else {
      char where[NOTE_SIZE];
      describe(match_at(*later), where);
      std::snprintf(why, sizeof why, "the \"%.*s\" inside %.200s",
                    text_len(k.prefix), k.prefix.data(), where);
    }
    warn("%s: set again by %s; reads as \"%.*s\"", m.key, why,
         text_len(e->chain), e->chain.data());
  } else if (const char* r = value_reason(c, s, m, true, buf)) {
    warn("%s: %s; reads as \"%.*s\"", m.key, r, text_len(e->chain),
         e->chain.data());
  }
}

// The members of kind k, then the entries the reader took from elsewhere.
void check_entries(const Check& c, const Registry& reg, const EntryKind& k) {
  Stored st[MAX_ROUTES > MAX_PICKERS ? MAX_ROUTES : MAX_PICKERS];
  int n = 0;
  for (int i = 0; k.field == ManifestField::kRoute && i < c.app.route_count;
       ++i) {
    st[n++] = { sv(c.app.routes[i].key), sv(c.app.routes[i].chain), false };
  }
  for (int i = 0; k.field == ManifestField::kPicker && i < reg.picker_count;
       ++i) {
    const PickerEntry& p = reg.pickers[i];
    if (p.active && std::strcmp(p.handler, c.app.pkg) == 0) {
      st[n++] = { sv(p.action), sv(p.chain), false };
    }
  }
  for (int i = 0; i < g_json.count; ++i) {
    const JsonMember& m = g_json.members[i];
    if (sv(m.key).starts_with(k.prefix) &&
        std::strlen(m.key) > k.prefix.size() && kept(m)) {
      check_member(c, k, m, st, n);
    }
  }
  for (int i = 0; i < n; ++i) {
    const ManifestSpan* s = last_for(c, k, st[i].key, 0);
    if (st[i].explained || !s) {
      continue;
    }
    char where[NOTE_SIZE];
    describe(match_at(*s), where);
    warn("%.*s%.*s: declared by the \"%.*s\" inside %s", text_len(k.prefix),
         k.prefix.data(), text_len(st[i].key), st[i].key.data(),
         text_len(k.prefix), k.prefix.data(), where);
  }
}

// The program the launcher starts: the manifest's "exec" (relative to the
// app directory unless absolute), else the stored default.
void check_executable(const Check& c, const Target& t) {
  const char* exe = c.app.exec;
  bool given = false;
  for (int i = 0; i < g_spans.count; ++i) {
    const ManifestSpan& s = g_spans.at[i];
    given = given || (s.field == ManifestField::kValue &&
                      bytes(c, s.key_at, s.key_end) == "\"exec\"" && s.used &&
                      s.value_end > s.value_at);
  }
  if (exe[0] == '\0' || (given && exe[0] == '/')) {
    return;  // not registered (said already), or a path on the device
  }
  char path[PATH_SIZE];
  if (!given) {
    copy_text(path, exe);
  } else if (format_path(path, sizeof path, "%s/%s", t.dir, exe) < 0) {
    return;
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
  for (char ch : s) {
    auto u = static_cast<unsigned char>(ch);
    if (ch == '\\' && quoted) {
      std::fputs("\\\\", stdout);
    } else if (u < 0x20 || u == 0x7F) {
      std::printf("\\x%02x", u);
    } else {
      std::putchar(ch);
    }
  }
}

// A JSON string; bytes that are not UTF-8 become U+FFFD.
void put_json(Sv s) {
  std::putchar('"');
  for (std::size_t i = 0, n; i < s.size(); i += n) {
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
    n = n ? n : 1;
  }
  std::putchar('"');
}

// One route or picker: "key":"chain" in JSON, else a line of its own.
void put_entry(const char* label, const char* key, const char* chain,
               bool first, bool json) {
  if (json) {
    std::fputs(first ? "" : ",", stdout);
    put_json(sv(key));
    std::putchar(':');
    put_json(sv(chain));
    return;
  }
  std::printf("  %-7s \"", label);
  put_text(sv(key));
  std::fputs("\" -> \"", stdout);
  put_text(sv(chain));
  int steps = chain_steps(chain);
  if (label[0] == 'r') {
    std::printf("\" (%d step%s)\n", steps, steps == 1 ? "" : "s");
  } else {
    std::fputs("\"\n", stdout);
  }
}

// One of the fields: "pkg":"..." in JSON, else a line of its own.
void put_field(const char* label, const char* value, bool json) {
  if (json) {
    std::printf("%s\"%s\":", label[0] == 'p' ? "{" : ",", label);
    put_json(sv(value));
    return;
  }
  std::printf("  %-7s \"", label);
  put_text(sv(value));
  std::fputs("\"\n", stdout);
}

void print_app(const char* arg, const AppRecord& app, bool json) {
  if (!json) {
    put_text(sv(arg), false);
    std::fputs(":\n", stdout);
  }
  put_field("pkg", app.pkg, json);
  put_field("name", app.name, json);
  put_field("exec", app.exec, json);
  std::fputs(json ? ",\"routes\":{" : "", stdout);
  for (int i = 0; i < app.route_count; ++i) {
    put_entry("route", app.routes[i].key, app.routes[i].chain, i == 0, json);
  }
  std::fputs(json ? "},\"pickers\":{" : "", stdout);
  bool first = true;
  for (int i = 0; i < g_reg.picker_count; ++i) {
    const PickerEntry& p = g_reg.pickers[i];
    if (p.active && std::strcmp(p.handler, app.pkg) == 0) {
      put_entry("picker", p.action, p.chain, first, json);
      first = false;
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
  std::memset(&g_warn, 0, sizeof g_warn);
  long size = locate(arg, t) == 0 ? read_manifest(t) : -1;
  if (size == -1) {
    return EXIT_USAGE;
  }
  // A zeroed registry is an empty one.
  std::memset(static_cast<void*>(&g_reg), 0, sizeof g_reg);
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
  Sv text(head, manifest_load(t.manifest, head));
  static AppRecord none;
  const AppRecord& app = g_reg.app_count > 0 ? g_reg.apps[0] : none;
  Check c{ text, app };
  if (size >= 0 &&
      check_file(Sv(g_file, static_cast<std::size_t>(size)), text)) {
    char def_exec[PATH_SIZE + 8];  // the whole default, to show what is cut
    std::snprintf(def_exec, sizeof def_exec, "%s/quor", t.dir);
    // The scan cuts an entry's name to 95 bytes before it uses it.
    check_value(c, "name", sv(app.name), slice(sv(t.name), 0, 95),
                sizeof app.name - 1);
    check_value(c, "exec", sv(app.exec), sv(def_exec), sizeof app.exec - 1);
    check_entries(c, g_reg, ROUTES);
    check_entries(c, g_reg, PICKERS);
  }
  check_executable(c, t);
  if (g_warn.cut) {
    warn("more warnings not shown");
  }
  print_app(arg, app, json);
  return g_warn.count > 0 ? EXIT_WARNINGS : EXIT_CLEAN;
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
      return EXIT_CLEAN;
    }
    if (common == CommonOption::kVersion) {
      std::printf("quor_manifest %s\n", QUOR_VERSION);
      return EXIT_CLEAN;
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
  int status = EXIT_CLEAN;
  for (; i < argc; ++i) {
    int rc = check_one(argv[i], json);
    status = rc > status ? rc : status;
  }
  std::fflush(stdout);
  return status;
}
