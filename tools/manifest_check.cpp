#include "tools/manifest_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "amsd/base/text.h"

namespace {

using Sv = std::string_view;
using Field = ManifestField;
using Check = ManifestCheck;

constexpr int NOTE_SIZE = 320;  // a reason or a place; keys cut to 120 bytes

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

Sv bytes(const Check& c, std::size_t from, std::size_t to) {
  return to > from ? slice(c.head, from, to - from) : Sv();
}

// The member whose key the reader's match begins; nullptr for one inside a
// key or a value.
const JsonMember* named(const Check& c, const ManifestSpan& s) {
  for (int i = 0; i < c.json.count; ++i) {
    if (c.json.members[i].key_at + 1 == s.match) {
      return &c.json.members[i];
    }
  }
  return nullptr;
}

// The member a JSON reader takes for key: the last of that name.
const JsonMember* member(const Check& c, Sv key) {
  const JsonMember* found = nullptr;
  for (int i = 0; i < c.json.count; ++i) {
    found = key == c.json.members[i].key ? &c.json.members[i] : found;
  }
  return found;
}

// The last span of field for key, from index from on: of an entry, only one
// that declares something.
const ManifestSpan* last_span(const Check& c, Field field, Sv key,
                              int from = 0) {
  const ManifestSpan* found = nullptr;
  for (int i = from; i < c.spans.count; ++i) {
    const ManifestSpan& s = c.spans.at[i];
    bool hit = s.field == field && (s.used || field == Field::kValue) &&
               bytes(c, s.key_at, s.key_end) == key;
    found = hit ? &s : found;
  }
  return found;
}

// "the key "x"" or "the value of "x"": where offset lies.
const char* where(const Check& c, std::size_t offset, char (&out)[NOTE_SIZE]) {
  const JsonMember* m = json_member_at(c.json, offset);
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
const char* value_reason(const Check& c, const ManifestSpan& s,
                         const JsonMember& m, bool chain,
                         char (&buf)[NOTE_SIZE]) {
  std::size_t from = m.value_at + 1;
  std::size_t to = m.value_end - 1;
  const char* noun = chain ? "chain" : "value";
  char stop = s.value_end < c.head.size() ? c.head[s.value_end] : '\0';
  if (!m.string) {
    return "not a quoted string";
  }
  if (m.value_end > c.head.size() &&
      (!s.used || s.value_end == c.head.size())) {
    std::snprintf(buf, sizeof buf, "the %s runs past the %zu bytes read", noun,
                  c.head.size());
    return buf;
  }
  if (!s.used || s.value_at != from) {
    return "the value is not on the key's line";
  }
  if (s.value_end >= to) {
    bool escaped = bytes(c, from, to).find('\\') != Sv::npos;
    return escaped ? "escape sequences are not decoded" : nullptr;
  }
  // The reader stopped short: at its limit, a quote, a comma or blanks.
  if (chain && s.value_end - s.value_at == ENTRY_VALUE_MAX) {
    std::snprintf(buf, sizeof buf, "chain cut to %d bytes", ENTRY_VALUE_MAX);
  } else if (stop == '"') {
    std::snprintf(buf, sizeof buf, "an escaped quote ends the %s", noun);
  } else if (stop == ',') {
    std::snprintf(buf, sizeof buf, "the %s ends at \",\"", noun);
  } else {
    return "trailing blanks dropped";
  }
  return buf;
}

// "name" or "exec": where the reader found it and what it took, against the
// member a JSON reader takes; then the stored field against what was read.
void check_value(const Check& c, Sv key, Sv stored, Sv fallback,
                 std::size_t max) {
  const ManifestSpan* s = last_span(c, Field::kValue, key);
  const JsonMember* m = member(c, key);
  bool got = s && s->used && s->value_end > s->value_at;
  char buf[NOTE_SIZE];
  char place[NOTE_SIZE];
  const char* why = nullptr;
  if (s && !named(c, *s) && (m || got)) {
    std::snprintf(buf, sizeof buf, "\"%.*s\" first appears inside %.200s",
                  text_len(key), key.data(), where(c, s->match, place));
    why = buf;
  } else if (s && named(c, *s) != m) {
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
    warn(c.w, "%.*s: %s; reads as \"%.*s\"", text_len(key), key.data(), why,
         text_len(stored), stored.data());
  } else if (why) {
    warn(c.w, "%.*s: %s; reads as empty (the default applies)", text_len(key),
         key.data(), why);
  }
  Sv read = got ? bytes(c, s->value_at, s->value_end) : fallback;
  max = got && max >= MANIFEST_VALUE_SIZE ? MANIFEST_VALUE_SIZE - 1 : max;
  if (stored.size() < read.size() && read.size() > max) {
    warn(c.w, "%.*s: cut to %zu bytes (at most %zu)", text_len(key), key.data(),
         stored.size(), max);
  } else if (stored != read) {
    warn(c.w, "%.*s: the UTF-8 sequence at its end is incomplete and dropped",
         text_len(key), key.data());
  }
}

// The chain the registry stored for key; nullptr when there is none.
const char* stored_chain(const Check& c, const Kind& k, Sv key) {
  for (int i = 0; k.field == Field::kRoute && i < c.app.route_count; ++i) {
    if (key == c.app.routes[i].key) {
      return c.app.routes[i].chain;
    }
  }
  for (int i = 0; k.field == Field::kPicker && i < c.reg.picker_count; ++i) {
    const PickerEntry& p = c.reg.pickers[i];
    if (p.active && key == p.action && std::strcmp(p.handler, c.app.pkg) == 0) {
      return p.chain;
    }
  }
  return nullptr;
}

// The first span of kind k that names member m.
const ManifestSpan* span_naming(const Check& c, const Kind& k,
                                const JsonMember& m) {
  for (int i = 0; i < c.spans.count; ++i) {
    if (c.spans.at[i].field == k.field && named(c, c.spans.at[i]) == &m) {
      return &c.spans.at[i];
    }
  }
  return nullptr;
}

// Why no span names member m: it lies beyond what was read, its key is
// escaped, or an earlier entry's value took it in.
void not_read(const Check& c, const Kind& k, const JsonMember& m) {
  char place[NOTE_SIZE];
  if (m.key_end >= c.head.size()) {
    warn(c.w, "%s: beyond the %zu bytes read", m.key, c.head.size());
    return;
  }
  for (int i = 0; i < c.spans.count; ++i) {
    const ManifestSpan& s = c.spans.at[i];
    if (s.field == k.field && s.match < m.key_at && s.value_end > m.key_at) {
      warn(c.w, "%s: not read; the \"%.*s\" inside %s before it took its value",
           m.key, text_len(k.prefix), k.prefix.data(),
           where(c, s.match, place));
      return;
    }
  }
  warn(c.w, "%s: not read%s", m.key,
       bytes(c, m.key_at + 1, m.key_end).starts_with(k.prefix)
           ? ""
           : " (written with escapes)");
}

// Why the reader's key of s is not the member's raw key.
const char* key_reason(const Check& c, const Kind& k, const ManifestSpan& s,
                       Sv raw, char (&buf)[NOTE_SIZE]) {
  Sv key = bytes(c, s.key_at, s.key_end);
  char stop = c.head[s.key_end];
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
void check_member(const Check& c, const Kind& k, const JsonMember& m) {
  const ManifestSpan* s = span_naming(c, k, m);
  if (!s) {
    not_read(c, k, m);
    return;
  }
  Sv key = bytes(c, s->key_at, s->key_end);
  if (!s->used) {
    warn(c.w,
         key.empty() ? "%s: declares nothing (no name after the prefix)"
                     : "%s: declares no route (a route key holds no \".\")",
         m.key);
    return;
  }
  if (s->key_end >= c.head.size()) {
    warn(c.w, "%s: cut off by the end of the %zu bytes read", m.key,
         c.head.size());
    return;
  }
  Sv raw = bytes(c, m.key_at + 1 + k.prefix.size(), m.key_end);
  char why[NOTE_SIZE];
  if (key != raw || raw.find('\\') != Sv::npos) {
    warn(c.w, "%s: the %s %s; declares %s \"%.*s\"", m.key, k.part,
         key_reason(c, k, *s, raw, why), k.noun, text_len(key), key.data());
  }
  const char* chain = stored_chain(c, k, key);
  if (!chain) {
    warn(c.w, "%s: dropped; %s", m.key, k.limit);
    return;
  }
  const char* r = value_reason(c, *s, m, true, why);
  if (sv(chain) != bytes(c, s->value_at, s->value_end)) {
    const ManifestSpan* last = last_span(c, k.field, key);
    const JsonMember* other = named(c, *last);
    char place[NOTE_SIZE];
    if (other) {
      std::snprintf(why, sizeof why, "set again by the later \"%.120s\"",
                    other->key);
    } else {
      std::snprintf(why, sizeof why, "set again by the \"%s\" inside %.200s",
                    k.prefix.data(), where(c, last->match, place));
    }
    r = why;
  }
  if (r) {
    warn(c.w, "%s: %s; reads as \"%s\"", m.key, r, chain);
  }
}

// True when a member of kind k is where the reader took an entry for key.
bool declared_by_member(const Check& c, const Kind& k, Sv key) {
  for (int i = 0; i < c.spans.count; ++i) {
    const ManifestSpan& s = c.spans.at[i];
    const JsonMember* m = named(c, s);
    if (s.field == k.field && s.used && m && member(c, sv(m->key)) == m &&
        bytes(c, s.key_at, s.key_end) == key) {
      return true;
    }
  }
  return false;
}

// The members of kind k, then the entries the reader took from elsewhere.
void check_entries(const Check& c, const Kind& k) {
  for (int i = 0; i < c.json.count; ++i) {
    const JsonMember& m = c.json.members[i];
    if (sv(m.key).starts_with(k.prefix) &&
        std::strlen(m.key) > k.prefix.size() && member(c, sv(m.key)) == &m) {
      check_member(c, k, m);
    }
  }
  for (int i = 0; i < c.spans.count; ++i) {
    const ManifestSpan& s = c.spans.at[i];
    Sv key = bytes(c, s.key_at, s.key_end);
    char place[NOTE_SIZE];
    // Once per entry stored, and only when no member above declares it.
    if (s.field == k.field && last_span(c, k.field, key) == &s &&
        stored_chain(c, k, key) && !declared_by_member(c, k, key)) {
      warn(c.w, "%s%.*s: declared by the \"%s\" inside %s", k.prefix.data(),
           text_len(key), key.data(), k.prefix.data(),
           where(c, s.match, place));
    }
  }
}

}  // namespace

void warn(Warnings& w, const char* fmt, ...) {
  if (w.count == MAX_WARNINGS) {
    return;
  }
  char* line = w.lines[w.count++];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof w.lines[0], fmt, ap);
  va_end(ap);
  if (w.count == MAX_WARNINGS) {
    copy_text(line, sizeof w.lines[0], "more warnings not shown");
  }
}

void manifest_check(const ManifestCheck& c, std::string_view dir_name,
                    const char* dir_path) {
  char def_exec[1040];  // the whole default, to show what is cut
  std::snprintf(def_exec, sizeof def_exec, "%s/quor", dir_path);
  check_value(c, "name", sv(c.app.name), dir_name, sizeof c.app.name - 1);
  check_value(c, "exec", sv(c.app.exec), sv(def_exec), sizeof c.app.exec - 1);
  check_entries(c, ROUTES);
  check_entries(c, PICKERS);
}

void check_executable(const Check& c, const char* dir) {
  const char* exe = c.app.exec;
  const ManifestSpan* s = last_span(c, Field::kValue, "exec");
  bool given = s && s->used && s->value_end > s->value_at;
  char path[1024];
  if (exe[0] == '\0' || (given && exe[0] == '/') ||
      format_path(path, sizeof path, "%s%s%s", given ? dir : "",
                  given ? "/" : "", exe) < 0) {
    return;  // not registered (said already), or a path on the device
  }
  const char* lead = given ? "" : "not given; ";
  struct stat st;
  if (stat(path, &st) != 0) {
    warn(c.w, "exec: %s%s: %s", lead, path, std::strerror(errno));
  } else if (!S_ISREG(st.st_mode) || access(path, X_OK) != 0) {
    warn(c.w, "exec: %s%s is not an executable file", lead, path);
  }
}
