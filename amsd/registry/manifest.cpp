#include "amsd/registry/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "amsd/core/text.h"

// The manifest is C text: nothing after a zero byte counts.
static std::string_view up_to_nul(std::string_view text) {
  std::size_t z = text.find('\0');
  return z == std::string_view::npos ? text : slice(text, 0, z);
}

static bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

void manifest_value(std::string_view text, std::string_view key,
                    char (&out)[MANIFEST_VALUE_SIZE]) {
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
  if (i == std::string_view::npos) {
    return;
  }
  ++i;
  while (i < text.size() && is_blank(text[i])) {
    ++i;
  }
  if (i >= text.size() || text[i] != '"') {
    return;
  }
  std::size_t close = text.find('"', i + 1);
  if (close == std::string_view::npos) {
    return;
  }
  copy_text(out, slice(text, i + 1, close - i - 1));
  utf8_cut(out);
}

std::size_t manifest_load(const char* path,
                          char (&text)[MANIFEST_TEXT_MAX + 1]) {
  text[0] = '\0';
  // O_NONBLOCK: a FIFO planted as the manifest must not hang the daemon.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return 0;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return 0;
  }
  std::size_t got = 0;
  while (got < MANIFEST_TEXT_MAX) {
    ssize_t n = read(fd, text + got, MANIFEST_TEXT_MAX - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      got = 0;  // unreadable: the app gets its defaults
      break;
    }
    if (n == 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  text[got] = '\0';
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

// Where a key of at most max bytes that starts at from ends.
static std::size_t key_end(std::string_view text, std::size_t from,
                           std::size_t max) {
  std::size_t e = from;
  while (e < text.size() && e - from < max && !ends_key(text[e])) {
    ++e;
  }
  return e;
}

// Finds the value that belongs to a key ending at from: after the next ":"
// or "=", blanks and one opening quote. Returns where the value ended.
static std::size_t entry_value(std::string_view text, std::size_t from,
                               std::string_view& value) {
  std::size_t i = from;
  while (i < text.size() && text[i] != ':' && text[i] != '=') {
    ++i;
  }
  if (i >= text.size()) {
    value = slice(text, text.size());  // empty, but never a null pointer
    return text.size();
  }
  ++i;
  while (i < text.size() && is_blank(text[i])) {
    ++i;
  }
  if (i < text.size() && text[i] == '"') {
    ++i;
  }
  std::size_t start = i;
  while (i < text.size() && i - start < ENTRY_VALUE_MAX &&
         !ends_value(text[i])) {
    ++i;
  }
  value = slice(text, start, i - start);
  return i;
}

static void set_route(AppRecord& app, std::string_view key,
                      std::string_view chain) {
  for (int i = 0; i < app.route_count; ++i) {
    if (key == app.routes[i].key) {
      copy_text(app.routes[i].chain, chain);
      return;
    }
  }
  if (app.route_count >= MAX_ROUTES) {
    return;
  }
  RouteEntry& r = app.routes[app.route_count++];
  copy_text(r.key, key);
  copy_text(r.chain, chain);
}

void manifest_routes(std::string_view text, AppRecord& app) {
  constexpr std::string_view kPrefix = "route.";
  text = up_to_nul(text);
  std::size_t pos = 0;
  for (;;) {
    std::size_t at = text.find(kPrefix, pos);
    if (at == std::string_view::npos) {
      return;
    }
    std::size_t k = at + kPrefix.size();
    std::size_t e = key_end(text, k, ROUTE_KEY_MAX);
    if (e == k) {
      pos = k;
      continue;
    }
    // "route.a.b" names no route of this app.
    if (e < text.size() && text[e] == '.') {
      pos = e;
      continue;
    }
    std::string_view chain;
    pos = entry_value(text, e, chain);
    while (!chain.empty() && is_blank(chain.back())) {
      chain.remove_suffix(1);
    }
    set_route(app, slice(text, k, e - k), chain);
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
  p->active = 1;
}

void manifest_pickers(std::string_view text, Registry& reg,
                      const AppRecord& app) {
  constexpr std::string_view kPrefix = "picker.";
  text = up_to_nul(text);
  std::size_t pos = 0;
  for (;;) {
    std::size_t at = text.find(kPrefix, pos);
    if (at == std::string_view::npos) {
      return;
    }
    std::size_t k = at + kPrefix.size();
    std::size_t e = key_end(text, k, PICKER_ACTION_MAX);
    if (e > k) {
      // Unlike routes, a picker chain keeps its trailing blanks, and
      // "picker.a.b" declares the action a.
      std::string_view chain;
      entry_value(text, e, chain);
      set_picker(reg, slice(text, k, e - k), app, chain);
    }
    pos = e;
  }
}
