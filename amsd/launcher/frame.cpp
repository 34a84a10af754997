#include "amsd/launcher/frame.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "amsd/core/text.h"

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

// Waits for the socket to be ready; -1 when the step or the deadline ran out.
static int wait_ready(int fd, short events, std::uint64_t deadline_ms,
                      int step_ms) {
  for (;;) {
    std::uint64_t now = monotonic_ms();
    if (now >= deadline_ms) {
      return -1;
    }
    std::uint64_t left = deadline_ms - now;
    int wait = left < static_cast<std::uint64_t>(step_ms)
                   ? static_cast<int>(left)
                   : step_ms;
    struct pollfd p = { fd, events, 0 };
    int rc = poll(&p, 1, wait);
    if (rc > 0) {
      return 0;  // errors and hang-ups surface in the transfer that follows
    }
    if (rc == 0 || errno != EINTR) {
      return -1;
    }
  }
}

int frame_send(int fd, const void* buf, std::size_t n,
               std::uint64_t deadline_ms, int step_ms) {
  const auto* p = static_cast<const std::uint8_t*>(buf);
  while (n > 0) {
    if (wait_ready(fd, POLLOUT, deadline_ms, step_ms) != 0) {
      return -1;
    }
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (w <= 0) {
      return -1;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

int frame_recv(int fd, void* buf, std::size_t n, std::uint64_t deadline_ms,
               int step_ms) {
  auto* p = static_cast<std::uint8_t*>(buf);
  while (n > 0) {
    if (wait_ready(fd, POLLIN, deadline_ms, step_ms) != 0) {
      return -1;
    }
    ssize_t r = recv(fd, p, n, MSG_DONTWAIT);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (r <= 0) {
      return -1;
    }
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return 0;
}
