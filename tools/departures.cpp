#include "tools/departures.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "amsd/base/text.h"
#include "amsd/registry/manifest.h"
#include "tools/departures_detail.h"

void warn(Warnings& w, const char* fmt, ...) {
  if (w.count >= MAX_WARNINGS) {
    w.cut = true;
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(w.lines[w.count++], WARNING_SIZE, fmt, ap);
  va_end(ap);
}

void describe_offset(const DepartureContext& c, std::size_t offset,
                     char (&out)[NOTE_SIZE]) {
  const JsonString* s = json_string_at(c.j, offset);
  if (!s || s->member < 0) {
    copy_text(out, "the text");
    return;
  }
  const char* key = c.j.members[s->member].key;
  std::snprintf(out, sizeof out,
                s->role == JsonRole::kTopKey ? "the key \"%.120s\""
                                             : "the value of \"%.120s\"",
                key);
}

bool starts_top_key(const DepartureContext& c, std::size_t offset) {
  const JsonString* s = json_string_at(c.j, offset);
  return s && s->role == JsonRole::kTopKey && s->at + 1 == offset;
}

std::string_view raw_value(const DepartureContext& c, const JsonMember& m) {
  std::size_t from = m.value_at + 1;
  std::size_t end =
      m.value_end - 1 < c.in.head.size() ? m.value_end - 1 : c.in.head.size();
  return end > from ? slice(c.in.head, from, end - from) : std::string_view();
}

bool value_on_next_line(const DepartureContext& c, const JsonMember& m) {
  std::string_view gap =
      slice(c.in.head, m.colon_at + 1, m.value_at - m.colon_at - 1);
  return gap.find_first_of("\r\n") != std::string_view::npos;
}

namespace {

using Sv = std::string_view;
constexpr std::size_t NONE = Sv::npos;

Sv cstr(const char* s) {
  return Sv(s, std::strlen(s));
}

const JsonMember* last_member(const JsonCheck& j, const char* key) {
  const JsonMember* found = nullptr;
  for (int i = 0; i < j.member_count; ++i) {
    if (std::strcmp(j.members[i].key, key) == 0) {
      found = &j.members[i];
    }
  }
  return found;
}

// Why manifest_value's result for key differs from the JSON member.
void explain_value(const DepartureContext& c, const char* key,
                   const JsonMember* m, Sv got, char (&why)[NOTE_SIZE]) {
  Sv head = c.in.head;
  char pattern[64];
  std::snprintf(pattern, sizeof pattern, "\"%s\"", key);
  std::size_t p = head.find(pattern);
  if (p != NONE && (!m || p != m->key_at)) {
    const JsonString* s = json_string_at(c.j, p);
    if (s && s->role == JsonRole::kTopKey && s->at == p && m) {
      copy_text(why, "given more than once, and the daemon takes the first");
      return;
    }
    char where[NOTE_SIZE];
    describe_offset(c, p, where);
    std::snprintf(why, sizeof why, "%s first appears inside %.200s", pattern,
                  where);
    return;
  }
  if (!m || m->key_end >= head.size()) {
    std::snprintf(why, sizeof why, "beyond the %zu bytes read", head.size());
    return;
  }
  if (p == NONE) {
    copy_text(why, "written with escapes; the daemon does not see it");
    return;
  }
  Sv r = raw_value(c, *m);
  if (m->kind != JsonKind::kString) {
    copy_text(why, "not a quoted string");
  } else if (value_on_next_line(c, *m)) {
    copy_text(why, "the value is not on the key's line");
  } else if (r.find('"') != NONE) {
    copy_text(why, "an escaped quote ends the value");
  } else if (m->value_end > head.size()) {
    std::snprintf(why, sizeof why, "the value runs past the %zu bytes read",
                  head.size());
  } else if (got.size() < r.size() && r.starts_with(got) &&
             r.size() >= MANIFEST_VALUE_SIZE) {
    std::snprintf(why, sizeof why, "cut to %zu bytes (at most %d)", got.size(),
                  MANIFEST_VALUE_SIZE - 1);
  } else if (got.size() < r.size() && r.starts_with(got)) {
    copy_text(why, "the UTF-8 sequence at its end is incomplete and dropped");
  } else if (r.find('\\') != NONE) {
    copy_text(why, "escape sequences are not decoded");
  } else {
    std::snprintf(why, sizeof why, "not \"%.200s\"", m->value);
  }
}

// "name" or "exec": manifest_value's result against the JSON, then the
// stored field against that result (or the default it stands in for).
void check_field(const DepartureContext& c, const char* key, Sv stored,
                 Sv fallback) {
  char value[MANIFEST_VALUE_SIZE];
  manifest_value(c.in.head, key, value);
  Sv got = cstr(value);
  const JsonMember* m = last_member(c.j, key);
  bool same = m ? m->kind == JsonKind::kString &&
                      m->value_len == std::strlen(m->value) && got == m->value
                : got.empty();
  if (!same) {
    char why[NOTE_SIZE];
    explain_value(c, key, m, got, why);
    if (got.empty()) {
      warn(c.w, "%s: %s; reads as empty (the default applies)", key, why);
    } else {
      warn(c.w, "%s: %s; reads as \"%s\"", key, why, value);
    }
  }
  Sv base = got.empty() ? fallback : got;
  if (stored == base) {
    return;
  }
  if (std::strcmp(key, "name") == 0) {
    warn(c.w, "name: cut to %zu bytes (at most %zu)", stored.size(),
         sizeof AppRecord::name - 1);
  } else {
    warn(c.w, "exec: %.*s does not fit in %zu bytes; stored as \"%.*s\"",
         text_len(base), base.data(), sizeof AppRecord::exec - 1,
         text_len(stored), stored.data());
  }
}

// The executable as the launcher finds it: the manifest's "exec" (relative
// to the app directory unless absolute), else the stored default.
void check_executable(const DepartureInput& in, Warnings& w) {
  char value[MANIFEST_VALUE_SIZE];
  manifest_value(in.head, "exec", value);
  char path[1024];
  const char* lead = "";
  if (value[0] == '/') {
    return;  // a path on the device, not here
  }
  if (value[0] == '\0' && in.app->exec[0] == '\0') {
    return;  // not registered at all, said already
  }
  if (value[0] == '\0') {
    copy_text(path, in.app->exec);
    lead = "not given; ";
  } else if (format_path(path, sizeof path, "%.*s/%s", text_len(in.dir_path),
                         in.dir_path.data(), value) < 0) {
    return;
  }
  struct stat st;
  if (stat(path, &st) != 0) {
    warn(w, "exec: %s%s: %s", lead, path, std::strerror(errno));
  } else if (!S_ISREG(st.st_mode) || access(path, X_OK) != 0) {
    warn(w, "exec: %s%s is not an executable file", lead, path);
  }
}

}  // namespace

void departures_check(const DepartureInput& in, Warnings& w) {
  if (in.json) {
    DepartureContext c{ in, *in.json, w };
    char def_exec[1040];  // the whole default, to show what did not fit
    format_path(def_exec, sizeof def_exec, "%.*s/quor", text_len(in.dir_path),
                in.dir_path.data());
    check_field(c, "name", cstr(in.app->name), in.dir_name);
    check_field(c, "exec", cstr(in.app->exec), cstr(def_exec));

    entry_departures(c);
  }
  check_executable(in, w);
}
