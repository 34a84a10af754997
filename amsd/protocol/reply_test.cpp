#include "amsd/protocol/reply.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A buffer with guard bytes behind the room handed out.
struct Guarded {
  explicit Guarded(std::size_t n) : room(n), bytes(n + 32, '#') {}
  std::string text() const { return bytes.c_str(); }
  bool guard_intact() const {
    return bytes.find_first_not_of('#', room) == std::string::npos;
  }
  std::size_t room;
  std::string bytes;
};

TEST(Reply, AppendsWhileThereIsRoom) {
  Guarded g(32);
  Reply r = reply_start(g.bytes.data(), g.room);
  EXPECT_EQ(g.text(), "");
  reply_printf(r, "one %d\n", 1);
  reply_printf(r, "two %s\n", "2");
  EXPECT_EQ(g.text(), "one 1\ntwo 2\n");
  EXPECT_EQ(r.len, 12u);
  EXPECT_TRUE(g.guard_intact());
}

TEST(Reply, CutsAtRoomMinusOneAndDropsTheRest) {
  Guarded g(10);
  Reply r = reply_start(g.bytes.data(), g.room);
  reply_printf(r, "header\n");
  reply_printf(r, "line two\n");
  reply_printf(r, "x");
  EXPECT_EQ(g.text(), "header\nli");
  EXPECT_EQ(r.len, 9u);
  EXPECT_TRUE(g.guard_intact());
}

TEST(Reply, RoomOfOneHoldsTheEmptyText) {
  Guarded g(1);
  Reply r = reply_start(g.bytes.data(), g.room);
  reply_printf(r, "anything\n");
  EXPECT_EQ(g.text(), "");
  EXPECT_EQ(r.len, 0u);
  EXPECT_TRUE(g.guard_intact());
}

TEST(Reply, NoRoomWritesNothing) {
  Guarded g(0);
  Reply r = reply_start(g.bytes.data(), g.room);
  reply_printf(r, "anything\n");
  EXPECT_EQ(r.len, 0u);
  EXPECT_TRUE(g.guard_intact());
  EXPECT_EQ(g.bytes[0], '#');
}

}  // namespace
