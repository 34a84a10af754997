// The event loop's line framing: arbitrary bytes, in arbitrary chunks, into
// one connection, cut into lines the way the loop's passes do it. Every line
// that is not empty as C text must arrive once, in order, at most 2047
// bytes long, up to where the daemon would close the connection: at the end
// of the input, or at a line of 2047 bytes or more, which fills the buffer
// without a newline and is handed on as its last line.
//
// The first byte gives the number of chunk sizes (1 to 8) that follow it,
// one byte each; the rest is written in chunks of those sizes, in turn.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "amsd/daemon/event_loop.h"
#include "fuzz/fuzz_target.h"

namespace {

constexpr int IN_MAX = IN_BUF_SIZE - 1;

using Lines = std::vector<std::string>;

// A line as the dispatcher sees it: C text. An empty one is never handed on.
void add_line(Lines& out, std::string_view bytes) {
  std::size_t n = strnlen(bytes.data(), bytes.size());
  if (n > 0) {
    out.emplace_back(bytes.data(), n);
  }
}

// The lines the whole input holds for the daemon.
Lines expected_lines(std::string_view in) {
  Lines out;
  while (!in.empty()) {
    std::size_t nl = in.find('\n');
    std::size_t len = nl == std::string_view::npos ? in.size() : nl;
    if (len >= static_cast<std::size_t>(IN_MAX)) {
      add_line(out, in.substr(0, IN_MAX));
      break;
    }
    add_line(out, in.substr(0, len));
    if (nl == std::string_view::npos) {
      break;
    }
    in.remove_prefix(nl + 1);
  }
  return out;
}

// The loop's cut_lines, collecting instead of dispatching.
void cut_lines(ClientConn& c, Lines& got) {
  int off = 0;
  while (char* line = conn_next_line(c, off)) {
    std::size_t left = static_cast<std::size_t>(c.in_buf + IN_BUF_SIZE - line);
    FUZZ_CHECK(line >= c.in_buf && left > 0);
    FUZZ_CHECK(strnlen(line, left) < left);
    add_line(got, line);
  }
  conn_keep_rest(c, off);
  FUZZ_CHECK(c.in_len >= 0 && c.in_len <= IN_MAX);
  FUZZ_CHECK(c.in_buf[c.in_len] == '\0');
}

// One pass of the loop over a readable connection, as serve_client makes
// it. Returns true when the daemon would close it, after handing on what
// the buffer holds as the last line, as close_slot does.
bool pass(ClientConn& c, bool hung_up, Lines& got) {
  ReadEnd end = conn_read(c);
  FUZZ_CHECK(end != ReadEnd::kError);
  cut_lines(c, got);
  bool stuck = c.in_len >= IN_MAX;
  if (end == ReadEnd::kMore && !(hung_up && stuck)) {
    return false;
  }
  add_line(got, std::string_view(c.in_buf, static_cast<std::size_t>(c.in_len)));
  return true;
}

int pending_bytes(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

std::size_t chunk_size(std::uint8_t b) {
  return b < 192 ? b + 1u : (b - 191u) * 128u;  // 1..192, then up to 8 KiB
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) {
    return 0;
  }
  std::size_t sizes = 1 + data[0] % 8;
  if (size < 1 + sizes) {
    return 0;
  }
  const std::uint8_t* chunk_bytes = data + 1;
  std::string_view in(reinterpret_cast<const char*>(data + 1 + sizes),
                      size - 1 - sizes);

  int sv[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) == 0);
  ClientConn c{};
  c.fd = sv[0];
  Lines got;
  bool closed = false;
  bool stuck = false;
  std::size_t sent = 0;
  for (std::size_t k = 0; sent < in.size() && !stuck; ++k) {
    std::size_t end = sent + chunk_size(chunk_bytes[k % sizes]);
    if (end > in.size()) {
      end = in.size();
    }
    while (sent < end && !stuck) {
      ssize_t w = write(sv[1], in.data() + sent, end - sent);
      if (w > 0) {
        sent += static_cast<std::size_t>(w);
        continue;
      }
      FUZZ_CHECK(w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
      FUZZ_CHECK(!pass(c, false, got));
      stuck = c.in_len >= IN_MAX;
    }
    // Poll reports the connection readable while it holds bytes; a full
    // buffer is polled only for the hang-up, and reads nothing more.
    while (!stuck && pending_bytes(sv[0]) > 0) {
      FUZZ_CHECK(!pass(c, false, got));
      stuck = c.in_len >= IN_MAX;
    }
  }
  close(sv[1]);
  for (int guard = 0; !closed; ++guard) {
    FUZZ_CHECK(guard <= static_cast<int>(in.size()) + 2);
    closed = pass(c, true, got);
  }
  close(sv[0]);
  FUZZ_CHECK(got == expected_lines(in));
  return 0;
}
