#include "amsd/daemon/signals.h"

#include <unistd.h>

#include <cerrno>

volatile std::sig_atomic_t g_stop_requested = 0;

// The handler's only other reach: the write end of the wake pipe.
static volatile std::sig_atomic_t g_wake_fd = -1;

static void on_term(int) {
  int saved = errno;
  g_stop_requested = 1;
  char t = 'T';
  // A full pipe drops the byte; one unread byte already wakes the loop.
  ssize_t ignored = write(g_wake_fd, &t, 1);
  (void)ignored;
  errno = saved;
}

void signals_install(int wake_fd) {
  g_wake_fd = wake_fd;
  struct sigaction sa = {};
  sa.sa_handler = on_term;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}
