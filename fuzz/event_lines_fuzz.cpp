// Hex words and the peer lines that carry them. The first byte is the room
// given to hex_decode (0 to 255 bytes); the rest is at once the hex word for
// hex_decode, a line for parse_picker_line, and, as C text, a line for the
// "DECLARE" handler on a fresh registry. Each result is checked against the
// line format read afresh here.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "amsd/base/limits.h"
#include "amsd/protocol/events.h"
#include "fuzz/fuzz_tables.h"
#include "fuzz/fuzz_target.h"

namespace {

int digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  c = static_cast<char>(c | 0x20);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Pairs of hex digits, up to the first bad pair or cap - 1 bytes.
std::string decoded(std::string_view hex, std::size_t cap) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size() && out.size() + 1 < cap; i += 2) {
    int hi = digit(hex[i]);
    int lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) {
      break;
    }
    out.push_back(static_cast<char>(hi << 4 | lo));
  }
  return out;
}

std::vector<std::string_view> words_of(std::string_view line) {
  std::vector<std::string_view> w;
  for (std::size_t i = 0; i < line.size();) {
    std::size_t end = line.find(' ', i);
    end = end == std::string_view::npos ? line.size() : end;
    if (end > i) {
      w.push_back(line.substr(i, end - i));
    }
    i = end + 1;
  }
  return w;
}

bool within(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() &&
         part.data() + part.size() <= whole.data() + whole.size();
}

void check_hex(std::size_t cap, std::string_view hex) {
  // Exactly cap bytes on the heap, so a write past them is a finding.
  std::unique_ptr<char[]> out(new char[cap]);
  int n = hex_decode(hex, out.get(), cap);
  std::string want = decoded(hex, cap);
  FUZZ_CHECK(n >= 0 && static_cast<std::size_t>(n) == want.size());
  if (cap > 0) {
    FUZZ_CHECK(std::memcmp(out.get(), want.data(), want.size()) == 0);
    FUZZ_CHECK(out[want.size()] == '\0');
  }
}

void check_picker_line(std::string_view line) {
  PickerLine p;
  int rc = parse_picker_line(line, p);
  std::vector<std::string_view> w = words_of(line);
  bool call = w.size() >= 4 && w[0] == "PICKER_CALL";
  bool result = w.size() >= 5 && w[0] == "PICKER_RESULT";
  FUZZ_CHECK(rc == (call || result ? 0 : -1));
  if (call) {
    FUZZ_CHECK(p.kind == PickerLine::kCall && p.caller == w[1] &&
               p.action == w[3]);
    FUZZ_CHECK(within(p.caller, line) && within(p.action, line));
  }
  if (result) {
    FUZZ_CHECK(p.kind == PickerLine::kResult && p.action == w[2]);
    FUZZ_CHECK(within(p.action, line));
    std::string value = decoded(w[4], PICKER_VALUE_CAP);
    FUZZ_CHECK(p.value() == std::string_view(value.c_str()));
  }
}

// The routes a "DECLARE pkg n hex" line leaves on a fresh record: every
// "key=value" entry of the decoded list up to an empty one, keys cut to the
// field, a later entry replacing the chain of an earlier key, eight at most.
std::vector<std::pair<std::string, std::string>> declared(
    std::string_view hex) {
  std::vector<std::pair<std::string, std::string>> routes;
  std::string list = decoded(hex, 1024);
  for (std::size_t i = 0; i < list.size();) {
    std::size_t end = list.find('\0', i);
    end = end == std::string::npos ? list.size() : end;
    std::string entry = list.substr(i, end - i);
    if (entry.empty()) {
      break;
    }
    std::size_t eq = entry.find('=');
    if (eq != std::string::npos && eq != 0) {
      std::string key = entry.substr(0, std::min<std::size_t>(eq, 15));
      std::string chain = entry.substr(eq + 1, 159);
      bool found = false;
      for (auto& r : routes) {
        if (r.first == key) {
          r.second = chain;
          found = true;
        }
      }
      if (!found && routes.size() < MAX_ROUTES) {
        routes.emplace_back(key, chain);
      }
    }
    i = end + 1;
  }
  return routes;
}

void check_declare(FuzzTables& f, std::string_view bytes) {
  std::string line(bytes.data(), strnlen(bytes.data(), bytes.size()));
  line.resize(std::min<std::size_t>(line.size(), LINE_MAX_BYTES));
  if (!line.starts_with("DECLARE ")) {
    return;
  }
  std::vector<std::string_view> w = words_of(line);
  Registry& reg = f.t->registry;
  reg.app_count = 0;
  ProtocolContext ctx = f.ctx();
  Peer stranger{ -1, true, 4242, false, false, false };
  std::string copy = line;
  handle_event_line(ctx, stranger, copy.data());
  if (w.size() < 4) {
    FUZZ_CHECK(reg.app_count == 0);
    return;
  }
  FUZZ_CHECK(reg.app_count == 1);
  const AppRecord& app = reg.apps[0];
  FUZZ_CHECK(std::string_view(app.pkg) == w[1].substr(0, PKG_SIZE - 1));
  auto want = declared(w[3]);
  FUZZ_CHECK(app.route_count == static_cast<int>(want.size()));
  for (int i = 0; i < app.route_count; ++i) {
    FUZZ_CHECK(want[i].first == app.routes[i].key);
    FUZZ_CHECK(want[i].second == app.routes[i].chain);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static FuzzTables f;
  if (size == 0) {
    return 0;
  }
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  check_hex(data[0], rest);
  check_picker_line(rest);
  check_declare(f, rest);
  return 0;
}
