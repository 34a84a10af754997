#include "amsd/base/text.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace {

std::vector<std::string> words_of(std::string_view line, int max = 16) {
  std::string_view w[16];
  int n = split_words(line, w, max);
  return std::vector<std::string>(w, w + n);
}

TEST(CopyText, CutsToCapacityAndReportsTheCut) {
  char small[4];
  EXPECT_TRUE(copy_text(small, "abcdef"));
  EXPECT_STREQ(small, "abc");
  EXPECT_FALSE(copy_text(small, "abc"));
  EXPECT_STREQ(small, "abc");
  EXPECT_FALSE(copy_text(small, ""));
  EXPECT_STREQ(small, "");
  EXPECT_FALSE(copy_text(small, std::string_view()));
  EXPECT_STREQ(small, "");
}

TEST(FormatPath, RefusesWhatDoesNotFitWhole) {
  char buf[8];
  EXPECT_EQ(format_path(buf, sizeof buf, "%s/%s", "ab", "cd"), 5);
  EXPECT_STREQ(buf, "ab/cd");
  EXPECT_EQ(format_path(buf, sizeof buf, "%s/%s", "abcd", "efg"), -1);
  EXPECT_EQ(format_path(buf, sizeof buf, "%s", "1234567"), 7);
}

TEST(SplitWords, OnlySpacesSeparateAndWordsAreNeverEmpty) {
  EXPECT_EQ(words_of("  a  b c "), (std::vector<std::string>{ "a", "b", "c" }));
  EXPECT_EQ(words_of("a\tb c"), (std::vector<std::string>{ "a\tb", "c" }));
  EXPECT_TRUE(words_of("    ").empty());
  EXPECT_TRUE(words_of("").empty());
  EXPECT_EQ(words_of("a b c d", 2), (std::vector<std::string>{ "a", "b" }));
}

TEST(ParseNumbers, ReadLikeTheProtocolAndClampToTheWidth) {
  EXPECT_EQ(parse_i32("42"), 42);
  EXPECT_EQ(parse_i32("-17x"), -17);
  EXPECT_EQ(parse_i32("+5"), 5);
  EXPECT_EQ(parse_i32("abc"), 0);
  EXPECT_EQ(parse_i32("--5"), 0);
  EXPECT_EQ(parse_i32(""), 0);
  EXPECT_EQ(parse_i32("\t 7"), 7);
  EXPECT_EQ(parse_i32("99999999999"), 2147483647);
  EXPECT_EQ(parse_i32("-99999999999"), -2147483647 - 1);
  EXPECT_EQ(parse_i64("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(parse_i64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parse_i64("-99999999999999999999999"), INT64_MIN);
  EXPECT_EQ(parse_i64("1234567890123"), 1234567890123);
}

TEST(PutDecimal, WritesWhatPrintfWould) {
  for (std::int64_t v :
       { std::int64_t{ 0 }, std::int64_t{ 7 }, std::int64_t{ -42 },
         std::int64_t{ 1700000001 }, std::numeric_limits<std::int64_t>::min(),
         std::numeric_limits<std::int64_t>::max() }) {
    char out[24];
    std::size_t n = put_decimal(out, v);
    EXPECT_EQ(std::string(out, n), std::to_string(v));
  }
}

}  // namespace
