#include <cstdio>
#include <cstring>

#include "amsd/base/text.h"
#include "amsd/registry/manifest.h"
#include "tools/departures_detail.h"

namespace {

using Sv = std::string_view;
constexpr std::size_t NONE = Sv::npos;
constexpr int CHAIN_MAX = ENTRY_VALUE_MAX;

Sv cstr(const char* s) {
  return Sv(s, std::strlen(s));
}

struct KeyRead {
  Sv key;
  char stop;  // the byte it stopped at; 0 at the end of the text
  bool cut;   // stopped by the length limit
};

// The key the reader takes from the text after a "route." or "picker."
// match. Used to tell which entry came from which match; what the app gets
// is always the reader's own result.
KeyRead key_after(Sv after, std::size_t key_max) {
  std::size_t n = after.find_first_of("\":=.");
  if (n == NONE) {
    n = after.size();
  }
  std::size_t c = n < key_max ? n : key_max;
  return { slice(after, 0, c), c < after.size() ? after[c] : '\0',
           n > key_max };
}

struct EntryKind {
  Sv prefix;  // "route." or "picker."
  std::size_t key_max;
  int limit;          // entries the table holds
  bool trims;         // trailing blanks are dropped (routes)
  bool dot_declares;  // "picker.a.b" declares a
  const char* part;   // what follows the prefix: "key" or "action"
  const char* noun;   // what it declares: "route" or "action"
  const char* full;   // why a new one is dropped
};

const EntryKind ROUTES = {
  .prefix = "route.",
  .key_max = ROUTE_KEY_MAX,
  .limit = MAX_ROUTES,
  .trims = true,
  .dot_declares = false,
  .part = "key",
  .noun = "route",
  .full = "an app holds at most 8 routes",
};
const EntryKind PICKERS = {
  .prefix = "picker.",
  .key_max = PICKER_ACTION_MAX,
  .limit = MAX_PICKERS,
  .trims = false,
  .dot_declares = true,
  .part = "action",
  .noun = "action",
  .full = "the picker table holds at most 8 actions",
};

// One entry as the reader stored it.
struct Entry {
  Sv key;
  Sv chain;
  bool explained;
};

// Of members that share a key, a JSON reader keeps the last.
bool is_last_of_its_key(const DepartureContext& c, int i) {
  for (int k = i + 1; k < c.j.member_count; ++k) {
    if (std::strcmp(c.j.members[k].key, c.j.members[i].key) == 0) {
      return false;
    }
  }
  return true;
}

// Why the reader's chain differs from the JSON string: what it predicts from
// the raw bytes, and whether that prediction is what the reader stored.
bool explain_chain(const DepartureContext& c, const EntryKind& kind,
                   const JsonMember& m, Sv stored, char (&why)[96]) {
  if (value_on_next_line(c, m)) {
    copy_text(why, "the value is not on the key's line");
    return stored.empty();
  }
  Sv r = raw_value(c, m);
  std::size_t q = r.find('"');  // inside the quotes: an escaped one
  std::size_t comma = r.find(',');
  std::size_t stop = q < comma ? q : comma;
  if (stop > r.size()) {
    stop = r.size();
  }
  why[0] = '\0';
  if (stop > CHAIN_MAX) {
    stop = CHAIN_MAX;
    std::snprintf(why, sizeof why, "chain cut to %d bytes", CHAIN_MAX);
  } else if (stop == q && q != NONE) {
    copy_text(why, "an escaped quote ends the chain");
  } else if (stop == comma && comma != NONE) {
    copy_text(why, "the chain ends at \",\"");
  } else if (m.value_end > c.in.head.size()) {
    std::snprintf(why, sizeof why, "the chain runs past the %zu bytes read",
                  c.in.head.size());
  }
  Sv pred = slice(r, 0, stop);
  if (kind.trims) {
    std::size_t n = pred.size();
    while (n > 0 && is_blank(pred[n - 1])) {
      --n;
    }
    if (n < pred.size() && why[0] == '\0') {
      copy_text(why, "trailing blanks dropped");
    }
    pred = slice(pred, 0, n);
  }
  if (why[0] == '\0' && pred.find('\\') != NONE) {
    copy_text(why, "escape sequences are not decoded");
  }
  return why[0] != '\0' && pred == stored;
}

// The last match after offset that sets key again, described; false if none.
bool set_again(const DepartureContext& c, const EntryKind& kind,
               std::size_t after, Sv key, char (&out)[NOTE_SIZE]) {
  bool found = false;
  Sv head = c.in.head;
  for (std::size_t p = head.find(kind.prefix, after); p != NONE;
       p = head.find(kind.prefix, p + 1)) {
    KeyRead k = key_after(slice(head, p + kind.prefix.size()), kind.key_max);
    if (k.key != key || (k.stop == '.' && !kind.dot_declares)) {
      continue;
    }
    found = true;
    if (starts_top_key(c, p)) {
      std::snprintf(out, sizeof out, "the later \"%.120s\"",
                    c.j.members[json_string_at(c.j, p)->member].key);
    } else {
      char where[NOTE_SIZE];
      describe_offset(c, p, where);
      std::snprintf(out, sizeof out, "the \"%.*s\" inside %.200s",
                    text_len(kind.prefix), kind.prefix.data(), where);
    }
  }
  return found;
}

// The last stray match before offset that declared something, described.
bool stray_before(const DepartureContext& c, const EntryKind& kind,
                  std::size_t before, char (&out)[NOTE_SIZE]) {
  bool found = false;
  Sv head = c.in.head;
  for (std::size_t p = head.find(kind.prefix); p != NONE && p < before;
       p = head.find(kind.prefix, p + 1)) {
    KeyRead k = key_after(slice(head, p + kind.prefix.size()), kind.key_max);
    if (starts_top_key(c, p) || k.key.empty() ||
        (k.stop == '.' && !kind.dot_declares)) {
      continue;
    }
    found = true;
    describe_offset(c, p, out);
  }
  return found;
}

Entry* find_entry(Entry* e, int n, Sv key) {
  for (int i = 0; i < n; ++i) {
    if (e[i].key == key) {
      return &e[i];
    }
  }
  return nullptr;
}

void check_key(const DepartureContext& c, const EntryKind& kind,
               const JsonMember& m, const KeyRead& k, Sv wanted) {
  if (k.key == wanted) {
    return;
  }
  char why[64];
  std::size_t end = m.key_at + 1 + kind.prefix.size() + k.key.size();
  if (k.cut) {
    std::snprintf(why, sizeof why, "is cut to %zu bytes", kind.key_max);
  } else if (k.stop == '"' && end < m.key_end) {
    copy_text(why, "ends at an escaped quote");
  } else if (k.stop == ':' || k.stop == '=' || k.stop == '.') {
    std::snprintf(why, sizeof why, "ends at \"%c\"", k.stop);
  } else {
    copy_text(why, "holds escape sequences, not decoded");
  }
  warn(c.w, "%s: the %s %s; declares %s \"%.*s\"", m.key, kind.part, why,
       kind.noun, text_len(k.key), k.key.data());
}

// One "route.<key>" or "picker.<action>" member of the JSON.
void check_member(const DepartureContext& c, const EntryKind& kind,
                  const JsonMember& m, Entry* entries, int count) {
  Sv head = c.in.head;
  Sv wanted = slice(cstr(m.key), kind.prefix.size());
  if (m.key_at >= head.size()) {
    warn(c.w, "%s: beyond the %zu bytes read", m.key, head.size());
    return;
  }
  if (m.key_end >= head.size()) {
    KeyRead k =
        key_after(slice(head, m.key_at + 1 + kind.prefix.size()), kind.key_max);
    if (Entry* e = find_entry(entries, count, k.key)) {
      e->explained = true;
    }
    warn(c.w, "%s: cut off by the end of the %zu bytes read", m.key,
         head.size());
    return;
  }
  Sv raw_key = slice(head, m.key_at + 1, m.key_end - m.key_at - 1);
  if (!raw_key.starts_with(kind.prefix)) {
    warn(c.w, "%s: written with escapes; the daemon sees no \"%.*s\"", m.key,
         text_len(kind.prefix), kind.prefix.data());
    return;
  }
  KeyRead k =
      key_after(slice(head, m.key_at + 1 + kind.prefix.size()), kind.key_max);
  if (k.key.empty()) {
    warn(c.w, "%s: declares nothing (the name after \"%.*s\" is empty)", m.key,
         text_len(kind.prefix), kind.prefix.data());
    return;
  }
  if (k.stop == '.' && !kind.dot_declares) {
    warn(c.w, "%s: declares no route (a route key holds no \".\")", m.key);
    return;
  }
  check_key(c, kind, m, k, wanted);
  Entry* e = find_entry(entries, count, k.key);
  char where[NOTE_SIZE];
  if (!e && count >= kind.limit) {
    warn(c.w, "%s: dropped; %s", m.key, kind.full);
    return;
  }
  if (!e && stray_before(c, kind, m.key_at, where)) {
    warn(c.w, "%s: not read; the \"%.*s\" inside %s before it took its value",
         m.key, text_len(kind.prefix), kind.prefix.data(), where);
    return;
  }
  if (!e) {
    warn(c.w, "%s: not read", m.key);
    return;
  }
  e->explained = true;
  if (m.kind != JsonKind::kString) {
    warn(c.w, "%s: not a quoted string; reads as \"%.*s\"", m.key,
         text_len(e->chain), e->chain.data());
    return;
  }
  Sv json = cstr(m.value);
  if (m.value_len == json.size() && e->chain == json) {
    return;
  }
  char why[96];
  if (explain_chain(c, kind, m, e->chain, why)) {
    warn(c.w, "%s: %s; reads as \"%.*s\"", m.key, why, text_len(e->chain),
         e->chain.data());
  } else if (set_again(c, kind, m.key_at + 1, k.key, where)) {
    warn(c.w, "%s: set again by %s; reads as \"%.*s\"", m.key, where,
         text_len(e->chain), e->chain.data());
  } else {
    warn(c.w, "%s: reads as \"%.*s\", not \"%s\"", m.key, text_len(e->chain),
         e->chain.data(), m.value);
  }
}

// Entries the reader took from matches that are no key of the JSON object.
void check_strays(const DepartureContext& c, const EntryKind& kind,
                  Entry* entries, int count) {
  Sv head = c.in.head;
  for (int i = 0; i < count; ++i) {
    if (entries[i].explained) {
      continue;
    }
    char where[NOTE_SIZE];
    copy_text(where, "the text");
    for (std::size_t p = head.find(kind.prefix); p != NONE;
         p = head.find(kind.prefix, p + 1)) {
      KeyRead k = key_after(slice(head, p + kind.prefix.size()), kind.key_max);
      if (k.key == entries[i].key && !starts_top_key(c, p)) {
        describe_offset(c, p, where);
        break;
      }
    }
    warn(c.w, "%.*s%.*s: declared by the \"%.*s\" inside %s",
         text_len(kind.prefix), kind.prefix.data(), text_len(entries[i].key),
         entries[i].key.data(), text_len(kind.prefix), kind.prefix.data(),
         where);
  }
}

void check_entries(const DepartureContext& c, const EntryKind& kind,
                   Entry* entries, int count) {
  for (int i = 0; i < c.j.member_count; ++i) {
    const JsonMember& m = c.j.members[i];
    Sv key = cstr(m.key);
    if (key.starts_with(kind.prefix) && key.size() > kind.prefix.size() &&
        is_last_of_its_key(c, i)) {
      check_member(c, kind, m, entries, count);
    }
  }
  check_strays(c, kind, entries, count);
}

}  // namespace

void entry_departures(const DepartureContext& c) {
  const AppRecord& app = *c.in.app;
  Entry routes[MAX_ROUTES];
  int n = 0;
  for (int i = 0; i < app.route_count && i < MAX_ROUTES; ++i) {
    routes[n++] = { cstr(app.routes[i].key), cstr(app.routes[i].chain), false };
  }
  check_entries(c, ROUTES, routes, n);
  Entry pickers[MAX_PICKERS];
  n = 0;
  for (int i = 0; i < c.in.reg->picker_count && i < MAX_PICKERS; ++i) {
    const PickerEntry& p = c.in.reg->pickers[i];
    if (p.active && std::strcmp(p.handler, app.pkg) == 0) {
      pickers[n++] = { cstr(p.action), cstr(p.chain), false };
    }
  }
  check_entries(c, PICKERS, pickers, n);
}
