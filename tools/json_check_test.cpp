#include "tools/json_check.h"

#include <gtest/gtest.h>

#include <string>

namespace {

JsonCheck g_check;

TEST(JsonCheck, TellsValidTextFromInvalidAndWhere) {
  struct Case {
    std::string text;
    int error_line;  // 0: valid
    const char* error;
  };
  const Case cases[] = {
    { "{}", 0, "" },
    { " {\"a\": [1, -2.5e+3, 0, true, false, null, {\"b\": []}]}\n", 0, "" },
    { "{\"a\": \"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\"}", 0, "" },
    { "{\"a\": 1,}", 1, "expected a string key" },
    { "{\"a\":\n\"b\"\n\"c\": 1}", 3, "expected \",\" or \"}\"" },
    { "{\"a\": 01}", 1, "expected \",\" or \"}\"" },
    { "{\"a\": 1.}", 1, "bad number" },
    { "{\"a\": tru}", 1, "expected a value" },
    { "{\"a\": \"x\\q\"}", 1, "bad escape in a string" },
    { "{\"a\": \"\\u12\"}", 1, "bad \\u escape" },
    { "{\"a\":\n \"x", 2, "unterminated string" },
    { "{\"a\": \"\x01\"}", 1, "control character in a string" },
    { "{\"a\" 1}", 1, "expected \":\"" },
    { "[1]", 1, "not a JSON object" },
    { "", 1, "not a JSON object" },
    { "{} {}", 1, "text after the object" },
    { "{\"a\": " + std::string(70, '[') + std::string(70, ']') + "}", 1,
      "nested too deep" },
  };
  for (const Case& c : cases) {
    json_check(c.text, c.text.size(), g_check);
    EXPECT_EQ(g_check.valid, c.error_line == 0) << c.text;
    if (!g_check.valid) {
      EXPECT_EQ(json_line_at(c.text, g_check.error_at), c.error_line) << c.text;
      EXPECT_STREQ(g_check.error, c.error) << c.text;
    }
  }
}

TEST(JsonCheck, RejectsBytesThatAreNotUtf8) {
  struct Case {
    std::string text;
    bool utf8;
  };
  const Case cases[] = {
    { "{\"a\": \"caf\xc3\xa9 \xf0\x9f\x98\x80\"}", true },
    { "{\"a\": \"caf\xe9\"}", false },
    { "{\"a\": \"\xc0\xaf\"}", false },          // overlong
    { "{\"a\": \"\xed\xa0\x80\"}", false },      // a surrogate
    { "{\"a\": \"\xf4\x90\x80\x80\"}", false },  // beyond U+10FFFF
    { "{\"a\": \"\xe2\x82\"}", false },          // cut short
  };
  for (const Case& c : cases) {
    json_check(c.text, c.text.size(), g_check);
    EXPECT_EQ(g_check.utf8_ok, c.utf8) << c.text;
    EXPECT_TRUE(g_check.valid) << c.text;
  }
}

TEST(JsonCheck, RecordsTopLevelMembersDecodedAndWhereEachStringLies) {
  std::string text =
      "{\"na\\u006de\" : \"a\\ud83d\\ude00\\ud800\", \"n\": 5,\n"
      " \"o\": {\"route.x\": \"y\"}}";
  json_check(text, text.size(), g_check);
  ASSERT_TRUE(g_check.valid);
  ASSERT_EQ(g_check.member_count, 3);
  const JsonMember& m = g_check.members[0];
  EXPECT_STREQ(m.key, "name");
  EXPECT_EQ(m.kind, JsonKind::kString);
  EXPECT_STREQ(m.value, "a\xf0\x9f\x98\x80\xef\xbf\xbd");  // lone half: U+FFFD
  EXPECT_EQ(m.value_len, 8u);
  EXPECT_EQ(text[m.key_at], '"');
  EXPECT_EQ(text[m.colon_at], ':');
  EXPECT_EQ(text[m.value_at], '"');
  EXPECT_EQ(g_check.members[1].kind, JsonKind::kOther);
  EXPECT_EQ(text.substr(g_check.members[1].value_at, 1), "5");
  const JsonString* s = json_string_at(g_check, text.find("route.x"));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->member, 2);
  EXPECT_EQ(s->role, JsonRole::kNested);
  EXPECT_EQ(json_string_at(g_check, text.find("5")), nullptr);
  // Strings from the limit on are not recorded.
  json_check(text, text.find("\"o\""), g_check);
  EXPECT_EQ(json_string_at(g_check, text.find("route.x")), nullptr);
}

}  // namespace
