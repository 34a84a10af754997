// quor_ctl: sends one line to quor_amsd's control socket and prints what the
// daemon answers until it closes the connection.
//
//   quor_ctl [--sock <path>] <word>...
//
// The words are joined with single spaces. Options are read only before the
// first word, so later words may begin with "-" (a negative result code).
// Exit status: 0 after the daemon closed the connection, 1 when it cannot be
// reached or does not finish within the time-out, 2 on bad usage.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amsd/base/paths.h"
#include "amsd/base/text.h"

namespace {

constexpr int REPLY_WAIT_MS = 5000;  // for the whole reply
// The daemon holds at most 2047 bytes of one line.
constexpr std::size_t LINE_MAX = 2047;

int usage(const char* prog) {
  std::fprintf(stderr, "usage: %s [--sock <path>] <word>...\n", prog);
  return 2;
}

int write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) {
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

// Copies the reply to stdout until the daemon closes; -1 on a time-out or
// error.
int relay_reply(int fd) {
  std::uint64_t deadline = monotonic_ms() + REPLY_WAIT_MS;
  char buf[4096];
  for (;;) {
    std::uint64_t now = monotonic_ms();
    if (now >= deadline) {
      std::fprintf(stderr, "quor_ctl: no end of reply within %d ms\n",
                   REPLY_WAIT_MS);
      return -1;
    }
    struct pollfd p = { fd, POLLIN, 0 };
    int rc = poll(&p, 1, static_cast<int>(deadline - now));
    if (rc < 0 && errno == EINTR) {
      continue;
    }
    if (rc <= 0) {
      continue;  // the deadline check above ends it
    }
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n == 0) {
      return 0;
    }
    if (n < 0) {
      std::fprintf(stderr, "quor_ctl: read: %s\n", std::strerror(errno));
      return -1;
    }
    std::fwrite(buf, 1, static_cast<std::size_t>(n), stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* prog = argc > 0 && argv[0] ? argv[0] : "quor_ctl";
  char sock[108];
  copy_text(sock, paths::DEFAULT_SOCK);
  const char* env = std::getenv("QUOR_AMS_SOCK");
  if (env && env[0]) {
    copy_text(sock, env);
  }
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (std::strcmp(argv[i], "--sock") == 0 && i + 1 < argc) {
      copy_text(sock, argv[++i]);
    } else if (std::strcmp(argv[i], "-h") == 0 ||
               std::strcmp(argv[i], "--help") == 0) {
      usage(prog);
      return 0;
    } else {
      break;  // a first word that begins with "-"
    }
  }
  if (i >= argc || (std::strcmp(argv[i], "--sock") == 0 && i + 1 >= argc)) {
    return usage(prog);
  }
  char line[LINE_MAX + 1];
  std::size_t len = 0;
  for (; i < argc; ++i) {
    std::size_t n = std::strlen(argv[i]);
    std::size_t sep = len > 0 ? 1 : 0;
    if (len + sep + n + 1 > LINE_MAX) {
      std::fprintf(stderr, "quor_ctl: line longer than %zu bytes\n",
                   LINE_MAX - 1);
      return 2;
    }
    if (sep) {
      line[len++] = ' ';
    }
    std::memcpy(line + len, argv[i], n);
    len += n;
  }
  line[len++] = '\n';

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  copy_text(addr.sun_path, sock);
  if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr*>(&addr),
                        sizeof addr) != 0) {
    std::fprintf(stderr, "quor_ctl: connect %s: %s\n", sock,
                 std::strerror(errno));
    return 1;
  }
  if (write_all(fd, line, len) != 0) {
    std::fprintf(stderr, "quor_ctl: write: %s\n", std::strerror(errno));
    close(fd);
    return 1;
  }
  // The daemon answers a command, or just closes after an event line, once
  // it sees the end of what we send.
  shutdown(fd, SHUT_WR);
  int rc = relay_reply(fd);
  close(fd);
  std::fflush(stdout);
  return rc == 0 ? 0 : 1;
}
