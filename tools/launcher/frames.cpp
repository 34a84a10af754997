#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>

#include "amsd/base/console.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/text.h"
#include "amsd/launcher/frame.h"
#include "tools/launcher/launcher.h"

// IPC requests.

void conn_close(IpcConn& c) {
  close(c.fd);
  c.fd = -1;
}

// The reply goes into a fresh socket's empty buffer; a peer that is gone
// just misses it.
static void conn_reply(IpcConn& c, const std::uint8_t* frame, std::size_t n) {
  ssize_t ignored = sock_send_now(c.fd, frame, n);
  (void)ignored;
  conn_close(c);
}

static void reply_error(IpcConn& c) {
  std::uint8_t frame[IPC_HEADER_SIZE];
  encode_error_reply(frame);
  conn_reply(c, frame, sizeof frame);
}

// Payload bytes a valid request header announces; 0 for anything else.
static std::size_t request_payload(const IpcHeader& h) {
  if (h.magic != IPC_MAGIC || h.version != IPC_VERSION) {
    return 0;
  }
  if (h.kind == MSG_START && h.length == sizeof(StartRequest)) {
    return sizeof(StartRequest);
  }
  if (h.kind == MSG_KILL && h.length == sizeof(KillRequest)) {
    return sizeof(KillRequest);
  }
  return 0;
}

static IpcHeader conn_header(const IpcConn& c) {
  std::uint8_t head[IPC_HEADER_SIZE];
  std::memcpy(head, c.buf, sizeof head);
  return decode_header(head);
}

static void handle_request(Launcher& l, IpcConn& c) {
  const std::uint8_t* payload = c.buf + IPC_HEADER_SIZE;
  bool start = conn_header(c).kind == MSG_START;
  std::uint32_t code;
  if (start) {
    StartRequest r;
    std::memcpy(&r, payload, sizeof r);
    code = start_app(l, r);
  } else {
    KillRequest r;
    std::memcpy(&r, payload, sizeof r);
    code = kill_app(l, r);
  }
  if (code != 0) {
    // Both requests begin with the package slot.
    KillRequest head;
    std::memcpy(&head, payload, sizeof head);
    std::string_view pkg = slot_text(head.pkg);
    console_line(CONSOLE, "%s %.*s refused code=%u", start ? "start" : "kill",
                 text_len(pkg), pkg.data(), code);
  }
  std::uint8_t frame[RESULT_FRAME_SIZE];
  encode_result_reply(code, frame);
  conn_reply(c, frame, sizeof frame);
}

void conn_readable(Launcher& l, IpcConn& c) {
  ssize_t n = sock_recv_now(c.fd, c.buf + c.have, c.need - c.have);
  if (n < 0 && errno == EAGAIN) {
    return;
  }
  if (n <= 0) {
    conn_close(c);
    return;
  }
  c.have += static_cast<std::size_t>(n);
  if (c.have == IPC_HEADER_SIZE && c.need == IPC_HEADER_SIZE) {
    std::size_t payload = request_payload(conn_header(c));
    if (payload == 0) {
      console_line(CONSOLE, "bad request frame");
      reply_error(c);
      return;
    }
    c.need += payload;
  }
  if (c.have == c.need) {
    handle_request(l, c);
  }
}

void accept_requests(Launcher& l, std::uint64_t now) {
  for (IpcConn& c : l.conns) {
    if (c.fd >= 0) {
      continue;
    }
    int fd =
        accept4(l.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      return;
    }
    c.fd = fd;
    c.have = 0;
    c.need = IPC_HEADER_SIZE;
    c.deadline_ms = now + REQUEST_WAIT_MS;
  }
}
