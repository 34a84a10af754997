// The manifest reader on arbitrary text, as a scan applies it: the "name"
// and "exec" values, the "route." and "picker." entries, the UTF-8 cut, and
// the loader on the same bytes written to a file.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "amsd/base/text.h"
#include "amsd/registry/manifest.h"
#include "fuzz/fuzz_target.h"
#include "tests/support/temp_dir.h"

namespace {

// The length of the UTF-8 sequence that lead starts, by its lead byte alone.
std::size_t sequence_length(unsigned char lead) {
  return lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// Text that utf8_cut leaves as it is: its last sequence is whole.
bool ends_whole(const char* text) {
  std::size_t n = std::strlen(text);
  std::size_t i = 0;
  while (i < n) {
    i += sequence_length(static_cast<unsigned char>(text[i]));
  }
  return i == n;
}

template <std::size_t N>
bool terminated(const char (&field)[N]) {
  return strnlen(field, N) < N;
}

bool key_char(char c) {
  return c != '"' && c != ':' && c != '=' && c != '.';
}

// A value is some run of the manifest's bytes before its first NUL.
void check_value(std::string_view text, const char* key) {
  char value[MANIFEST_VALUE_SIZE];
  manifest_value(text, key, value);
  FUZZ_CHECK(terminated(value));
  FUZZ_CHECK(ends_whole(value));
  std::string_view c_text(text.data(), strnlen(text.data(), text.size()));
  FUZZ_CHECK(c_text.find(value) != std::string_view::npos);
}

void check_utf8_cut(std::string_view text) {
  std::string s(text);
  utf8_cut(s.data());
  std::string_view cut(s.c_str());
  FUZZ_CHECK(std::string_view(text).starts_with(cut));
  FUZZ_CHECK(ends_whole(s.c_str()));
}

void check_routes(std::string_view text, AppRecord& app) {
  manifest_routes(text, app);
  FUZZ_CHECK(app.route_count >= 0 && app.route_count <= MAX_ROUTES);
  for (int i = 0; i < app.route_count; ++i) {
    const RouteEntry& r = app.routes[i];
    FUZZ_CHECK(terminated(r.key) && terminated(r.chain));
    std::string_view key(r.key);
    FUZZ_CHECK(!key.empty() && key.size() <= ROUTE_KEY_MAX);
    for (char c : key) {
      FUZZ_CHECK(key_char(c));
    }
    std::string_view chain(r.chain);
    FUZZ_CHECK(chain.empty() || !is_blank(chain.back()));
    for (int j = 0; j < i; ++j) {
      FUZZ_CHECK(key != app.routes[j].key);
    }
  }
}

void check_pickers(std::string_view text, Registry& reg, const AppRecord& app) {
  reg.picker_count = 0;
  manifest_pickers(text, reg, app);
  FUZZ_CHECK(reg.picker_count >= 0 && reg.picker_count <= MAX_PICKERS);
  for (int i = 0; i < reg.picker_count; ++i) {
    const PickerEntry& p = reg.pickers[i];
    FUZZ_CHECK(terminated(p.action) && terminated(p.chain));
    std::string_view action(p.action);
    FUZZ_CHECK(!action.empty() && action.size() <= PICKER_ACTION_MAX);
    for (char c : action) {
      FUZZ_CHECK(key_char(c));
    }
    FUZZ_CHECK(p.active && std::string_view(p.handler) == app.pkg);
    for (int j = 0; j < i; ++j) {
      FUZZ_CHECK(action != reg.pickers[j].action);
    }
  }
}

// The loader gives the first 2047 bytes, up to the first NUL.
void check_load(const std::string& path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) ==
             static_cast<ssize_t>(bytes.size()));
  close(fd);
  char text[MANIFEST_TEXT_MAX + 1];
  std::size_t len = manifest_load(path.c_str(), text);
  std::string_view head = bytes.substr(0, MANIFEST_TEXT_MAX);
  head = head.substr(0, strnlen(head.data(), head.size()));
  FUZZ_CHECK(std::string_view(text, len) == head && text[len] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static TempDir dir;
  static const std::string path = dir.file("app.json");
  static std::unique_ptr<Registry> reg = std::make_unique<Registry>();
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_load(path, bytes);
  // What a scan hands the readers: at most the loader's share.
  std::string_view text = bytes.substr(0, MANIFEST_TEXT_MAX);
  check_value(text, "name");
  check_value(text, "exec");
  check_utf8_cut(text);
  AppRecord app = {};
  copy_text(app.pkg, "demo");
  check_routes(text, app);
  check_pickers(text, *reg, app);
  return 0;
}
