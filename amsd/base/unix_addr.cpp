#include "amsd/base/unix_addr.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
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

void fd_set_nonblock(int fd) {
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) {
    fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  }
}

std::size_t fd_append_whole(int fd, const void* buf, std::size_t len) {
  ssize_t n = write(fd, buf, len);
  if (n <= 0) {
    return 0;
  }
  auto wrote = static_cast<std::size_t>(n);
  if (wrote == len) {
    return len;
  }
  off_t end = lseek(fd, 0, SEEK_CUR);
  if (end >= n && ftruncate(fd, end - n) == 0) {
    return 0;
  }
  return wrote;
}

bool fd_at_path(int fd, const char* path) {
  struct stat open_st;
  struct stat path_st;
  return fd >= 0 && fstat(fd, &open_st) == 0 && stat(path, &path_st) == 0 &&
         path_st.st_dev == open_st.st_dev && path_st.st_ino == open_st.st_ino;
}

int wait_ready(int fd, short events, std::uint64_t deadline_ms, int step_ms) {
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

// One direction of a whole transfer: out sends from p, else receives into p.
static int transfer(int fd, std::uint8_t* p, std::size_t n, bool out,
                    std::uint64_t deadline_ms, int step_ms) {
  while (n > 0) {
    if (wait_ready(fd, out ? POLLOUT : POLLIN, deadline_ms, step_ms) != 0) {
      return -1;
    }
    ssize_t k = out ? send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT)
                    : recv(fd, p, n, MSG_DONTWAIT);
    if (k < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (k <= 0) {
      return -1;
    }
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return 0;
}

int sock_send_all(int fd, const void* buf, std::size_t n,
                  std::uint64_t deadline_ms, int step_ms) {
  // Only read from: the cast serves the shared loop.
  auto* p = const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(buf));
  return transfer(fd, p, n, true, deadline_ms, step_ms);
}

int sock_recv_all(int fd, void* buf, std::size_t n, std::uint64_t deadline_ms,
                  int step_ms) {
  return transfer(fd, static_cast<std::uint8_t*>(buf), n, false, deadline_ms,
                  step_ms);
}
