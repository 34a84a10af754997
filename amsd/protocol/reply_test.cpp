#include "amsd/protocol/reply.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Three appends into rooms of several sizes; the bytes behind the room must
// stay untouched, and a room of 0 gets not even a terminator.
TEST(Reply, CutsAtRoomMinusOneAndDropsTheRest) {
  struct Case {
    std::size_t room;
    std::string text;
  };
  const Case cases[] = {
    { 32, "one 1\ntwo 2\nx" },
    { 10, "one 1\ntwo" },
    { 1, "" },
    { 0, "" },
  };
  for (const Case& c : cases) {
    std::string bytes(c.room + 32, '#');
    Reply r = reply_start(bytes.data(), c.room);
    reply_printf(r, "one %d\n", 1);
    reply_printf(r, "two %s\n", "2");
    reply_printf(r, "x");
    EXPECT_EQ(r.len, c.text.size()) << c.room;
    if (c.room > 0) {
      EXPECT_EQ(std::string(bytes.c_str()), c.text) << c.room;
    }
    EXPECT_EQ(bytes.find_first_not_of('#', c.room), std::string::npos)
        << c.room;
  }
}

}  // namespace
