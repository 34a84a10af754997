// quor_crash_listener: a stand-in for the device's crash listener. It listens
// where quor_amsd sends its crash notices and prints each notice line to
// standard output, until SIGTERM or SIGINT.
//
//   quor_crash_listener [--sock <path>]
//
// "QUOR_CRASH_SOCK" overrides the default path, "--sock" overrides both.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amsd/base/limits.h"
#include "amsd/base/options.h"
#include "amsd/base/paths.h"
#include "amsd/base/text.h"
#include "amsd/base/unix_addr.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_stop(int) {
  g_stop = 1;
}

// One notice per connection: print what the sender wrote until it closes.
void take_notice(int fd) {
  char buf[512];
  std::size_t len = 0;
  std::uint64_t deadline = monotonic_ms() + 1000;
  while (len < sizeof buf - 1 && monotonic_ms() < deadline) {
    struct pollfd p = { fd, POLLIN, 0 };
    if (poll(&p, 1, 100) <= 0) {
      continue;
    }
    ssize_t n = read(fd, buf + len, sizeof buf - 1 - len);
    if (n <= 0) {
      break;
    }
    len += static_cast<std::size_t>(n);
  }
  if (len > 0) {
    std::fwrite(buf, 1, len, stdout);
    if (buf[len - 1] != '\n') {
      std::fputc('\n', stdout);
    }
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  char path[SOCK_PATH_SIZE];
  copy_text(path, paths::DEFAULT_CRASH_SOCK);
  env_override(path, "QUOR_CRASH_SOCK");
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--sock") == 0 && i + 1 < argc) {
      copy_text(path, argv[++i]);
      continue;
    }
    std::fprintf(stderr, "usage: %s [--sock <path>]\n", argv[0]);
    return 2;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_stop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr;
  socklen_t len = unix_addr(addr, path);
  unlink(path);
  if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) != 0 ||
      listen(fd, 8) != 0) {
    std::fprintf(stderr, "quor_crash_listener: %s: %s\n", path,
                 std::strerror(errno));
    return 1;
  }
  while (!g_stop) {
    struct pollfd p = { fd, POLLIN, 0 };
    if (poll(&p, 1, 1000) <= 0) {
      continue;
    }
    int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) {
      take_notice(c);
      close(c);
    }
  }
  close(fd);
  unlink(path);
  return 0;
}
