#include "amsd/launcher/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const void* p, std::size_t n) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  return Bytes(b, b + n);
}

// Decoding is left to the launcher_call tests: their replies vary every
// field it reads.
TEST(IpcFrame, HeadersOnTheWire) {
  std::uint8_t out[IPC_HEADER_SIZE];
  encode_header(make_header(MSG_KILL, sizeof(KillRequest)), out);
  EXPECT_EQ(bytes_of(out, sizeof out),
            (Bytes{ 0x01, 0x52, 0x4F, 0x51, 0x01, 0x00, 0xA1, 0x00, 0x00, 0x00,
                    0x00, 0x00, 0x20, 0x00, 0x00, 0x00 }));
  encode_header(make_header(MSG_START, sizeof(StartRequest)), out);
  EXPECT_EQ(bytes_of(out, sizeof out),
            (Bytes{ 0x01, 0x52, 0x4F, 0x51, 0x01, 0x00, 0xA0, 0x00, 0x00, 0x00,
                    0x00, 0x00, 0xA0, 0x00, 0x00, 0x00 }));
  std::uint8_t result[RESULT_FRAME_SIZE];
  encode_result_reply(0x0A0B0C08, result);
  EXPECT_EQ(
      bytes_of(result, sizeof result),
      (Bytes{ 0x01, 0x52, 0x4F, 0x51, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00,
              0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x08, 0x0C, 0x0B, 0x0A }));
}

TEST(IpcFrame, RequestsOnTheWire) {
  StartRequest r =
      make_start_request("demo", "a;b", 1, 0x01020304, "pick", "cam");
  const char* b = reinterpret_cast<const char*>(&r);
  EXPECT_EQ(std::string(b), "demo");
  EXPECT_EQ(std::string(b + 32), "a;b");
  EXPECT_EQ(bytes_of(b + 96, 8), (Bytes{ 1, 0, 0, 0, 4, 3, 2, 1 }));
  EXPECT_EQ(std::string(b + 104), "pick");
  EXPECT_EQ(std::string(b + 128), "cam");
  // A plain start leaves everything after the activity zero.
  StartRequest plain = make_start_request("demo", "Main");
  EXPECT_EQ(bytes_of(&plain.from_picker, 64), Bytes(64, 0));
  // Texts are cut to their slots.
  const std::string long_text(200, 'x');
  r = make_start_request(long_text, long_text, 1, 2, long_text, long_text);
  EXPECT_EQ(slot_text(r.pkg).size(), 31u);
  EXPECT_EQ(slot_text(r.activity).size(), 63u);
  EXPECT_EQ(slot_text(r.action).size(), 23u);
  EXPECT_EQ(slot_text(r.caller).size(), 31u);
  KillRequest k = make_kill_request(long_text);
  EXPECT_EQ(slot_text(k.pkg), std::string(31, 'x'));
  // A received slot without its NUL is read up to the slot's end only.
  char full[4] = { 'a', 'b', 'c', 'd' };
  EXPECT_EQ(slot_text(full), "abcd");
}

}  // namespace
