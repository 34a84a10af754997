#include "amsd/launcher/frame.h"

#include "amsd/base/text.h"

IpcHeader make_header(std::uint16_t kind, std::uint32_t length) {
  return IpcHeader{ IPC_MAGIC, IPC_VERSION, kind, 0, length };
}

void encode_header(const IpcHeader& h, std::uint8_t (&out)[IPC_HEADER_SIZE]) {
  store_le32(out + 0, h.magic);
  store_le16(out + 4, h.version);
  store_le16(out + 6, h.kind);
  store_le32(out + 8, h.reserved);
  store_le32(out + 12, h.length);
}

IpcHeader decode_header(const std::uint8_t (&in)[IPC_HEADER_SIZE]) {
  return IpcHeader{ load_le32(in + 0), load_le16(in + 4), load_le16(in + 6),
                    load_le32(in + 8), load_le32(in + 12) };
}

StartRequest make_start_request(std::string_view pkg,
                                std::string_view activity) {
  return make_start_request(pkg, activity, 0, 0, {}, {});
}

StartRequest make_start_request(std::string_view pkg, std::string_view activity,
                                std::uint32_t from_picker, std::uint32_t req,
                                std::string_view action,
                                std::string_view caller) {
  StartRequest r;
  std::memset(&r, 0, sizeof r);
  copy_text(r.pkg, pkg);
  copy_text(r.activity, activity);
  store_le32(&r.from_picker, from_picker);
  store_le32(&r.req, req);
  copy_text(r.action, action);
  copy_text(r.caller, caller);
  return r;
}

KillRequest make_kill_request(std::string_view pkg) {
  KillRequest r;
  std::memset(&r, 0, sizeof r);
  copy_text(r.pkg, pkg);
  return r;
}

void encode_result_reply(std::uint32_t code,
                         std::uint8_t (&out)[RESULT_FRAME_SIZE]) {
  std::uint8_t head[IPC_HEADER_SIZE];
  encode_header(make_header(REPLY_RESULT, 4), head);
  std::memcpy(out, head, sizeof head);
  store_le32(out + IPC_HEADER_SIZE, code);
}

void encode_error_reply(std::uint8_t (&out)[IPC_HEADER_SIZE]) {
  encode_header(make_header(REPLY_ERROR, 0), out);
}
