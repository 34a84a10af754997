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
  const std::pair<std::string, std::string> cases[] = {
    { R"({"name" : "Demo App"})", "Demo App" },
    { "{\"name\"\n  :\"Colon below\"}", "Colon below" },
    { "{\"name\":\n  \"Value below\"}", "" },
    { R"({"name": 42})", "" },
    { R"({"label": "x"})", "" },
    { R"({"name": "Open)", "" },
    { R"({"name")", "" },
    { R"({"name": "a\"b"})", "a\\" },  // no escapes
    { R"({"name": "First", "name": "Second"})", "First" },
    { R"({"nickname": "N", "name": "Real"})", "Real" },
    { "{\"name\": \"A\0B\"}"s, "" },  // the text ends at a zero byte
    { "\"name\": \"" + std::string(120, 'v') + "\"", std::string(95, 'v') },
    // A two-byte character across byte 95 is dropped whole.
    { "\"name\":\"" + std::string(94, 'a') + "\xC3\xA9tail\"",
      std::string(94, 'a') },
  };
  for (const auto& [text, want] : cases) {
    EXPECT_EQ(value_of(text, "name"), want) << text;
  }
}

TEST(Utf8Cut, EndsTheTextBeforeAnIncompleteSequence) {
  const std::pair<std::string, std::string> cases[] = {
    { "plain", "plain" },       { "a\xC3", "a" },
    { "ab\xE2\x82", "ab" },     { "x\xF0\x9F\x98", "x" },
    { "ab\xFF", "ab" },         { "\xE2\x82\xAC", "\xE2\x82\xAC" },
    { "\x80\xBF", "\x80\xBF" },  // stray continuation bytes count one each
    { "\xDF\x41", "\xDF\x41" },  // continuation bytes are not validated
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
  const std::pair<std::string, Routes> cases[] = {
    { "{\"route.home\": \"a b \t \"}", { { "home", "a b" } } },
    { R"({"route.home": "a,b"})", { { "home", "a" } } },
    { "route.home=x;y\nroute.set:\tz\r\n",
      { { "home", "x;y" }, { "set", "z" } } },
    { R"({"route.a.b": "x"})", {} },
    { R"({"route.": "x"})", {} },
    { R"({"route.home"})", { { "home", "" } } },
    { R"({"route.home": })", { { "home", "}" } } },
    { R"({"route.abcdefghijklmnopqrst": "v"})",
      { { "abcdefghijklmno", "v" } } },
    { "\"route.long\": \"" + std::string(200, 'c') + "\"",
      { { "long", std::string(159, 'c') } } },
    { R"({"route.a": "1", "route.a": "2"})", { { "a", "2" } } },
    // "route." is found anywhere, even inside a value.
    { R"({"exec": "/bin/route.sh", "x": "y"})", { { "sh", "y" } } },
    { "{\"route.x\": \"kept\"}\0\"route.y\": \"gone\""s, { { "x", "kept" } } },
  };
  for (const auto& [text, want] : cases) {
    EXPECT_EQ(routes_of(text), want) << text;
  }
}

TEST(ManifestRoutes, FullListStillUpdatesKnownKeys) {
  std::string text;
  for (int i = 0; i < 9; ++i) {
    text += "\"route.k" + std::to_string(i) + "\": \"v\",";
  }
  Routes r = routes_of(text + "\"route.k0\": \"new\"");
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(r[0], (std::pair<std::string, std::string>{ "k0", "new" }));
  EXPECT_EQ(r[7].first, "k7");
}

TEST(ManifestPickers, ReadsActionsIntoTheGlobalTable) {
  auto reg = std::make_unique<Registry>();
  manifest_pickers(
      R"({"picker.share": "s;t  ", "picker.a.b": "x", "picker.": "e",)"
      R"( "picker.abcdefghijklmnopqrstuvwxyz": "long"})",
      *reg, *find_or_add_app(*reg, "alpha"));
  ASSERT_EQ(reg->picker_count, 3);
  EXPECT_STREQ(reg->pickers[0].action, "share");
  EXPECT_STREQ(reg->pickers[0].handler, "alpha");
  EXPECT_STREQ(reg->pickers[0].chain, "s;t  ");  // blanks kept
  EXPECT_EQ(reg->pickers[0].active, 1);
  EXPECT_STREQ(reg->pickers[1].action, "a");
  EXPECT_STREQ(reg->pickers[1].chain, "x");
  EXPECT_STREQ(reg->pickers[2].action, "abcdefghijklmnopqrstuvw");
  // A known action, even an inactive one, moves to the app read later.
  reg->pickers[0].active = false;
  manifest_pickers(R"("picker.share": "two")", *reg,
                   *find_or_add_app(*reg, "beta"));
  EXPECT_EQ(reg->picker_count, 3);
  EXPECT_STREQ(reg->pickers[0].handler, "beta");
  EXPECT_STREQ(reg->pickers[0].chain, "two");
  EXPECT_EQ(reg->pickers[0].active, 1);
}

TEST(ManifestPickers, FullTableDropsNewActionsOnly) {
  auto reg = std::make_unique<Registry>();
  std::string text;
  for (int i = 0; i < 9; ++i) {
    text += "\"picker.p" + std::to_string(i) + "\": \"c\"\n";
  }
  manifest_pickers(text + "\"picker.p1\": \"again\"", *reg,
                   *find_or_add_app(*reg, "alpha"));
  ASSERT_EQ(reg->picker_count, MAX_PICKERS);
  EXPECT_STREQ(reg->pickers[7].action, "p7");
  EXPECT_STREQ(reg->pickers[1].chain, "again");
}

// Runs every reader over text that lies in a heap block of exactly its size
// with no terminator behind it, so the sanitizer build shows any read past
// its end. Returns the value of "name".
std::string read_all_ways(const std::string& text) {
  auto block = std::make_unique<char[]>(text.size());
  std::memcpy(block.get(), text.data(), text.size());
  std::string_view view(block.get(), text.size());
  char name[MANIFEST_VALUE_SIZE];
  manifest_value(view, "name", name);
  std::string cut = name;
  utf8_cut(cut.data());
  EXPECT_EQ(cut.c_str(), std::string(name));
  auto reg = std::make_unique<Registry>();
  AppRecord& app = *find_or_add_app(*reg, "fuzz");
  manifest_routes(view, app);
  manifest_pickers(view, *reg, app);
  for (int i = 0; i < app.route_count; ++i) {
    EXPECT_NE(app.routes[i].key[0], '\0');
  }
  return name;
}

// Keys cut off at the very end of the text first; then manifest-like
// garbage from a fixed seed, so a failure can be replayed: the fragments the
// reader looks for, separators and arbitrary bytes.
TEST(ManifestFuzz, ArbitraryTextStaysInBounds) {
  for (const char* tail :
       { "\"name\"", "\"name\": ", "\"name\": \"", "\"name\": \"ab", "route.",
         "route.k", "route.k: ", "route.k: \"", "route.k.", "picker.",
         "picker.p=", "picker.p.", "picker.p: \"v" }) {
    EXPECT_EQ(read_all_ways(tail), "") << tail;
  }
  static const char* const kBits[] = {
    "route.", "picker.", "\"name\"", "\"",       ":",    "=",
    ".",      ",",       " ",        "\t",       "\n",   "\r",
    "a",      "\\",      "\xC3",     "\xE2\x82", "\xF0", "route.a.b",
  };
  std::uint64_t s = 0x9E3779B97F4A7C15ull;  // xorshift
  for (int round = 0; round < 4000 && !HasFailure(); ++round) {
    std::string text;
    std::size_t len = round % 10 == 0 ? MANIFEST_TEXT_MAX : s % 2048;
    while (text.size() < len) {
      s ^= s << 13;
      s ^= s >> 7;
      s ^= s << 17;
      text += s % 3 == 0 ? std::string(1, static_cast<char>(s >> 40))
                         : kBits[(s >> 8) % std::size(kBits)];
    }
    text.resize(len);
    SCOPED_TRACE(round);
    read_all_ways(text);
  }
}

// What quor_manifest is told: where each match began, its key, and the
// bytes taken, written out as "field used match key|value".
TEST(ManifestSpans, NoteWhereEachValueWasTaken) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
    { R"({"name": "N", "x": "name"})", { "v 1 2 name|N" } },
    { "{\"exec\":\n \"E\"}", { "v 0 2 exec|" } },
    { R"({"note": "route.a=1,2", "route.b.c": "x"})",
      { "r 1 10 a|1", "r 0 25 b|x" } },
    { R"({"route.t": "t  ", "picker.t": "t  ", "picker.a.b": "y"})",
      { "r 1 2 t|t", "p 1 20 t|t  ", "p 1 39 a|y" } },
    { "{\"route.long\": \"" + std::string(170, 'c') + "\"}",
      { "r 1 2 long|" + std::string(159, 'c') } },
  };
  for (const auto& [text, want] : cases) {
    auto reg = std::make_unique<Registry>();
    auto spans = std::make_unique<ManifestSpans>();
    AppRecord& app = reg->apps[reg->app_count++];
    char value[MANIFEST_VALUE_SIZE];
    manifest_value(text, "name", value, spans.get());
    manifest_value(text, "exec", value, spans.get());
    manifest_routes(text, app, spans.get());
    manifest_pickers(text, *reg, app, spans.get());
    std::vector<std::string> got;
    for (int i = 0; i < spans->count; ++i) {
      const ManifestSpan& x = spans->at[i];
      got.push_back(std::string(1, "vrp"[static_cast<int>(x.field)]) + " " +
                    (x.used ? "1 " : "0 ") + std::to_string(x.match) + " " +
                    text.substr(x.key_at, x.key_end - x.key_at) + "|" +
                    text.substr(x.value_at, x.value_end - x.value_at));
    }
    EXPECT_EQ(got, want) << text;
  }
}

}  // namespace
