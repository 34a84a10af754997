// Event lines and the hex words they carry. The first byte is the room given
// to hex_decode (0 to 255 bytes); the rest is at once the hex word for
// hex_decode, a line for read_event_line, and, as C text, a line for the
// "DECLARE" handler on a fresh registry. Each result is checked against the
// line format read afresh here.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "amsd/base/limits.h"
#include "amsd/base/text.h"
#include "amsd/protocol/events.h"
#include "fuzz/fuzz_target.h"
#include "tests/support/scratch_tables.h"

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

std::string_view none_if_dash(std::string_view w) {
  return w == "-" ? std::string_view() : w;
}

// The launcher's reports: the words after "EV ", sixteen at most, and for
// OUT the text after the up word's one space.
void check_report(std::string_view line, const EventLine& e) {
  std::vector<std::string_view> w = words_of(line.substr(3));
  std::size_t n = std::min<std::size_t>(w.size(), 16);
  std::string_view word = n > 0 ? w[0] : "";
  FUZZ_CHECK(e.report == (word == "LAUNCH" || word == "OUT" || word == "EXIT"));
  if (word == "LAUNCH" && n >= 5) {
    FUZZ_CHECK(e.kind == EventKind::kLaunch && e.pkg == w[1] &&
               e.activity == none_if_dash(w[2]));
    FUZZ_CHECK(e.chain == (n == 6 ? "" : none_if_dash(w[3])));
    FUZZ_CHECK(e.pid == parse_i32(n == 6 ? w[3] : w[4]));
    FUZZ_CHECK(e.has_ts == (n >= 6) && e.has_up == (n >= 6));
    if (n >= 6) {
      FUZZ_CHECK(e.ts == parse_i32(w[n == 6 ? 4 : 5]) &&
                 e.up == parse_i32(w[n == 6 ? 5 : 6]));
    }
  } else if (word == "EXIT" && n >= 4) {
    FUZZ_CHECK(e.kind == EventKind::kExit && e.pkg == w[1] &&
               e.exit_word == w[2] && e.code == parse_i32(w[3]));
    FUZZ_CHECK(e.dur_ms == (n >= 5 ? parse_i64(w[4]) : 0));
    FUZZ_CHECK(e.has_ts == (n >= 6) && e.has_up == (n >= 7));
  } else if (word == "OUT" && n >= 4) {
    FUZZ_CHECK(e.kind == EventKind::kOut && e.pkg == w[1] &&
               e.pid == parse_i32(w[2]) && e.ts == parse_i32(w[3]));
    FUZZ_CHECK(e.has_up == (n >= 5) && e.up == (n >= 5 ? parse_i32(w[4]) : 0));
    std::size_t end =
        n >= 5 ? static_cast<std::size_t>(w[4].data() - line.data()) +
                     w[4].size() + 1
               : line.size();
    FUZZ_CHECK(e.text == line.substr(std::min(end, line.size())));
    FUZZ_CHECK(e.text.empty() || within(e.text, line));
  } else {
    FUZZ_CHECK(e.kind == EventKind::kMalformed);
  }
  FUZZ_CHECK(within(e.pkg, line) || e.pkg.empty());
}

void check_peer_line(std::string_view line, const EventLine& e) {
  std::vector<std::string_view> w = words_of(line);
  std::size_t n = std::min<std::size_t>(w.size(), 8);
  FUZZ_CHECK(!e.report);
  if (n >= 4 && w[0] == "DECLARE") {
    FUZZ_CHECK(e.kind == EventKind::kDeclare && e.pkg == w[1] &&
               e.count_word == w[2] && e.hex == w[3]);
  } else if (n >= 4 && w[0] == "PICKER_CALL") {
    FUZZ_CHECK(e.kind == EventKind::kPickerCall && e.pkg == w[1] &&
               e.action == w[3]);
    FUZZ_CHECK(e.req == static_cast<std::uint32_t>(parse_i32(w[2])));
    FUZZ_CHECK(within(e.pkg, line) && within(e.action, line));
  } else if (n >= 5 && w[0] == "PICKER_RESULT") {
    FUZZ_CHECK(e.kind == EventKind::kPickerResult && e.action == w[2] &&
               e.code == parse_i32(w[3]) && e.hex == w[4]);
    FUZZ_CHECK(within(e.action, line) && within(e.hex, line));
  } else {
    FUZZ_CHECK(e.kind == EventKind::kMalformed);
  }
}

void check_reader(std::string_view line) {
  EventLine e = read_event_line(line);
  if (line.starts_with("EV ")) {
    check_report(line, e);
  } else if (line.starts_with("DECLARE ") || line.starts_with("PICKER_")) {
    check_peer_line(line, e);
  } else {
    FUZZ_CHECK(e.kind == EventKind::kCommand && !e.report);
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

void check_declare(ScratchTables& f, std::string_view bytes) {
  std::string line(bytes.data(), strnlen(bytes.data(), bytes.size()));
  line.resize(std::min<std::size_t>(line.size(), LINE_MAX_BYTES));
  if (!line.starts_with("DECLARE ")) {
    return;
  }
  std::vector<std::string_view> w = words_of(line);
  Registry& reg = f.d->registry;
  reg.app_count = 0;
  Peer stranger{ -1, true, 4242, false, false, false };
  handle_event(*f.d, stranger, read_event_line(line));
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
  static ScratchTables f;
  static bool made = (f.make_quiet_world(), true);
  (void)made;
  if (size == 0) {
    return 0;
  }
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  check_hex(data[0], rest);
  check_reader(rest);
  check_declare(f, rest);
  return 0;
}
