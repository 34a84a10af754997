#include "amsd/launcher/launcher_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "amsd/base/clock.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/text.h"
#include "amsd/base/unix_addr.h"
#include "amsd/launcher/frame.h"

namespace {

enum class Attempt { kFailed, kResult, kError };

// One exchange on a fresh connection; closes it on every path.
Attempt attempt_once(const char* path, std::uint16_t type, const void* payload,
                     std::uint32_t length, std::uint32_t& code) {
  std::uint64_t deadline = monotonic_ms() + LAUNCHER_ATTEMPT_MS;
  int fd = unix_connect_timed(path, LAUNCHER_IO_TIMEOUT_MS, true);
  if (fd < 0) {
    return Attempt::kFailed;
  }
  std::uint8_t head[IPC_HEADER_SIZE];
  encode_header(make_header(type, length), head);
  std::uint8_t body[REPLY_BODY_MAX];
  std::size_t body_len = 0;
  IpcHeader reply = {};
  bool ok = sock_send_all(fd, head, sizeof head, deadline,
                          LAUNCHER_IO_TIMEOUT_MS) == 0 &&
            sock_send_all(fd, payload, length, deadline,
                          LAUNCHER_IO_TIMEOUT_MS) == 0 &&
            sock_recv_all(fd, head, sizeof head, deadline,
                          LAUNCHER_IO_TIMEOUT_MS) == 0;
  if (ok) {
    reply = decode_header(head);
    ok = reply.magic == IPC_MAGIC && reply.version == IPC_VERSION;
  }
  if (ok) {
    body_len = reply.length < REPLY_BODY_MAX ? reply.length : REPLY_BODY_MAX;
    ok = sock_recv_all(fd, body, body_len, deadline, LAUNCHER_IO_TIMEOUT_MS) ==
         0;
  }
  close(fd);
  if (!ok) {
    return Attempt::kFailed;
  }
  if (reply.kind == REPLY_ERROR) {
    return Attempt::kError;
  }
  // Without its four bytes a result names no code; taking the missing bytes
  // as zero would report an acceptance that never happened.
  if (reply.kind != REPLY_RESULT || body_len < 4) {
    return Attempt::kFailed;
  }
  code = load_le32(body);
  return Attempt::kResult;
}

constinit int retry_pause_ms = LAUNCHER_RETRY_PAUSE_MS;

}  // namespace

void launcher_set_retry_pause_ms(int ms) {
  retry_pause_ms = ms;
}

int launcher_call(const char* ipc_sock_path, std::uint16_t type,
                  const void* payload, std::uint32_t length,
                  std::uint32_t* code_out) {
  if (!ipc_sock_path || (!payload && length > 0)) {
    return -1;
  }
  for (int i = 0; i < 2; ++i) {
    if (i > 0) {
      sleep_whole_ms(retry_pause_ms);
    }
    // Every attempt is a whole new exchange, even when the first request
    // arrived and only its reply was lost.
    std::uint32_t code = 0;
    Attempt a = attempt_once(ipc_sock_path, type, payload, length, code);
    if (a == Attempt::kError) {
      return LAUNCHER_REPLY_ERROR;
    }
    if (a == Attempt::kResult) {
      if (code_out) {
        *code_out = code;
      }
      return 0;
    }
  }
  return -1;
}
