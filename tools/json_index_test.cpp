#include "tools/json_index.h"

#include <gtest/gtest.h>

#include <string>

namespace {

JsonIndex g_index;

TEST(JsonIndex, TellsValidTextFromInvalidAndWhere) {
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
    json_index(c.text, g_index);
    EXPECT_EQ(g_index.valid, c.error_line == 0) << c.text;
    if (!g_index.valid) {
      EXPECT_EQ(json_line_at(c.text, g_index.error_at), c.error_line) << c.text;
      EXPECT_STREQ(g_index.error, c.error) << c.text;
    }
  }
}

TEST(JsonIndex, RejectsBytesThatAreNotUtf8) {
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
    json_index(c.text, g_index);
    EXPECT_EQ(g_index.utf8, c.utf8) << c.text;
    EXPECT_TRUE(g_index.valid) << c.text;
  }
}

TEST(JsonIndex, RecordsTopLevelMembersAndWhereEachLies) {
  std::string text =
      "{\"na\\u006de\" : \"a\\\"b\", \"n\": 5,\n"
      " \"o\": {\"route.x\": \"y\"}}";
  json_index(text, g_index);
  ASSERT_TRUE(g_index.valid);
  ASSERT_EQ(g_index.count, 3);
  const JsonMember& m = g_index.members[0];
  EXPECT_STREQ(m.key, "name");  // escapes of ASCII decoded
  EXPECT_TRUE(m.string);
  EXPECT_EQ(text.substr(m.key_at, m.key_end - m.key_at + 1), "\"na\\u006de\"");
  EXPECT_EQ(text.substr(m.value_at, m.value_end - m.value_at), "\"a\\\"b\"");
  EXPECT_FALSE(g_index.members[1].string);
  EXPECT_EQ(text.substr(g_index.members[1].value_at, 1), "5");
  // An offset inside a nested value belongs to the member that holds it.
  EXPECT_EQ(json_member_at(g_index, text.find("route.x")), &g_index.members[2]);
  EXPECT_EQ(json_member_at(g_index, text.find('{')), nullptr);
}

}  // namespace
