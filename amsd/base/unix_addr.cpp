#include "amsd/base/unix_addr.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "amsd/base/text.h"

socklen_t unix_addr(struct sockaddr_un& addr, const char* path) {
  addr = {};
  addr.sun_family = AF_UNIX;
  copy_text(addr.sun_path, path);
  return sizeof addr;
}

int unix_connect(const char* path, int flags) {
  int fd = socket(AF_UNIX, SOCK_STREAM | flags, 0);
  if (fd < 0) {
    return -1;
  }
  struct sockaddr_un addr;
  socklen_t len = unix_addr(addr, path);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), len) == 0) {
    errno = 0;
    return fd;
  }
  int err = errno;
  if ((flags & SOCK_NONBLOCK) && (err == EINPROGRESS || err == EAGAIN)) {
    return fd;  // the caller waits for it
  }
  close(fd);
  errno = err;
  return -1;
}

int unix_connect_timed(const char* path, int timeout_ms, bool recv_too) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  struct timeval tv = { timeout_ms / 1000, (timeout_ms % 1000) * 1000 };
  // The send time-out also bounds a connect that waits in a full backlog.
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (recv_too) {
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  struct sockaddr_un addr;
  socklen_t len = unix_addr(addr, path);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), len) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

int unix_listen(const char* path, int flags, int backlog, int mode,
                const char** step) {
  *step = "socket";
  int fd = socket(AF_UNIX, SOCK_STREAM | flags, 0);
  if (fd < 0) {
    return -1;
  }
  struct sockaddr_un addr;
  socklen_t len = unix_addr(addr, path);
  *step = "bind";
  int rc = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len);
  if (rc == 0 && mode >= 0) {
    chmod(path, static_cast<mode_t>(mode));
  }
  if (rc == 0) {
    *step = "listen";
    rc = listen(fd, backlog);
  }
  if (rc != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}
