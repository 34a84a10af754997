#include "amsd/core/daemon.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "amsd/core/signals.h"
#include "amsd/core/text.h"
#include "amsd/log/retention.h"
#include "amsd/registry/scan.h"

constexpr int LISTEN_BACKLOG = 8;

static void add_nonblock(int fd) {
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) {
    fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  }
}

// What stands at the socket path before we take it: nothing or a stale
// socket (0), a daemon that still answers there (EADDRINUSE), or something
// that is no socket at all (EEXIST), which is never ours to delete.
static int socket_path_status(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    return 0;
  }
  if (!S_ISSOCK(st.st_mode)) {
    return EEXIST;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return 0;
  }
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  copy_text(addr.sun_path, path);
  int rc = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
  // A full backlog (EAGAIN) is a live listener too.
  bool live = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
  close(fd);
  return live ? EADDRINUSE : 0;
}

static int open_listener(Daemon& d) {
  if (int busy = socket_path_status(d.cfg.sock_path)) {
    std::fprintf(stderr, "[quor_amsd] bind %s: %s\n", d.cfg.sock_path,
                 std::strerror(busy));
    return 1;
  }
  unlink(d.cfg.sock_path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::fprintf(stderr, "[quor_amsd] socket: %s\n", std::strerror(errno));
    return 1;
  }
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  copy_text(addr.sun_path, d.cfg.sock_path);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "[quor_amsd] bind %s: %s\n", d.cfg.sock_path,
                 std::strerror(errno));
    close(fd);
    return 1;
  }
  // Any local client may talk to the daemon.
  chmod(d.cfg.sock_path, 0666);
  if (listen(fd, LISTEN_BACKLOG) != 0) {
    std::fprintf(stderr, "[quor_amsd] listen: %s\n", std::strerror(errno));
    close(fd);
    return 1;
  }
  d.listen_fd = fd;
  return 0;
}

int daemon_setup(Daemon& d) {
  d.log.card_root = d.cfg.card_root;
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (pipe2(d.wake_pipe, O_CLOEXEC) != 0) {
    return 1;
  }
  add_nonblock(d.wake_pipe[0]);
  add_nonblock(d.wake_pipe[1]);
  signals_install(d.wake_pipe[1]);
  return open_listener(d);
}

void daemon_startup_steps(Daemon& d) {
  make_boot_stamp(d.boot_stamp, d.log.bootts_path, d.log.uptime_path);
  open_card_log(d.log);  // without a card the log goes to the /tmp buffer
  log_cleanup(d.log);
  registry_scan(d.registry, d.log, d.cfg.apps_dir, true);
  std::fprintf(stderr,
               "[quor_amsd] up: sock=%s ipc=%s apps=%s card=%s bootts=%s "
               "log=%s\n",
               d.cfg.sock_path, d.cfg.ipc_sock_path, d.cfg.apps_dir,
               d.cfg.card_root, d.boot_stamp,
               d.log.card_log_open ? "card" : d.log.buffer_path);
}

void daemon_shutdown(Daemon& d) {
  if (d.listen_fd >= 0) {
    close(d.listen_fd);
    d.listen_fd = -1;
  }
  unlink(d.cfg.sock_path);
  stdout_session_reset(d.capture);
  close_card_log(d.log);
  std::fputs("[quor_amsd] shutdown\n", stderr);
}
