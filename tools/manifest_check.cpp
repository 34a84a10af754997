#include "tools/manifest_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "amsd/base/text.h"

namespace {

using Sv = std::string_view;
using Field = ManifestField;
using Check = ManifestCheck;
using Note = char[400];  // a reason or a place; keys cut to 120 bytes

// "route.<key>" or "picker.<action>": part is what follows the prefix, noun
// what it declares.
struct Kind {
  Field field;
  Sv prefix;
  std::size_t max;
  const char *part, *noun, *limit;
};
constexpr Kind KINDS[] = {
  { Field::kRoute, "route.", ROUTE_KEY_MAX, "key", "route",
    "an app holds at most 8 routes" },
  { Field::kPicker, "picker.", PICKER_ACTION_MAX, "action", "action",
    "the picker table holds at most 8 actions" },
};

Sv bytes(const Check& c, std::size_t from, std::size_t to) {
  return to > from ? slice(c.head, from, to - from) : Sv();
}

// The member whose key the reader's match begins; nullptr for a match inside
// a key or a value.
const JsonMember* named(const Check& c, const ManifestSpan& s) {
  const JsonMember* m = json_member_at(c.json, s.match - 1);
  return m && m->key_at + 1 == s.match ? m : nullptr;
}

// The member a JSON reader takes for key: the last of that name.
const JsonMember* member(const Check& c, Sv key) {
  const JsonMember* found = nullptr;
  for (int i = 0; i < c.json.count; ++i) {
    found = key == c.json.members[i].key ? &c.json.members[i] : found;
  }
  return found;
}

// The last span of field for key; of an entry, only one that declares.
const ManifestSpan* last_span(const Check& c, Field field, Sv key) {
  const ManifestSpan* found = nullptr;
  for (int i = 0; i < c.spans.count; ++i) {
    const ManifestSpan& s = c.spans.at[i];
    bool hit = s.field == field && (s.used || field == Field::kValue) &&
               bytes(c, s.key_at, s.key_end) == key;
    found = hit ? &s : found;
  }
  return found;
}

// "the key "x"" or "the value of "x"": where offset lies.
const char* where(const Check& c, std::size_t offset, Note& out) {
  const JsonMember* m = json_member_at(c.json, offset);
  if (m) {
    std::snprintf(
        out, sizeof out,
        offset <= m->key_end ? "the key \"%.120s\"" : "the value of \"%.120s\"",
        m->key);
  }
  return m ? out : "the text";
}

// Why the reader's bytes [at, end) are not the JSON string [from, to) that
// its member holds; nullptr when they are. Where the reader stopped, against
// where the string does, tells why; max is the reader's limit.
const char* differs(const Check& c, const char* noun, std::size_t at,
                    std::size_t end, std::size_t from, std::size_t to,
                    std::size_t max, Note& buf) {
  std::size_t size = c.head.size();
  char stop = end < size ? c.head[end] : '\0';
  if (to >= size && end >= size) {
    std::snprintf(buf, sizeof buf, "the %s runs past the %zu bytes read", noun,
                  size);
  } else if (at != from) {
    return "the value is not on the key's line";
  } else if (end >= to && bytes(c, from, to).find('\\') == Sv::npos) {
    return nullptr;
  } else if (end >= to) {
    std::snprintf(buf, sizeof buf, "the %s holds escapes, not decoded", noun);
  } else if (end - at == max) {
    std::snprintf(buf, sizeof buf, "the %s is cut to %zu bytes", noun, max);
  } else if (stop == '"') {
    std::snprintf(buf, sizeof buf, "an escaped quote ends the %s", noun);
  } else if (is_blank(stop)) {
    return "trailing blanks dropped";
  } else {
    std::snprintf(buf, sizeof buf, "the %s ends at \"%c\"", noun, stop);
  }
  return buf;
}

// "name" or "exec": where the reader found it and what it took, against the
// member a JSON reader takes; then the stored field against what was read.
void check_value(const Check& c, const char* key, Sv stored, Sv fallback,
                 std::size_t max) {
  const ManifestSpan* s = last_span(c, Field::kValue, key);
  const JsonMember* m = member(c, key);
  const JsonMember* first = s ? named(c, *s) : nullptr;
  bool got = s && s->used && s->value_end > s->value_at;
  Note buf, place;
  const char* why = nullptr;
  if (s && !first && (m || got)) {
    std::snprintf(buf, sizeof buf, "\"%s\" first appears inside %.200s", key,
                  where(c, s->match, place));
    why = buf;
  } else if (s && first != m) {
    why = "given more than once, and the daemon takes the first";
  } else if (!s && m && m->key_end >= c.head.size()) {
    std::snprintf(buf, sizeof buf, "beyond the %zu bytes read", c.head.size());
    why = buf;
  } else if (!s && m) {
    why = "written with escapes; the daemon does not see it";
  } else if (m && !m->string) {
    why = "not a quoted string";
  } else if (m) {
    why = differs(c, "value", s->used ? s->value_at : 0,
                  s->used ? s->value_end : c.head.size(), m->value_at + 1,
                  m->value_end - 1, Sv::npos, buf);
  }
  if (why && got) {
    warn(c.w, "%s: %s; reads as \"%.*s\"", key, why, text_len(stored),
         stored.data());
  } else if (why) {
    warn(c.w, "%s: %s; reads as empty (the default applies)", key, why);
  }
  Sv read = got ? bytes(c, s->value_at, s->value_end) : fallback;
  max = got && max >= MANIFEST_VALUE_SIZE ? MANIFEST_VALUE_SIZE - 1 : max;
  if (stored.size() < read.size() && read.size() > max) {
    warn(c.w, "%s: cut to %zu bytes (at most %zu)", key, stored.size(), max);
  } else if (stored != read) {
    warn(c.w, "%s: the UTF-8 sequence at its end is incomplete and dropped",
         key);
  }
}

// The chain the registry stored for key; nullptr when there is none.
const char* stored_chain(const Check& c, const Kind& k, Sv key) {
  bool route = k.field == Field::kRoute;
  for (int i = 0; i < (route ? c.app.route_count : c.reg.picker_count); ++i) {
    if (key == (route ? c.app.routes[i].key : c.reg.pickers[i].action)) {
      return route ? c.app.routes[i].chain : c.reg.pickers[i].chain;
    }
  }
  return nullptr;
}

// One "route.<key>" or "picker.<action>" member of the JSON.
void check_member(const Check& c, const Kind& k, const JsonMember& m) {
  const ManifestSpan* s = nullptr;     // the first that names m
  const ManifestSpan* over = nullptr;  // one whose value took m's key in
  for (int i = c.spans.count - 1; i >= 0; --i) {
    const ManifestSpan& x = c.spans.at[i];
    bool took = x.match < m.key_at && x.value_end > m.key_at;
    s = x.field == k.field && named(c, x) == &m ? &x : s;
    over = x.field == k.field && took ? &x : over;
  }
  Sv key = s ? bytes(c, s->key_at, s->key_end) : Sv();
  Note why, place;
  if (!s && m.key_end >= c.head.size()) {
    warn(c.w, "%s: beyond the %zu bytes read", m.key, c.head.size());
  } else if (!s && over) {
    warn(c.w, "%s: not read; the \"%s\" inside %s before it took its value",
         m.key, k.prefix.data(), where(c, over->match, place));
  } else if (!s) {
    bool plain = bytes(c, m.key_at + 1, m.key_end).starts_with(k.prefix);
    warn(c.w, "%s: not read%s", m.key, plain ? "" : " (written with escapes)");
  } else if (!s->used) {
    warn(c.w,
         key.empty() ? "%s: declares nothing (no name after the prefix)"
                     : "%s: declares no route (a route key holds no \".\")",
         m.key);
  }
  if (!s || !s->used) {
    return;
  }
  const char* r =
      differs(c, k.part, s->key_at, s->key_end, m.key_at + 1 + k.prefix.size(),
              m.key_end, k.max, why);
  if (r) {
    warn(c.w, "%s: %s; declares %s \"%.*s\"", m.key, r, k.noun, text_len(key),
         key.data());
  }
  const char* chain = stored_chain(c, k, key);
  if (s->key_end >= c.head.size()) {
    return;  // said above
  } else if (!chain) {
    warn(c.w, "%s: dropped; %s", m.key, k.limit);
    return;
  }
  r = m.string ? differs(c, "chain", s->value_at, s->value_end, m.value_at + 1,
                         m.value_end - 1, ENTRY_VALUE_MAX, why)
               : "not a quoted string";
  if (Sv(chain) != bytes(c, s->value_at, s->value_end)) {
    const ManifestSpan* last = last_span(c, k.field, key);
    const JsonMember* other = named(c, *last);
    std::snprintf(why, sizeof why, "set again by the %s\"%.120s\"%s%.200s",
                  other ? "later " : "", other ? other->key : k.prefix.data(),
                  other ? "" : " inside ",
                  other ? "" : where(c, last->match, place));
    r = why;
  }
  if (r) {
    warn(c.w, "%s: %s; reads as \"%s\"", m.key, r, chain);
  }
}

// The members of kind k, then the entries the reader took from elsewhere.
void check_entries(const Check& c, const Kind& k) {
  for (int i = 0; i < c.json.count; ++i) {
    const JsonMember& m = c.json.members[i];
    if (Sv(m.key).starts_with(k.prefix) &&
        std::strlen(m.key) > k.prefix.size() && member(c, m.key) == &m) {
      check_member(c, k, m);
    }
  }
  for (int i = 0; i < c.spans.count; ++i) {
    const ManifestSpan& s = c.spans.at[i];
    Sv key = bytes(c, s.key_at, s.key_end);
    // Once per entry stored, unless a member checked above declares it.
    bool show = s.field == k.field && last_span(c, k.field, key) == &s &&
                stored_chain(c, k, key);
    for (int j = 0; j < c.spans.count && show; ++j) {
      const ManifestSpan& x = c.spans.at[j];
      const JsonMember* m = named(c, x);
      show = !(x.field == k.field && x.used && m && member(c, m->key) == m &&
               bytes(c, x.key_at, x.key_end) == key);
    }
    Note place;
    if (show) {
      warn(c.w, "%s%.*s: declared by the \"%s\" inside %s", k.prefix.data(),
           text_len(key), key.data(), k.prefix.data(),
           where(c, s.match, place));
    }
  }
}

// Whether the program the launcher would start is an executable file; an
// absolute "exec" is a path on the device.
void check_program(const Check& c, const char* dir_path) {
  const char* exe = c.app.exec;
  const ManifestSpan* s = last_span(c, Field::kValue, "exec");
  bool given = s && s->used && s->value_end > s->value_at;
  char path[1024];
  struct stat st;
  const char* lead = given ? "" : "not given; ";
  if (exe[0] == '\0' || (given && exe[0] == '/') ||
      format_path(path, sizeof path, "%s%s%s", given ? dir_path : "",
                  given ? "/" : "", exe) < 0) {
    return;  // not registered (said already), or a path on the device
  } else if (stat(path, &st) != 0) {
    warn(c.w, "exec: %s%s: %s", lead, path, std::strerror(errno));
  } else if (!S_ISREG(st.st_mode) || access(path, X_OK) != 0) {
    warn(c.w, "exec: %s%s is not an executable file", lead, path);
  }
}

}  // namespace

void manifest_check(const ManifestCheck& c, std::string_view file, bool there,
                    std::string_view dir_name, const char* dir_path) {
  bool too_big = file.size() > MANIFEST_FILE_MAX;
  std::size_t read = c.head.size();
  if (file.size() > MANIFEST_TEXT_MAX) {
    warn(c.w, "app.json: %s%zu bytes; the daemon reads only the first %d%s",
         too_big ? "over " : "", too_big ? MANIFEST_FILE_MAX : file.size(),
         MANIFEST_TEXT_MAX, too_big ? "; not checked as JSON" : "");
  }
  if (read < file.size() && read < MANIFEST_TEXT_MAX) {
    warn(c.w,
         "app.json: a zero byte at offset %zu; the daemon reads nothing "
         "after it",
         read);
  }
  json_index(file, c.json);
  if (there && !too_big && !c.json.utf8) {
    warn(c.w, "app.json: line %d: not UTF-8",
         json_line_at(file, c.json.bad_utf8_at));
  }
  if (there && !too_big && !c.json.valid) {
    warn(c.w, "app.json: line %d: not valid JSON (%s)",
         json_line_at(file, c.json.error_at), c.json.error);
  } else if (there && !too_big) {
    char def_exec[1040];  // the whole default, to show what is cut
    std::snprintf(def_exec, sizeof def_exec, "%s/quor", dir_path);
    if (c.json.cut) {
      warn(c.w, "app.json: over %d keys; the rest are not compared",
           JSON_MAX_MEMBERS);
    }
    check_value(c, "name", c.app.name, dir_name, sizeof c.app.name - 1);
    check_value(c, "exec", c.app.exec, def_exec, sizeof c.app.exec - 1);
    for (const Kind& k : KINDS) {
      check_entries(c, k);
    }
  }
  check_program(c, dir_path);
}
