#include "amsd/registry/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "amsd/base/fd_io.h"
#include "amsd/base/text.h"

// The manifest is C text: nothing after a zero byte counts.
static std::string_view up_to_nul(std::string_view text) {
  std::size_t z = text.find('\0');
  return z == std::string_view::npos ? text : slice(text, 0, z);
}

static void note(ManifestSpans* spans, const ManifestSpan& s) {
  if (spans && spans->count < MANIFEST_MAX_SPANS) {
    spans->at[spans->count++] = s;
  }
}

void manifest_value(std::string_view text, std::string_view key,
                    char (&out)[MANIFEST_VALUE_SIZE], ManifestSpans* spans) {
  out[0] = '\0';
  text = up_to_nul(text);
  char pattern[64];
  int n = std::snprintf(pattern, sizeof pattern, "\"%.*s\"",
                        static_cast<int>(key.size()), key.data());
  if (n <= 0) {
    return;
  }
  std::string_view pat(pattern, std::strlen(pattern));
  std::size_t at = text.find(pat);
  if (at == std::string_view::npos) {
    return;
  }
  // The colon may stand on a later line; the value may not.
  std::size_t i = text.find(':', at + pat.size());
  std::size_t close = std::string_view::npos;
  if (i != std::string_view::npos) {
    ++i;
    while (i < text.size() && is_blank(text[i])) {
      ++i;
    }
    if (i < text.size() && text[i] == '"') {
      close = text.find('"', i + 1);
    }
  }
  bool found = close != std::string_view::npos;
  note(spans, { ManifestField::kValue, found, at + 1, at + 1,
                at + key.size() + 1, found ? i + 1 : 0, found ? close : 0 });
  if (found) {
    copy_text(out, slice(text, i + 1, close - i - 1));
    utf8_cut(out);
  }
}

std::size_t manifest_load(const char* path,
                          char (&text)[MANIFEST_TEXT_MAX + 1]) {
  text[0] = '\0';
  // Unreadable, or no regular file (a FIFO planted there must not hang the
  // daemon): the app gets its defaults.
  read_small_file(path, text, sizeof text, SMALL_FILE_REGULAR);
  return std::strlen(text);
}

void utf8_cut(char* text) {
  std::size_t i = 0;
  while (text[i] != '\0') {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t len = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    for (std::size_t k = 1; k < len; ++k) {
      if (text[i + k] == '\0') {
        text[i] = '\0';
        return;
      }
    }
    i += len;
  }
}

int path_append(char* buf, std::size_t cap, std::string_view suffix) {
  if (cap == 0) {
    return -1;
  }
  std::size_t n = strnlen(buf, cap);
  if (n + suffix.size() + 1 <= cap) {
    std::memcpy(buf + n, suffix.data(), suffix.size());
    buf[n + suffix.size()] = '\0';
    return 0;
  }
  buf[cap - 1] = '\0';
  return -1;
}

static bool ends_key(char c) {
  return c == '"' || c == ':' || c == '=' || c == '.';
}

static bool ends_value(char c) {
  return c == '"' || c == ',' || c == '\n' || c == '\r';
}

// Finds the next entry "<prefix><key>...: value" at or after pos, as a span.
// The key runs up to a double quote, ":", "=", "." or the end, at most
// key_max bytes; the value follows the next ":" or "=", after blanks and one
// opening quote, up to a double quote, ",", a line end or the end, at most
// ENTRY_VALUE_MAX bytes.
static bool find_entry(std::string_view text, std::string_view prefix,
                       std::size_t key_max, std::size_t pos, ManifestSpan& e) {
  e.match = text.find(prefix, pos);
  if (e.match == std::string_view::npos) {
    return false;
  }
  std::size_t i = e.key_at = e.match + prefix.size();
  while (i < text.size() && i - e.key_at < key_max && !ends_key(text[i])) {
    ++i;
  }
  e.key_end = i;
  while (i < text.size() && text[i] != ':' && text[i] != '=') {
    ++i;
  }
  if (i < text.size()) {
    ++i;
    while (i < text.size() && is_blank(text[i])) {
      ++i;
    }
    if (i < text.size() && text[i] == '"') {
      ++i;
    }
  }
  e.value_at = i;
  while (i < text.size() && i - e.value_at < ENTRY_VALUE_MAX &&
         !ends_value(text[i])) {
    ++i;
  }
  e.value_end = i;
  return true;
}

void manifest_routes(std::string_view text, AppRecord& app,
                     ManifestSpans* spans) {
  text = up_to_nul(text);
  ManifestSpan e{ ManifestField::kRoute, false, 0, 0, 0, 0, 0 };
  for (std::size_t pos = 0;
       find_entry(text, "route.", ROUTE_KEY_MAX, pos, e);) {
    // An empty key, or "route.a.b", names no route of this app.
    e.used = e.key_end > e.key_at &&
             (e.key_end == text.size() || text[e.key_end] != '.');
    while (e.used && e.value_end > e.value_at &&
           is_blank(text[e.value_end - 1])) {
      --e.value_end;
    }
    note(spans, e);
    if (!e.used) {
      pos = e.key_end;
      continue;
    }
    route_set(app, slice(text, e.key_at, e.key_end - e.key_at),
              slice(text, e.value_at, e.value_end - e.value_at));
    pos = e.value_end;
  }
}

static void set_picker(Registry& reg, std::string_view action,
                       const AppRecord& app, std::string_view chain) {
  PickerEntry* p = nullptr;
  for (int i = 0; i < reg.picker_count && !p; ++i) {
    if (action == reg.pickers[i].action) {
      p = &reg.pickers[i];
    }
  }
  if (!p) {
    if (reg.picker_count >= MAX_PICKERS) {
      return;
    }
    p = &reg.pickers[reg.picker_count++];
    std::memset(p, 0, sizeof *p);
    copy_text(p->action, action);
  }
  copy_text(p->handler, app.pkg);
  copy_text(p->chain, chain);
  p->active = true;
}

void manifest_pickers(std::string_view text, Registry& reg,
                      const AppRecord& app, ManifestSpans* spans) {
  text = up_to_nul(text);
  ManifestSpan e{ ManifestField::kPicker, false, 0, 0, 0, 0, 0 };
  for (std::size_t pos = 0;
       find_entry(text, "picker.", PICKER_ACTION_MAX, pos, e);
       pos = e.key_end) {
    // Unlike routes, a picker chain keeps its trailing blanks, and
    // "picker.a.b" declares the action a.
    e.used = e.key_end > e.key_at;
    note(spans, e);
    if (e.used) {
      set_picker(reg, slice(text, e.key_at, e.key_end - e.key_at), app,
                 slice(text, e.value_at, e.value_end - e.value_at));
    }
  }
}
