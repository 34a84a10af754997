#include "amsd/daemon/daemon.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "amsd/base/console.h"
#include "amsd/base/notify.h"
#include "amsd/base/stop_signal.h"
#include "amsd/base/text.h"
#include "amsd/base/unix_addr.h"
#include "amsd/protocol/rescan.h"

constexpr int LISTEN_BACKLOG = 8;

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
  // Connected, or waiting in a full backlog: a live listener. Refused: stale.
  int fd = unix_connect(path, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    return 0;
  }
  close(fd);
  return EADDRINUSE;
}

static int open_listener(Daemon& d) {
  if (int busy = socket_path_status(d.cfg.sock_path)) {
    console_line(AMSD_CONSOLE, "bind %s: %s", d.cfg.sock_path,
                 std::strerror(busy));
    return 1;
  }
  unlink(d.cfg.sock_path);
  const char* step = nullptr;
  // Any local client may talk to the daemon.
  int fd =
      unix_listen(d.cfg.sock_path, SOCK_CLOEXEC, LISTEN_BACKLOG, 0666, &step);
  if (fd < 0) {
    bool bind = std::strcmp(step, "bind") == 0;
    console_line(AMSD_CONSOLE, "%s%s%s: %s", step, bind ? " " : "",
                 bind ? d.cfg.sock_path : "", std::strerror(errno));
    return 1;
  }
  d.listen_fd = fd;
  return 0;
}

int daemon_setup(Daemon& d) {
  d.card.root = d.cfg.card_root;
  ProtocolTables& t = d.tables;
  t.apps_dir = d.cfg.apps_dir;
  t.card_root = d.cfg.card_root;
  t.ipc_sock_path = d.cfg.ipc_sock_path;
  t.crash_sock_path = d.cfg.crash_sock_path;
  t.launcher_uid = d.cfg.launcher_uid;
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (wake_pipe_open(d.wake_pipe) != 0) {
    return 1;
  }
  stop_signal_install(d.wake_pipe[1]);
  return open_listener(d);
}

void daemon_startup_steps(Daemon& d) {
  make_boot_stamp(d.boot_stamp, d.card.bootts_path, d.tables.log.uptime_path,
                  d.card.stat_path);
  card_start(d.card, d.tables.log);
  rescan_logged(d.tables.registry, d.tables.log, d.cfg.apps_dir, true);
  console_line(AMSD_CONSOLE,
               "up: sock=%s ipc=%s apps=%s card=%s bootts=%s log=%s",
               d.cfg.sock_path, d.cfg.ipc_sock_path, d.cfg.apps_dir,
               d.cfg.card_root, d.boot_stamp,
               d.tables.log.card_log_open ? "card" : d.tables.log.buffer_path);
  notify_service_manager("READY=1");
}

void daemon_shutdown(Daemon& d) {
  notify_service_manager("STOPPING=1");
  if (d.listen_fd >= 0) {
    close(d.listen_fd);
    d.listen_fd = -1;
  }
  unlink(d.cfg.sock_path);
  stdout_session_reset(d.tables.capture);
  service_log_shutdown(d.tables.log);
  console_line(AMSD_CONSOLE, "shutdown");
}
