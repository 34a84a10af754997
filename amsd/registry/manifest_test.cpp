#include "amsd/registry/manifest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;

std::string value_of(std::string_view text, std::string_view key) {
  char out[MANIFEST_VALUE_SIZE];
  std::memset(out, 'X', sizeof out);
  manifest_value(text, key, out);
  return out;
}

TEST(ManifestValue, ReadsQuotedStringValuesOnly) {
  struct Case {
    std::string text;
    std::string want;
  };
  const Case cases[] = {
    { R"({"name": "Demo"})", "Demo" },
    { R"({"name" : "Demo App"})", "Demo App" },
    { "{\"name\":\t \"Tabbed\"}", "Tabbed" },
    { "{\"name\"\n  :\"Colon below\"}", "Colon below" },
    { "{\"name\":\n  \"Value below\"}", "" },
    { R"({"name": 42})", "" },
    { R"({"name": Demo})", "" },
    { R"({"label": "x"})", "" },
    { R"({"name": "Open)", "" },
    { R"({"name")", "" },
    { R"({"name":)", "" },
    { R"({"name": )", "" },
    { R"({"name": ""})", "" },
    { R"({"name": "a\"b"})", "a\\" },
    { R"({"name": "First", "name": "Second"})", "First" },
    { R"({"nickname": "N", "name": "Real"})", "Real" },
    // Only the text before a zero byte counts.
    { "{\"name\": \"A\0B\"}"s, "" },
    { "{\"x\": 1}\0\"name\": \"Hidden\""s, "" },
  };
  for (const Case& c : cases) {
    EXPECT_EQ(value_of(c.text, "name"), c.want) << c.text;
  }
}

TEST(ManifestValue, CutsTo95BytesAtACharacterBoundary) {
  std::string long_value(120, 'v');
  EXPECT_EQ(value_of("{\"exec\": \"" + long_value + "\"}", "exec"),
            std::string(95, 'v'));
  // A two-byte character across byte 95 is dropped whole.
  std::string split(94, 'a');
  split += "\xC3\xA9tail";
  EXPECT_EQ(value_of("\"name\":\"" + split + "\"", "name"),
            std::string(94, 'a'));
  // Nothing is checked beyond the lead bytes.
  EXPECT_EQ(value_of("\"name\":\"\xFF\x41\x42\x43\"", "name"),
            "\xFF\x41\x42\x43");
}

TEST(Utf8Cut, EndsTheTextBeforeAnIncompleteSequence) {
  const std::pair<std::string, std::string> cases[] = {
    { "plain", "plain" },
    { "", "" },
    { "a\xC3\xA9", "a\xC3\xA9" },
    { "a\xC3", "a" },
    { "ab\xE2\x82", "ab" },
    { "\xE2\x82\xAC", "\xE2\x82\xAC" },
    { "x\xF0\x9F\x98", "x" },
    { "\x80\xBF", "\x80\xBF" },  // stray continuation bytes count one each
    { "ab\xFF", "ab" },
    { "\xFF"
      "abc",
      "\xFF"
      "abc" },
    { "\xDF"
      "A",
      "\xDF"
      "A" },  // continuation bytes are not validated
  };
  for (const auto& [in, want] : cases) {
    std::string buf = in;
    utf8_cut(buf.data());
    EXPECT_EQ(std::string(buf.c_str()), want) << in;
  }
}

TEST(PathAppend, AppendsOnlyWhatFitsWhole) {
  char buf[8] = "abc";
  EXPECT_EQ(path_append(buf, "defg"), 0);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(path_append(buf, "h"), -1);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(path_append(buf, ""), 0);

  char no_nul[4] = { 'w', 'x', 'y', 'z' };
  EXPECT_EQ(path_append(no_nul, "a"), -1);
  EXPECT_STREQ(no_nul, "wxy");
  EXPECT_EQ(path_append(no_nul, 0, "a"), -1);
}

using Routes = std::vector<std::pair<std::string, std::string>>;

Routes routes_of(std::string_view text) {
  auto reg = std::make_unique<Registry>();
  AppRecord& app = *find_or_add_app(*reg, "demo");
  manifest_routes(text, app);
  Routes out;
  for (int i = 0; i < app.route_count; ++i) {
    out.emplace_back(app.routes[i].key, app.routes[i].chain);
  }
  return out;
}

TEST(ManifestRoutes, ReadsEntriesByTheWrittenRules) {
  struct Case {
    std::string text;
    Routes want;
  };
  const Case cases[] = {
    { R"({"route.home": "a;b"})", { { "home", "a;b" } } },
    { R"({"route.home": "a b  "})", { { "home", "a b" } } },
    { "{\"route.home\": \"a\tb \t\"}", { { "home", "a\tb" } } },
    { R"({"route.home": "a,b"})", { { "home", "a" } } },
    { "route.home=x;y\nroute.set:\tz\r\n",
      { { "home", "x;y" }, { "set", "z" } } },
    { R"({"route.a.b": "x"})", {} },
    { R"({"route.": "x"})", {} },
    { R"({"route.home"})", { { "home", "" } } },
    { R"({"route.home": })", { { "home", "}" } } },
    { R"({"route.home": "")", { { "home", "" } } },
    { R"({"route.abcdefghijklmnopqrst": "v"})",
      { { "abcdefghijklmno", "v" } } },
    { R"({"route.a": "1", "route.a": "2"})", { { "a", "2" } } },
    // "route." is found anywhere, even inside a value.
    { R"({"exec": "/bin/route.sh", "x": "y"})", { { "sh", "y" } } },
    { "{\"route.x\": \"kept\"}\0\"route.y\": \"gone\""s, { { "x", "kept" } } },
  };
  for (const Case& c : cases) {
    EXPECT_EQ(routes_of(c.text), c.want) << c.text;
  }
}

TEST(ManifestRoutes, CutsTheChainAt159Bytes) {
  Routes r = routes_of("\"route.long\": \"" + std::string(200, 'c') + "\"");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].second, std::string(159, 'c'));
}

TEST(ManifestRoutes, FullListStillUpdatesKnownKeys) {
  std::string text;
  for (int i = 0; i < 9; ++i) {
    text += "\"route.k" + std::to_string(i) + "\": \"v\",";
  }
  text += "\"route.k0\": \"new\"";
  Routes r = routes_of(text);
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(r[0], (std::pair<std::string, std::string>{ "k0", "new" }));
  EXPECT_EQ(r[7].first, "k7");
}

TEST(ManifestPickers, ReadsActionsIntoTheGlobalTable) {
  auto reg = std::make_unique<Registry>();
  AppRecord& a = *find_or_add_app(*reg, "alpha");
  manifest_pickers(
      R"({"picker.share": "s;t  ", "picker.a.b": "x", "picker.": "e",)"
      R"( "picker.abcdefghijklmnopqrstuvwxyz": "long"})",
      *reg, a);
  ASSERT_EQ(reg->picker_count, 3);
  EXPECT_STREQ(reg->pickers[0].action, "share");
  EXPECT_STREQ(reg->pickers[0].handler, "alpha");
  EXPECT_STREQ(reg->pickers[0].chain, "s;t  ");  // blanks kept
  EXPECT_EQ(reg->pickers[0].active, 1);
  EXPECT_STREQ(reg->pickers[1].action, "a");
  EXPECT_STREQ(reg->pickers[1].chain, "x");
  EXPECT_STREQ(reg->pickers[2].action, "abcdefghijklmnopqrstuvw");
}

TEST(ManifestPickers, KnownActionMovesToTheLaterApp) {
  auto reg = std::make_unique<Registry>();
  AppRecord& a = *find_or_add_app(*reg, "alpha");
  AppRecord& b = *find_or_add_app(*reg, "beta");
  manifest_pickers(R"("picker.share": "one")", *reg, a);
  reg->pickers[0].active = 0;
  manifest_pickers(R"("picker.share": "two")", *reg, b);
  ASSERT_EQ(reg->picker_count, 1);
  EXPECT_STREQ(reg->pickers[0].handler, "beta");
  EXPECT_STREQ(reg->pickers[0].chain, "two");
  EXPECT_EQ(reg->pickers[0].active, 1);
}

TEST(ManifestPickers, FullTableDropsNewActionsOnly) {
  auto reg = std::make_unique<Registry>();
  AppRecord& a = *find_or_add_app(*reg, "alpha");
  std::string text;
  for (int i = 0; i < 9; ++i) {
    text += "\"picker.p" + std::to_string(i) + "\": \"c\"\n";
  }
  text += "\"picker.p1\": \"again\"";
  manifest_pickers(text, *reg, a);
  ASSERT_EQ(reg->picker_count, MAX_PICKERS);
  EXPECT_STREQ(reg->pickers[7].action, "p7");
  EXPECT_STREQ(reg->pickers[1].chain, "again");
}

// Deterministic, so a failure can be replayed.
struct Rng {
  std::uint64_t s = 0x9E3779B97F4A7C15ull;
  std::uint32_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<std::uint32_t>(s >> 32);
  }
};

// Manifest-like garbage: fragments the reader looks for, separators and
// arbitrary bytes, with no terminator behind the text.
std::unique_ptr<char[]> garbage(Rng& rng, std::size_t len) {
  static const char* const kBits[] = {
    "route.", "picker.",  "\"name\"", "\"exec\"", "\"",        ":",  "=",
    ".",      ",",        " ",        "\t",       "\n",        "\r", "a",
    "\xC3",   "\xE2\x82", "\xF0",     "\\",       "route.a.b",
  };
  auto buf = std::make_unique<char[]>(len);
  std::size_t i = 0;
  while (i < len) {
    std::uint32_t r = rng.next();
    if (r % 3 == 0) {
      buf[i++] = static_cast<char>(r >> 8);  // any byte, NUL too
      continue;
    }
    const char* bit = kBits[(r >> 8) % std::size(kBits)];
    for (std::size_t k = 0; bit[k] != '\0' && i < len; ++k) {
      buf[i++] = bit[k];
    }
  }
  return buf;
}

void check_record(const Registry& reg, const AppRecord& app) {
  ASSERT_LE(app.route_count, MAX_ROUTES);
  for (int i = 0; i < app.route_count; ++i) {
    ASSERT_LE(strnlen(app.routes[i].key, 16), 15u);
    ASSERT_LE(strnlen(app.routes[i].chain, 160), 159u);
    ASSERT_GT(std::strlen(app.routes[i].key), 0u);
  }
  ASSERT_LE(reg.picker_count, MAX_PICKERS);
  for (int i = 0; i < reg.picker_count; ++i) {
    ASSERT_LE(strnlen(reg.pickers[i].action, 24), 23u);
    ASSERT_LE(strnlen(reg.pickers[i].chain, 160), 159u);
  }
}

// Run under the sanitizer build, this is what shows a read or write out of
// bounds: every text sits in a heap block of exactly its size.
TEST(ManifestFuzz, ArbitraryTextStaysInBounds) {
  Rng rng;
  auto reg = std::make_unique<Registry>();
  for (int round = 0; round < 4000; ++round) {
    std::size_t len = round % 10 == 0 ? MANIFEST_TEXT_MAX
                                      : rng.next() % (MANIFEST_TEXT_MAX + 1);
    auto text = garbage(rng, len);
    std::string_view view(text.get(), len);
    for (const char* key : { "name", "exec" }) {
      char out[MANIFEST_VALUE_SIZE];
      manifest_value(view, key, out);
      ASSERT_LE(std::strlen(out), 95u);
      std::string again = out;
      utf8_cut(again.data());
      ASSERT_EQ(std::strlen(again.c_str()), std::strlen(out));
    }
    reg->app_count = 0;
    reg->picker_count = 0;
    AppRecord& app = *find_or_add_app(*reg, "fuzz");
    manifest_routes(view, app);
    manifest_pickers(view, *reg, app);
    check_record(*reg, app);
  }
}

TEST(ManifestFuzz, KeysAtTheVeryEndOfTheText) {
  const char* const tails[] = {
    "\"name\"",       "\"name\":",   "\"name\": ", "\"name\": \"",
    "\"name\": \"ab", "route.",      "route.k",    "route.k:",
    "route.k: ",      "route.k: \"", "route.k.",   "picker.",
    "picker.p",       "picker.p=",   "picker.p.",  "picker.p: \"v",
  };
  auto reg = std::make_unique<Registry>();
  for (const char* tail : tails) {
    std::size_t len = std::strlen(tail);
    auto text = std::make_unique<char[]>(len);
    std::memcpy(text.get(), tail, len);
    std::string_view view(text.get(), len);
    char out[MANIFEST_VALUE_SIZE];
    manifest_value(view, "name", out);
    EXPECT_STREQ(out, "") << tail;
    reg->app_count = 0;
    reg->picker_count = 0;
    AppRecord& app = *find_or_add_app(*reg, "t");
    manifest_routes(view, app);
    manifest_pickers(view, *reg, app);
    check_record(*reg, app);
  }
}

}  // namespace
