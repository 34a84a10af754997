#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
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
#include "tools/launcher/launcher.h"

static int setup_signals(Launcher& l) {
  int p[2];
  if (wake_pipe_open(p) != 0) {
    console_line(CONSOLE, "pipe: %s", std::strerror(errno));
    return -1;
  }
  l.sig_fd = p[0];
  // SIGCHLD wakes the loop too, to reap at once.
  stop_signal_install(p[1], true);
  return 0;
}

static int parse_args(LauncherConfig& cfg, int argc, char** argv) {
  const ValueOption opts[] = {
    value_option("--ipc-sock", "QUOR_IPC_SOCK", cfg.ipc_sock),
    value_option("--sock", "QUOR_AMS_SOCK", cfg.ams_sock),
    value_option("--apps", "QUOR_AMSD_APPS", cfg.apps_dir),
  };
  copy_text(cfg.ipc_sock, paths::DEFAULT_IPC_SOCK);
  copy_text(cfg.ams_sock, paths::DEFAULT_SOCK);
  copy_text(cfg.apps_dir, paths::DEFAULT_APPS);
  int status = options_parse(opts, argc, argv,
                             "[--ipc-sock <p>] [--sock <p>] [--apps <dir>]");
  if (status == OPTIONS_RUN) {
    options_apply_env(opts);
  }
  return status;
}

// Descriptors 0-2 must be taken before any pipe is made, or an app's stdout
// pipe could land on one of them and be lost in the child's dup2.
static void keep_std_fds_taken() {
  for (;;) {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
      return;
    }
    if (fd > 2) {
      close(fd);
      return;
    }
  }
}

static int open_listener(const char* path) {
  unlink(path);
  const char* step = nullptr;
  int fd = unix_listen(path, SOCK_CLOEXEC | SOCK_NONBLOCK, LISTEN_BACKLOG, -1,
                       &step);
  if (fd < 0) {
    if (std::strcmp(step, "socket") == 0) {
      console_line(CONSOLE, "socket: %s", std::strerror(errno));
    } else {
      console_line(CONSOLE, "listen %s: %s", path, std::strerror(errno));
    }
    return -1;
  }
  return fd;
}

// The loop.

static int running_apps(const Launcher& l) {
  int n = 0;
  for (const App& a : l.apps) {
    n += a.pid > 0 ? 1 : 0;
  }
  return n;
}

static void begin_stop(Launcher& l) {
  close(l.listen_fd);
  l.listen_fd = -1;
  unlink(l.cfg.ipc_sock);
  for (IpcConn& c : l.conns) {
    if (c.fd >= 0) {
      conn_close(c);
    }
  }
  for (const App& a : l.apps) {
    if (a.pid > 0) {
      signal_app(a, SIGTERM);
    }
  }
}

static int poll_timeout(const Launcher& l, std::uint64_t now,
                        std::uint64_t stop_deadline) {
  std::uint64_t t = now + POLL_MS;
  for (const IpcConn& c : l.conns) {
    if (c.fd >= 0 && c.deadline_ms < t) {
      t = c.deadline_ms;
    }
  }
  if (l.ctl.fd < 0 && !l.ctl.queue.empty() && l.ctl.next_try_ms < t) {
    t = l.ctl.next_try_ms;
  }
  if (stop_deadline != 0 && stop_deadline < t) {
    t = stop_deadline;
  }
  return t > now ? static_cast<int>(t - now) : 0;
}

constexpr int FIXED_FDS = 3;  // self-pipe, listener, control
constexpr int POLL_FDS = FIXED_FDS + MAX_IPC_CONNS + MAX_APPS;

// What the next poll watches; a negative descriptor is left out by poll.
static void fill_polls(const Launcher& l, struct pollfd (&p)[POLL_FDS]) {
  bool conns_full = true;
  for (int i = 0; i < MAX_IPC_CONNS; ++i) {
    p[FIXED_FDS + i] = { l.conns[i].fd, POLLIN, 0 };
    conns_full = conns_full && l.conns[i].fd >= 0;
  }
  p[0] = { l.sig_fd, POLLIN, 0 };
  p[1] = { conns_full ? -1 : l.listen_fd, POLLIN, 0 };
  short ctl_events = l.ctl.queue.empty() ? POLLIN : POLLIN | POLLOUT;
  p[2] = { l.ctl.fd, ctl_events, 0 };
  for (int i = 0; i < MAX_APPS; ++i) {
    p[FIXED_FDS + MAX_IPC_CONNS + i] = { l.apps[i].out_fd, POLLIN, 0 };
  }
}

// Acts on what the poll found (rc > 0), then on what every pass does.
static void serve(Launcher& l, const struct pollfd (&p)[POLL_FDS], int rc,
                  std::uint64_t now) {
  if (rc > 0) {
    for (int i = 0; i < MAX_APPS; ++i) {
      App& a = l.apps[i];
      const pollfd& e = p[FIXED_FDS + MAX_IPC_CONNS + i];
      if (e.revents && a.out_fd >= 0 && a.out_fd == e.fd) {
        read_output(l, a);
      }
    }
    if (p[0].revents & POLLIN) {
      fd_drain(l.sig_fd);
    }
  }
  reap_children(l);  // every pass: cheap, and no SIGCHLD can be missed
  for (int i = 0; i < MAX_IPC_CONNS; ++i) {
    IpcConn& c = l.conns[i];
    if (c.fd >= 0 && rc > 0 && p[FIXED_FDS + i].revents &&
        c.fd == p[FIXED_FDS + i].fd) {
      conn_readable(l, c);
    }
    // A stalled client loses its connection; others go on meanwhile.
    if (c.fd >= 0 && now >= c.deadline_ms) {
      conn_close(c);
    }
  }
  if (rc > 0 && (p[1].revents & POLLIN) && l.listen_fd >= 0) {
    accept_requests(l, now);
  }
  if (rc > 0 && p[2].revents && l.ctl.fd >= 0 &&
      (p[2].revents & (POLLIN | POLLHUP | POLLERR))) {
    ctl_readable(l, now);
  }
  ctl_flush(l, now);
}

static void run(Launcher& l) {
  struct pollfd p[POLL_FDS];
  std::uint64_t stop_deadline = 0;
  for (;;) {
    std::uint64_t now = monotonic_ms();
    if (g_stop_requested && stop_deadline == 0) {
      begin_stop(l);
      stop_deadline = now + STOP_GRACE_MS;
    }
    if (stop_deadline != 0 && ((running_apps(l) == 0 && l.ctl.queue.empty()) ||
                               now >= stop_deadline)) {
      return;
    }
    fill_polls(l, p);
    int rc = fd_poll(p, std::size(p), poll_timeout(l, now, stop_deadline),
                     &g_stop_requested);
    if (rc < 0) {
      console_line(CONSOLE, "poll: %s", std::strerror(errno));
      return;
    }
    serve(l, p, rc, monotonic_ms());
  }
}

int main(int argc, char** argv) {
  static Launcher l;
  int status = parse_args(l.cfg, argc, argv);
  if (status != OPTIONS_RUN) {
    return status;
  }
  for (App& a : l.apps) {
    a.out_fd = -1;
  }
  for (IpcConn& c : l.conns) {
    c.fd = -1;
  }
  keep_std_fds_taken();
  if (setup_signals(l) != 0) {
    return 1;
  }
  l.listen_fd = open_listener(l.cfg.ipc_sock);
  if (l.listen_fd < 0) {
    return 1;
  }
  console_line(CONSOLE, "up: ipc=%s sock=%s apps=%s", l.cfg.ipc_sock,
               l.cfg.ams_sock, l.cfg.apps_dir);
  run(l);
  if (l.listen_fd >= 0) {
    close(l.listen_fd);
    unlink(l.cfg.ipc_sock);
  }
  console_line(CONSOLE, "shutdown");
  return 0;
}
