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

#include "amsd/base/clock.h"
#include "amsd/base/console.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/limits.h"
#include "amsd/base/options.h"
#include "amsd/base/paths.h"
#include "amsd/base/stop_signal.h"
#include "amsd/base/text.h"
#include "amsd/base/unix_addr.h"

namespace {

constexpr char CONSOLE[] = "quor_crash_listener: ";

// One notice per connection: print what the sender wrote until it closes.
void take_notice(int fd) {
  char buf[512];
  std::size_t len = 0;
  std::uint64_t deadline = monotonic_ms() + 1000;
  while (len < sizeof buf - 1 && monotonic_ms() < deadline) {
    if (wait_ready(fd, POLLIN, deadline, 100) != 0) {
      continue;
    }
    ssize_t n = fd_read(fd, buf + len, sizeof buf - 1 - len);
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
  stop_signal_install(-1);

  unlink(path);
  const char* step = nullptr;
  int fd = unix_listen(path, SOCK_CLOEXEC, 8, -1, &step);
  if (fd < 0) {
    console_line(CONSOLE, "%s: %s", path, std::strerror(errno));
    return 1;
  }
  while (!g_stop_requested) {
    struct pollfd p = { fd, POLLIN, 0 };
    if (fd_poll(&p, 1, 1000, &g_stop_requested) <= 0) {
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
