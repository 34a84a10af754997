#include "amsd/daemon/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

namespace {

TEST(Config, LauncherUidIsADecimalUidOrNothing) {
  const std::pair<const char*, std::int64_t> cases[] = {
    { "1000", 1000 },     { "0", 0 },   { "4294967294", 4294967294 },
    { "4294967295", -1 }, { "", -1 },   { "-1", -1 },
    { " 7", -1 },         { "7x", -1 }, { "99999999999999999999", -1 },
  };
  for (const auto& [text, want] : cases) {
    EXPECT_EQ(config_parse_uid(text), want) << text;
  }
}

}  // namespace
