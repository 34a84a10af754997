#include "amsd/base/fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "amsd/base/clock.h"

// Calls f again for as long as a signal cuts it short.
template <typename F>
static ssize_t retried(F f) {
  ssize_t k;
  do {
    k = f();
  } while (k < 0 && errno == EINTR);
  return k;
}

ssize_t fd_read(int fd, void* buf, std::size_t n) {
  return retried([&] { return read(fd, buf, n); });
}

ssize_t fd_write(int fd, const void* buf, std::size_t n) {
  return retried([&] { return write(fd, buf, n); });
}

ssize_t sock_send_now(int fd, const void* buf, std::size_t n) {
  return retried([&] { return send(fd, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT); });
}

ssize_t sock_recv_now(int fd, void* buf, std::size_t n) {
  return retried([&] { return recv(fd, buf, n, MSG_DONTWAIT); });
}

void fd_drain(int fd) {
  char buf[64];
  while (fd_read(fd, buf, sizeof buf) > 0) {
  }
}

int fd_poll(struct pollfd* fds, nfds_t n, int timeout_ms,
            const volatile std::sig_atomic_t* stop) {
  std::uint64_t end =
      timeout_ms < 0 ? 0 : monotonic_ms() + static_cast<unsigned>(timeout_ms);
  for (;;) {
    int rc = poll(fds, n, timeout_ms);
    if (rc >= 0 || errno != EINTR) {
      return rc;
    }
    if (stop && *stop) {
      return 0;
    }
    if (timeout_ms > 0) {
      std::uint64_t now = monotonic_ms();
      timeout_ms = now >= end ? 0 : static_cast<int>(end - now);
    }
  }
}

int open_regular(const char* path, int flags, mode_t mode) {
  int fd = open(path, flags | O_CLOEXEC, mode);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

ssize_t read_small_file(const char* path, char* buf, std::size_t cap,
                        unsigned how) {
  if (cap == 0) {
    return -1;
  }
  buf[0] = '\0';
  int fd = how & SMALL_FILE_REGULAR
               ? open_regular(path, O_RDONLY | O_NONBLOCK)
               : open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  std::size_t got = 0;
  while (got < cap - 1) {
    ssize_t k = fd_read(fd, buf + got, cap - 1 - got);
    if (k < 0) {
      close(fd);
      buf[0] = '\0';
      return -1;
    }
    got += static_cast<std::size_t>(k);
    if (k == 0 || (how & SMALL_FILE_ONE_READ)) {
      break;
    }
  }
  close(fd);
  buf[got] = '\0';
  return static_cast<ssize_t>(got);
}

bool child_exited(pid_t pid, int* result) {
  siginfo_t si = {};
  int r;
  do {
    r = waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  *result = r;
  return r == 0 && si.si_pid == pid;
}

void child_reap(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::size_t fd_append_whole(int fd, const void* buf, std::size_t len) {
  ssize_t n = fd_write(fd, buf, len);
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
    ssize_t k = out ? sock_send_now(fd, p, n) : sock_recv_now(fd, p, n);
    if (k < 0 && errno == EAGAIN) {
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
