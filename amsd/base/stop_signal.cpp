#include "amsd/base/stop_signal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

volatile std::sig_atomic_t g_stop_requested = 0;

// The handler's only other reach: the write end of the wake pipe.
static volatile std::sig_atomic_t g_wake_fd = -1;

static void on_signal(int sig) {
  int saved = errno;
  if (sig != SIGCHLD) {
    g_stop_requested = 1;
  }
  if (g_wake_fd >= 0) {
    char t = 'T';
    // A full pipe drops the byte; one unread byte already wakes the loop.
    ssize_t ignored = write(g_wake_fd, &t, 1);
    (void)ignored;
  }
  errno = saved;
}

int wake_pipe_open(int (&fds)[2]) {
  return pipe2(fds, O_CLOEXEC | O_NONBLOCK);
}

void stop_signal_install(int wake_fd, bool wake_on_child) {
  g_wake_fd = wake_fd;
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (wake_on_child) {
    sa.sa_flags = SA_NOCLDSTOP | SA_RESTART;
    sigaction(SIGCHLD, &sa, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
}
