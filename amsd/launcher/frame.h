// Frames spoken on the launcher's IPC socket: a 16-byte header, every
// multi-byte field little-endian, followed at once by `length` bytes.
// Requests carry a StartRequest or KillRequest; replies carry a result code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "amsd/base/limits.h"

constexpr std::uint32_t IPC_MAGIC = 0x514F5201;  // 01 52 4F 51 on the wire
constexpr std::uint16_t IPC_VERSION = 1;

// Request kinds.
constexpr std::uint16_t MSG_START = 0xA0;
constexpr std::uint16_t MSG_KILL = 0xA1;

// Reply kinds.
constexpr std::uint16_t REPLY_RESULT = 2;
constexpr std::uint16_t REPLY_ERROR = 3;

// Result codes with a meaning for the daemon; any other non-zero code is a
// refusal.
constexpr std::uint32_t LAUNCH_ACCEPTED = 0;
constexpr std::uint32_t LAUNCH_BUSY = 8;  // to a start: the app runs already

constexpr std::size_t IPC_HEADER_SIZE = 16;
// Reply body bytes the daemon reads; the rest goes with the connection.
constexpr std::size_t REPLY_BODY_MAX = 64;
// A result reply: header plus the four-byte code.
constexpr std::size_t RESULT_FRAME_SIZE = IPC_HEADER_SIZE + 4;

// Host-order view of a header; bytes reach the wire only through
// encode_header, so the host's byte order never matters.
struct IpcHeader {
  std::uint32_t magic;
  std::uint16_t version;
  std::uint16_t kind;
  std::uint32_t reserved;
  std::uint32_t length;  // bytes that follow the header
};
static_assert(sizeof(IpcHeader) == IPC_HEADER_SIZE);
static_assert(offsetof(IpcHeader, magic) == 0);
static_assert(offsetof(IpcHeader, version) == 4);
static_assert(offsetof(IpcHeader, kind) == 6);
static_assert(offsetof(IpcHeader, reserved) == 8);
static_assert(offsetof(IpcHeader, length) == 12);

// The MSG_START payload, sent as it lies in memory. Text fields are
// NUL-terminated inside their slots. The two numbers hold their wire bytes
// (little-endian); use load_le32 / store_le32 on them.
struct StartRequest {
  char pkg[PKG_SIZE];
  char activity[ACTIVITY_SIZE];  // for a picker start: the picker's chain
  std::uint32_t from_picker;
  std::uint32_t req;
  char action[ACTION_SIZE];
  char caller[PKG_SIZE];
};
// The wire layout is fixed: the field sizes it rests on must not move.
static_assert(sizeof(StartRequest) == 160);
static_assert(offsetof(StartRequest, pkg) == 0);
static_assert(offsetof(StartRequest, activity) == 32);
static_assert(offsetof(StartRequest, from_picker) == 96);
static_assert(offsetof(StartRequest, req) == 100);
static_assert(offsetof(StartRequest, action) == 104);
static_assert(offsetof(StartRequest, caller) == 128);

// The MSG_KILL payload.
struct KillRequest {
  char pkg[PKG_SIZE];
};
static_assert(sizeof(KillRequest) == 32);

inline void store_le16(void* p, std::uint16_t v) {
  auto* b = static_cast<std::uint8_t*>(p);
  b[0] = static_cast<std::uint8_t>(v);
  b[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void store_le32(void* p, std::uint32_t v) {
  auto* b = static_cast<std::uint8_t*>(p);
  for (int i = 0; i < 4; ++i) {
    b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

inline std::uint16_t load_le16(const void* p) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

inline std::uint32_t load_le32(const void* p) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  return static_cast<std::uint32_t>(b[0]) |
         (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) |
         (static_cast<std::uint32_t>(b[3]) << 24);
}

// The text of a received slot: up to its first NUL, never past its end,
// so a peer that filled the slot cannot make a reader run over it.
template <std::size_t N>
std::string_view slot_text(const char (&slot)[N]) {
  return std::string_view(slot, strnlen(slot, N));
}

// A header with the magic and version set and reserved zero.
IpcHeader make_header(std::uint16_t kind, std::uint32_t length);

void encode_header(const IpcHeader& h, std::uint8_t (&out)[IPC_HEADER_SIZE]);
IpcHeader decode_header(const std::uint8_t (&in)[IPC_HEADER_SIZE]);

// Requests, zero-filled, every text cut to fit its slot. The plain form
// fills only the package and the activity.
StartRequest make_start_request(std::string_view pkg,
                                std::string_view activity);
StartRequest make_start_request(std::string_view pkg, std::string_view activity,
                                std::uint32_t from_picker, std::uint32_t req,
                                std::string_view action,
                                std::string_view caller);
KillRequest make_kill_request(std::string_view pkg);

// Whole reply frames, as a launcher sends them.
void encode_result_reply(std::uint32_t code,
                         std::uint8_t (&out)[RESULT_FRAME_SIZE]);
void encode_error_reply(std::uint8_t (&out)[IPC_HEADER_SIZE]);
