#include "amsd/launcher/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> header_bytes(std::uint16_t kind,
                                       std::uint32_t length) {
  std::uint8_t out[IPC_HEADER_SIZE];
  encode_header(make_header(kind, length), out);
  return std::vector<std::uint8_t>(out, out + sizeof out);
}

TEST(IpcFrame, RequestHeadersMatchTheWireExample) {
  EXPECT_EQ(header_bytes(MSG_KILL, sizeof(KillRequest)),
            (std::vector<std::uint8_t>{ 0x01, 0x52, 0x4F, 0x51, 0x01, 0x00,
                                        0xA1, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0x20, 0x00, 0x00, 0x00 }));
  EXPECT_EQ(header_bytes(MSG_START, sizeof(StartRequest)),
            (std::vector<std::uint8_t>{ 0x01, 0x52, 0x4F, 0x51, 0x01, 0x00,
                                        0xA0, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xA0, 0x00, 0x00, 0x00 }));
}

TEST(IpcFrame, DecodeReadsEveryFieldLittleEndian) {
  const std::uint8_t in[IPC_HEADER_SIZE] = { 0x01, 0x52, 0x4F, 0x51, 0x02, 0x01,
                                             0x03, 0x02, 0x78, 0x56, 0x34, 0x12,
                                             0x04, 0x03, 0x02, 0x01 };
  IpcHeader h = decode_header(in);
  EXPECT_EQ(h.magic, IPC_MAGIC);
  EXPECT_EQ(h.version, 0x0102);
  EXPECT_EQ(h.kind, 0x0203);
  EXPECT_EQ(h.reserved, 0x12345678u);
  EXPECT_EQ(h.length, 0x01020304u);
  std::uint8_t back[IPC_HEADER_SIZE];
  encode_header(h, back);
  EXPECT_EQ(std::vector<std::uint8_t>(back, back + sizeof back),
            std::vector<std::uint8_t>(in, in + sizeof in));
}

TEST(IpcFrame, ReplyFrames) {
  std::uint8_t result[RESULT_FRAME_SIZE];
  encode_result_reply(0x0A0B0C08, result);
  EXPECT_EQ(std::vector<std::uint8_t>(result, result + sizeof result),
            (std::vector<std::uint8_t>{
                0x01, 0x52, 0x4F, 0x51, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00,
                0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x08, 0x0C, 0x0B, 0x0A }));
  std::uint8_t error[IPC_HEADER_SIZE];
  encode_error_reply(error);
  EXPECT_EQ(decode_header(error).kind, REPLY_ERROR);
  EXPECT_EQ(decode_header(error).length, 0u);
}

TEST(IpcFrame, StartRequestLayoutOnTheWire) {
  StartRequest r =
      make_start_request("demo", "a;b", 1, 0x01020304, "pick", "cam");
  const auto* b = reinterpret_cast<const std::uint8_t*>(&r);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b)), "demo");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 32)), "a;b");
  EXPECT_EQ(std::vector<std::uint8_t>(b + 96, b + 104),
            (std::vector<std::uint8_t>{ 1, 0, 0, 0, 4, 3, 2, 1 }));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 104)), "pick");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 128)), "cam");
  EXPECT_EQ(load_le32(&r.req), 0x01020304u);
  // Everything behind the texts stays zero.
  EXPECT_EQ(b[31], 0);
  EXPECT_EQ(b[95], 0);
  EXPECT_EQ(b[159], 0);
}

TEST(IpcFrame, PlainStartFillsOnlyPackageAndActivity) {
  StartRequest r = make_start_request("demo", "Main");
  StartRequest zero = make_start_request("", "");
  EXPECT_EQ(slot_text(r.pkg), "demo");
  EXPECT_EQ(slot_text(r.activity), "Main");
  EXPECT_EQ(std::memcmp(&r.from_picker, &zero.from_picker,
                        sizeof r - offsetof(StartRequest, from_picker)),
            0);
}

TEST(IpcFrame, TextsAreCutToTheirSlots) {
  const std::string long_text(200, 'x');
  StartRequest r =
      make_start_request(long_text, long_text, 1, 2, long_text, long_text);
  EXPECT_EQ(slot_text(r.pkg).size(), 31u);
  EXPECT_EQ(slot_text(r.activity).size(), 63u);
  EXPECT_EQ(slot_text(r.action).size(), 23u);
  EXPECT_EQ(slot_text(r.caller).size(), 31u);
  EXPECT_EQ(load_le32(&r.from_picker), 1u);
  KillRequest k = make_kill_request(long_text);
  EXPECT_EQ(slot_text(k.pkg), std::string(31, 'x'));
}

TEST(IpcFrame, SlotTextStopsAtTheSlotEnd) {
  char full[4] = { 'a', 'b', 'c', 'd' };
  EXPECT_EQ(slot_text(full), "abcd");
  char shorter[4] = { 'a', 0, 'c', 'd' };
  EXPECT_EQ(slot_text(shorter), "a");
}

}  // namespace
