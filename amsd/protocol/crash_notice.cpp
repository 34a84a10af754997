#include "amsd/protocol/crash_notice.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "amsd/base/clock.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/text.h"
#include "amsd/base/unix_addr.h"

void send_crash_notice(const char* path, std::string_view pkg,
                       std::string_view kind, std::int32_t code,
                       std::int32_t ts, std::int32_t up) {
  char line[256];
  int n = std::snprintf(line, sizeof line, "SVC %.*s %.*s %d %ld %ld\n",
                        text_len(pkg), pkg.data(), text_len(kind), kind.data(),
                        code, static_cast<long>(ts), static_cast<long>(up));
  if (n <= 0) {
    return;
  }
  std::size_t size = std::strlen(line);
  // Non-blocking from the start: a listener that does not accept must not
  // hold the daemon longer than the notice's wait.
  int fd = unix_connect(path, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    return;
  }
  bool ready = errno != EINPROGRESS && errno != EAGAIN;
  if (!ready) {
    ready = wait_ready(fd, POLLOUT, monotonic_ms() + CRASH_NOTICE_WAIT_MS,
                       CRASH_NOTICE_WAIT_MS) == 0;
  }
  if (ready) {
    ssize_t ignored = send(fd, line, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
  }
  close(fd);
}
