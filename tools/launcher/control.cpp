#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "amsd/base/console.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/unix_addr.h"
#include "tools/launcher/launcher.h"

// The control connection.

static void ctl_drop(Control& c, std::uint64_t now) {
  if (c.fd >= 0) {
    close(c.fd);
    c.fd = -1;
  }
  c.sent = 0;
  c.next_try_ms = now + RECONNECT_MS;
}

static bool ctl_connect(Launcher& l, std::uint64_t now) {
  Control& c = l.ctl;
  // A local connect completes at once or fails (EAGAIN: backlog full).
  int fd = unix_connect(l.cfg.ams_sock, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0 && errno == 0) {
    c.fd = fd;
    if (c.failing) {
      console_line(CONSOLE, "control %s connected", l.cfg.ams_sock);
    }
    c.failing = false;
    return true;
  }
  if (fd >= 0) {
    int err = errno;
    close(fd);
    errno = err;
  }
  if (!c.failing) {
    console_line(CONSOLE, "control %s unreachable (%s), retrying",
                 l.cfg.ams_sock, std::strerror(errno));
  }
  c.failing = true;
  c.next_try_ms = now + RECONNECT_MS;
  return false;
}

// Queues one event line (without its newline).
void ctl_queue(Launcher& l, const char* line) {
  Control& c = l.ctl;
  if (c.queue.size() >= QUEUE_MAX) {
    // Drop the oldest line not begun; a begun one must end, or the daemon
    // would read half a line.
    c.queue.erase(c.queue.begin() + (c.sent > 0 ? 1 : 0));
    if (!c.dropping) {
      console_line(CONSOLE,
                   "control line queue full, dropping the oldest lines");
    }
    c.dropping = true;
  }
  c.queue.emplace_back(line);
  c.queue.back().push_back('\n');
}

void ctl_flush(Launcher& l, std::uint64_t now) {
  Control& c = l.ctl;
  if (c.queue.empty()) {
    c.dropping = false;
    return;
  }
  if (c.fd < 0 && (now < c.next_try_ms || !ctl_connect(l, now))) {
    return;
  }
  while (!c.queue.empty()) {
    const std::string& line = c.queue.front();
    ssize_t w = sock_send_now(c.fd, line.data() + c.sent, line.size() - c.sent);
    if (w < 0 && errno == EAGAIN) {
      return;  // the rest goes when the socket takes more
    }
    if (w <= 0) {
      console_line(CONSOLE, "control connection lost: %s",
                   std::strerror(errno));
      c.failing = true;
      ctl_drop(c, now);
      return;
    }
    c.sent += static_cast<std::size_t>(w);
    if (c.sent == line.size()) {
      c.queue.pop_front();
      c.sent = 0;
    }
  }
}

// The daemon never writes to this connection; readability means it closed.
void ctl_readable(Launcher& l, std::uint64_t now) {
  char buf[256];
  ssize_t n = sock_recv_now(l.ctl.fd, buf, sizeof buf);
  if (n > 0 || (n < 0 && errno == EAGAIN)) {
    return;
  }
  console_line(CONSOLE, "control connection closed by the daemon");
  l.ctl.failing = true;
  ctl_drop(l.ctl, now);
}
