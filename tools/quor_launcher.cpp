// quor_launcher: a stand-in for the device's launcher. It answers the start
// and kill requests of quor_amsd on the IPC socket, runs the apps, and
// reports their launches, output lines and exits as event lines on the
// daemon's control socket.
//
// Result codes of its replies: 0 and 8 mean what the daemon reads in them;
// the others are this launcher's own refusals.
//   0  accepted
//   2  bad package id: empty, ".", "..", or holding "/", a blank or a
//      control character
//   3  no directory for the package in the apps directory
//   4  the executable is missing, not a regular file or not executable
//   5  too many apps running
//   6  the output pipe or the fork failed
//   7  kill: the app is not running
//   8  start: the app is running already
//
// One thread, one poll loop. Each app runs in a process group of its own,
// with stdin on /dev/null, stdout on a pipe to the launcher and stderr
// inherited.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "amsd/base/clock.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/limits.h"
#include "amsd/base/options.h"
#include "amsd/base/paths.h"
#include "amsd/base/stop_signal.h"
#include "amsd/base/text.h"
#include "amsd/base/unix_addr.h"
#include "amsd/launcher/frame.h"
#include "amsd/log/clock.h"
#include "amsd/registry/manifest.h"

namespace {

constexpr std::uint32_t CODE_BAD_PKG = 2;
constexpr std::uint32_t CODE_NO_APP = 3;
constexpr std::uint32_t CODE_NOT_EXEC = 4;
constexpr std::uint32_t CODE_TABLE_FULL = 5;
constexpr std::uint32_t CODE_SPAWN_FAILED = 6;
constexpr std::uint32_t CODE_NOT_RUNNING = 7;

constexpr int MAX_IPC_CONNS = 8;
constexpr int LISTEN_BACKLOG = 8;
constexpr int POLL_MS = 1000;
constexpr std::uint64_t REQUEST_WAIT_MS = 1000;  // for a whole request frame
constexpr std::uint64_t RECONNECT_MS = 500;      // between control connects
constexpr std::uint64_t STOP_GRACE_MS = 1000;    // for apps to end at exit
constexpr std::size_t QUEUE_MAX = 512;           // control lines held back
// Bytes of one output line that are sent; the daemon takes lines of up to
// 2047 bytes, and the event words before the text need room too.
constexpr std::size_t OUT_TEXT_MAX = 1900;
constexpr int DRAIN_READS_MAX = 32;  // 128 KiB: more than a full pipe holds
constexpr int CHILD_EXEC_FAILED = 127;

constexpr std::size_t PATH_SIZE = 1024;

struct LauncherConfig {
  char ipc_sock[SOCK_PATH_SIZE];
  char ams_sock[SOCK_PATH_SIZE];
  char apps_dir[512];
};

struct App {
  pid_t pid;  // 0: free slot
  char pkg[PKG_SIZE];
  int out_fd;  // read end of the app's stdout; -1 once it reached its end
  std::uint64_t start_ms;
  char line[OUT_TEXT_MAX];  // the output line being collected
  std::size_t line_len;
  bool line_cut;  // bytes beyond OUT_TEXT_MAX were dropped
};

struct IpcConn {
  int fd;  // -1: free slot
  std::uint8_t buf[IPC_HEADER_SIZE + sizeof(StartRequest)];
  std::size_t have;
  std::size_t need;  // header first, then header and payload
  std::uint64_t deadline_ms;
};

// The control connection and the lines waiting for it. A line is written
// whole on one connection: after a failure it goes again from its start.
struct Control {
  int fd = -1;
  std::deque<std::string> queue;
  std::size_t sent = 0;  // bytes of queue.front() already written
  std::uint64_t next_try_ms = 0;
  bool failing = false;  // the last connect failed; said once
  bool dropping = false;
};

struct Launcher {
  LauncherConfig cfg;
  int listen_fd = -1;
  int sig_fd = -1;  // read end of the self-pipe
  App apps[MAX_APPS];
  IpcConn conns[MAX_IPC_CONNS];
  Control ctl;
};

[[gnu::format(printf, 1, 2)]] void say(const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "[quor_launcher] %s\n", text);
}

int setup_signals(Launcher& l) {
  int p[2];
  if (wake_pipe_open(p) != 0) {
    say("pipe: %s", std::strerror(errno));
    return -1;
  }
  l.sig_fd = p[0];
  // SIGCHLD wakes the loop too, to reap at once.
  stop_signal_install(p[1], true);
  return 0;
}

int parse_args(LauncherConfig& cfg, int argc, char** argv) {
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
void keep_std_fds_taken() {
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

int open_listener(const char* path) {
  unlink(path);
  const char* step = nullptr;
  int fd = unix_listen(path, SOCK_CLOEXEC | SOCK_NONBLOCK, LISTEN_BACKLOG, -1,
                       &step);
  if (fd < 0) {
    if (std::strcmp(step, "socket") == 0) {
      say("socket: %s", std::strerror(errno));
    } else {
      say("listen %s: %s", path, std::strerror(errno));
    }
    return -1;
  }
  return fd;
}

// The control connection.

void ctl_drop(Control& c, std::uint64_t now) {
  if (c.fd >= 0) {
    close(c.fd);
    c.fd = -1;
  }
  c.sent = 0;
  c.next_try_ms = now + RECONNECT_MS;
}

bool ctl_connect(Launcher& l, std::uint64_t now) {
  Control& c = l.ctl;
  // A local connect completes at once or fails (EAGAIN: backlog full).
  int fd = unix_connect(l.cfg.ams_sock, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0 && errno == 0) {
    c.fd = fd;
    if (c.failing) {
      say("control %s connected", l.cfg.ams_sock);
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
    say("control %s unreachable (%s), retrying", l.cfg.ams_sock,
        std::strerror(errno));
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
      say("control line queue full, dropping the oldest lines");
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
      say("control connection lost: %s", std::strerror(errno));
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
  say("control connection closed by the daemon");
  l.ctl.failing = true;
  ctl_drop(l.ctl, now);
}

// Apps.

App* find_app(Launcher& l, std::string_view pkg) {
  for (App& a : l.apps) {
    if (a.pid > 0 && pkg == a.pkg) {
      return &a;
    }
  }
  return nullptr;
}

// Package ids become one path component and one word of the event lines.
bool pkg_ok(std::string_view pkg) {
  if (pkg.empty() || pkg == "." || pkg == "..") {
    return false;
  }
  for (char ch : pkg) {
    auto u = static_cast<unsigned char>(ch);
    if (ch == '/' || u <= 0x20 || u == 0x7F) {
      return false;
    }
  }
  return true;
}

// An activity or chain as one word of an event line; "-" when empty.
void event_word(char (&out)[ACTIVITY_SIZE], std::string_view text) {
  copy_text(out, text.empty() ? std::string_view("-") : text);
  for (char* p = out; *p; ++p) {
    auto u = static_cast<unsigned char>(*p);
    if (u <= 0x20 || u == 0x7F) {
      *p = '_';
    }
  }
}

// The app's executable, the way the registry scan names it: the manifest's
// "exec" (relative to the app directory unless absolute), else "quor".
std::uint32_t exec_path(const char* dir, char (&exe)[PATH_SIZE]) {
  char manifest[PATH_SIZE];
  char text[MANIFEST_TEXT_MAX + 1];
  char value[MANIFEST_VALUE_SIZE];
  value[0] = '\0';
  if (format_path(manifest, sizeof manifest, "%s/app.json", dir) >= 0) {
    std::size_t n = manifest_load(manifest, text);
    manifest_value(std::string_view(text, n), "exec", value);
  }
  int rc;
  if (value[0] == '\0') {
    rc = format_path(exe, sizeof exe, "%s/quor", dir);
  } else if (value[0] == '/') {
    rc = format_path(exe, sizeof exe, "%s", value);
  } else {
    rc = format_path(exe, sizeof exe, "%s/%s", dir, value);
  }
  struct stat st;
  if (rc < 0 || stat(exe, &st) != 0 || !S_ISREG(st.st_mode) ||
      access(exe, X_OK) != 0) {
    return CODE_NOT_EXEC;
  }
  return 0;
}

[[noreturn]] void run_child(const Launcher& l, const StartRequest& r,
                            const char* dir, const char* exe, int out_fd,
                            const sigset_t& old_mask) {
  // Its own process group, so a kill reaches whatever the app started.
  setpgid(0, 0);
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGCHLD, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  // A kill that came before the handlers were reset was held back; it is
  // delivered now and ends the child as it should.
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd >= 0) {
    dup2(null_fd, STDIN_FILENO);
  }
  dup2(out_fd, STDOUT_FILENO);
  if (chdir(dir) != 0) {
    _exit(CHILD_EXEC_FAILED);
  }
  setenv("QUOR_AMS_SOCK", l.cfg.ams_sock, 1);
  char req[16];
  std::snprintf(req, sizeof req, "%u", load_le32(&r.req));
  char action[sizeof r.action + 1];
  char caller[sizeof r.caller + 1];
  copy_text(action, slot_text(r.action));
  copy_text(caller, slot_text(r.caller));
  if (load_le32(&r.from_picker) == 1) {
    setenv("QUOR_PICKER_REQ", req, 1);
    setenv("QUOR_PICKER_ACTION", action, 1);
    setenv("QUOR_PICKER_CALLER", caller, 1);
  } else {
    unsetenv("QUOR_PICKER_REQ");
    unsetenv("QUOR_PICKER_ACTION");
    unsetenv("QUOR_PICKER_CALLER");
  }
  char activity[sizeof r.activity + 1];
  copy_text(activity, slot_text(r.activity));
  if (activity[0]) {
    execl(exe, exe, activity, static_cast<char*>(nullptr));
  } else {
    execl(exe, exe, static_cast<char*>(nullptr));
  }
  _exit(CHILD_EXEC_FAILED);
}

std::uint32_t start_app(Launcher& l, const StartRequest& r) {
  std::string_view pkg = slot_text(r.pkg);
  if (!pkg_ok(pkg)) {
    return CODE_BAD_PKG;
  }
  if (find_app(l, pkg)) {
    return LAUNCH_BUSY;
  }
  char dir[PATH_SIZE];
  struct stat st;
  if (format_path(dir, sizeof dir, "%s/%.*s", l.cfg.apps_dir,
                  static_cast<int>(pkg.size()), pkg.data()) < 0 ||
      stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
    return CODE_NO_APP;
  }
  char exe[PATH_SIZE];
  if (exec_path(dir, exe) != 0) {
    return CODE_NOT_EXEC;
  }
  App* slot = nullptr;
  for (App& a : l.apps) {
    if (a.pid == 0) {
      slot = &a;
      break;
    }
  }
  if (!slot) {
    return CODE_TABLE_FULL;
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    say("pipe: %s", std::strerror(errno));
    return CODE_SPAWN_FAILED;
  }
  // Until the child has reset our handlers, a signal for it must wait:
  // caught by our handler it would be lost.
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGCHLD);
  sigprocmask(SIG_BLOCK, &block, &old_mask);
  pid_t pid = fork();
  if (pid == 0) {
    run_child(l, r, dir, exe, out[1], old_mask);
  }
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  if (pid < 0) {
    say("fork: %s", std::strerror(errno));
    close(out[0]);
    close(out[1]);
    return CODE_SPAWN_FAILED;
  }
  setpgid(pid, pid);  // the child does the same; whichever comes first
  close(out[1]);
  fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
  slot->pid = pid;
  copy_text(slot->pkg, pkg);
  slot->out_fd = out[0];
  slot->start_ms = monotonic_ms();
  slot->line_len = 0;
  slot->line_cut = false;

  // For a picker start the activity slot carries the picker's chain.
  char act[ACTIVITY_SIZE];
  char chain[ACTIVITY_SIZE];
  bool picker = load_le32(&r.from_picker) == 1;
  event_word(act, picker ? std::string_view() : slot_text(r.activity));
  event_word(chain, picker ? slot_text(r.activity) : std::string_view());
  char line[256];
  std::snprintf(line, sizeof line, "EV LAUNCH %s %s %s %ld %ld %ld", slot->pkg,
                act, chain, static_cast<long>(pid),
                static_cast<long>(wall_seconds()), uptime_seconds());
  ctl_queue(l, line);
  say("start %s pid=%ld exec=%s", slot->pkg, static_cast<long>(pid), exe);
  return 0;
}

void signal_app(const App& a, int sig) {
  if (kill(-a.pid, sig) != 0) {
    kill(a.pid, sig);  // its group may not exist yet
  }
}

std::uint32_t kill_app(Launcher& l, const KillRequest& r) {
  App* a = find_app(l, slot_text(r.pkg));
  if (!a) {
    return CODE_NOT_RUNNING;
  }
  signal_app(*a, SIGTERM);
  say("kill %s pid=%ld", a->pkg, static_cast<long>(a->pid));
  return 0;
}

// App output.

void send_output_line(Launcher& l, App& a) {
  char line[OUT_TEXT_MAX + 128];
  int n = std::snprintf(line, sizeof line, "EV OUT %s %ld %ld %ld", a.pkg,
                        static_cast<long>(a.pid),
                        static_cast<long>(wall_seconds()), uptime_seconds());
  if (n > 0 && a.line_len > 0) {
    std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), " %.*s",
                  static_cast<int>(a.line_len), a.line);
  }
  ctl_queue(l, line);
  a.line_len = 0;
  a.line_cut = false;
}

void take_output(Launcher& l, App& a, const char* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    char ch = data[i];
    if (ch == '\n') {
      send_output_line(l, a);
    } else if (ch == '\r' || ch == '\0') {
      // Neither may reach the daemon's line: it cuts at both.
    } else if (a.line_len < OUT_TEXT_MAX) {
      a.line[a.line_len++] = ch;
    } else {
      a.line_cut = true;
    }
  }
}

// A last line without its newline still counts.
void end_output(Launcher& l, App& a) {
  if (a.line_len > 0 || a.line_cut) {
    send_output_line(l, a);
  }
  if (a.out_fd >= 0) {
    close(a.out_fd);
    a.out_fd = -1;
  }
}

// Returns false when the pipe has nothing more for now.
bool read_output(Launcher& l, App& a) {
  char buf[4096];
  ssize_t n = fd_read(a.out_fd, buf, sizeof buf);
  if (n > 0) {
    take_output(l, a, buf, static_cast<std::size_t>(n));
    return true;
  }
  if (n == 0 || errno != EAGAIN) {
    end_output(l, a);
  }
  return false;
}

void report_exit(Launcher& l, App& a, int status) {
  // What the app wrote before it ended goes first. Something it started may
  // still hold the pipe open, so read only what is there now.
  for (int i = 0; i < DRAIN_READS_MAX && a.out_fd >= 0; ++i) {
    if (!read_output(l, a)) {
      break;
    }
  }
  end_output(l, a);
  bool sig = WIFSIGNALED(status);
  int code = sig ? WTERMSIG(status) : WEXITSTATUS(status);
  long long dur = static_cast<long long>(monotonic_ms() - a.start_ms);
  char line[256];
  std::snprintf(line, sizeof line, "EV EXIT %s %s %d %lld %ld %ld", a.pkg,
                sig ? "sig" : "exit", code, dur,
                static_cast<long>(wall_seconds()), uptime_seconds());
  ctl_queue(l, line);
  say("exit %s pid=%ld %s=%d", a.pkg, static_cast<long>(a.pid),
      sig ? "sig" : "exit", code);
  a.pid = 0;
  a.pkg[0] = '\0';
}

void reap_children(Launcher& l) {
  for (;;) {
    int status;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) {
      return;
    }
    for (App& a : l.apps) {
      if (a.pid == pid) {
        report_exit(l, a, status);
        break;
      }
    }
  }
}

// IPC requests.

void conn_close(IpcConn& c) {
  close(c.fd);
  c.fd = -1;
}

// The reply goes into a fresh socket's empty buffer; a peer that is gone
// just misses it.
void conn_reply(IpcConn& c, const std::uint8_t* frame, std::size_t n) {
  ssize_t ignored = sock_send_now(c.fd, frame, n);
  (void)ignored;
  conn_close(c);
}

void reply_error(IpcConn& c) {
  std::uint8_t frame[IPC_HEADER_SIZE];
  encode_error_reply(frame);
  conn_reply(c, frame, sizeof frame);
}

// Payload bytes a valid request header announces; 0 for anything else.
std::size_t request_payload(const IpcHeader& h) {
  if (h.magic != IPC_MAGIC || h.version != IPC_VERSION) {
    return 0;
  }
  if (h.kind == MSG_START && h.length == sizeof(StartRequest)) {
    return sizeof(StartRequest);
  }
  if (h.kind == MSG_KILL && h.length == sizeof(KillRequest)) {
    return sizeof(KillRequest);
  }
  return 0;
}

IpcHeader conn_header(const IpcConn& c) {
  std::uint8_t head[IPC_HEADER_SIZE];
  std::memcpy(head, c.buf, sizeof head);
  return decode_header(head);
}

void handle_request(Launcher& l, IpcConn& c) {
  const std::uint8_t* payload = c.buf + IPC_HEADER_SIZE;
  bool start = conn_header(c).kind == MSG_START;
  std::uint32_t code;
  if (start) {
    StartRequest r;
    std::memcpy(&r, payload, sizeof r);
    code = start_app(l, r);
  } else {
    KillRequest r;
    std::memcpy(&r, payload, sizeof r);
    code = kill_app(l, r);
  }
  if (code != 0) {
    // Both requests begin with the package slot.
    KillRequest head;
    std::memcpy(&head, payload, sizeof head);
    std::string_view pkg = slot_text(head.pkg);
    say("%s %.*s refused code=%u", start ? "start" : "kill", text_len(pkg),
        pkg.data(), code);
  }
  std::uint8_t frame[RESULT_FRAME_SIZE];
  encode_result_reply(code, frame);
  conn_reply(c, frame, sizeof frame);
}

void conn_readable(Launcher& l, IpcConn& c) {
  ssize_t n = sock_recv_now(c.fd, c.buf + c.have, c.need - c.have);
  if (n < 0 && errno == EAGAIN) {
    return;
  }
  if (n <= 0) {
    conn_close(c);
    return;
  }
  c.have += static_cast<std::size_t>(n);
  if (c.have == IPC_HEADER_SIZE && c.need == IPC_HEADER_SIZE) {
    std::size_t payload = request_payload(conn_header(c));
    if (payload == 0) {
      say("bad request frame");
      reply_error(c);
      return;
    }
    c.need += payload;
  }
  if (c.have == c.need) {
    handle_request(l, c);
  }
}

void accept_requests(Launcher& l, std::uint64_t now) {
  for (IpcConn& c : l.conns) {
    if (c.fd >= 0) {
      continue;
    }
    int fd =
        accept4(l.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      return;
    }
    c.fd = fd;
    c.have = 0;
    c.need = IPC_HEADER_SIZE;
    c.deadline_ms = now + REQUEST_WAIT_MS;
  }
}

// The loop.

int running_apps(const Launcher& l) {
  int n = 0;
  for (const App& a : l.apps) {
    n += a.pid > 0 ? 1 : 0;
  }
  return n;
}

void begin_stop(Launcher& l) {
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

int poll_timeout(const Launcher& l, std::uint64_t now,
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

void run(Launcher& l) {
  constexpr int FIXED_FDS = 3;  // self-pipe, listener, control
  struct pollfd p[FIXED_FDS + MAX_IPC_CONNS + MAX_APPS];
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
    bool conns_full = true;
    for (int i = 0; i < MAX_IPC_CONNS; ++i) {
      p[FIXED_FDS + i] = { l.conns[i].fd, POLLIN, 0 };
      conns_full = conns_full && l.conns[i].fd >= 0;
    }
    // A negative descriptor is left out by poll.
    p[0] = { l.sig_fd, POLLIN, 0 };
    p[1] = { conns_full ? -1 : l.listen_fd, POLLIN, 0 };
    short ctl_events = l.ctl.queue.empty() ? POLLIN : POLLIN | POLLOUT;
    p[2] = { l.ctl.fd, ctl_events, 0 };
    for (int i = 0; i < MAX_APPS; ++i) {
      p[FIXED_FDS + MAX_IPC_CONNS + i] = { l.apps[i].out_fd, POLLIN, 0 };
    }
    int rc = fd_poll(p, std::size(p), poll_timeout(l, now, stop_deadline),
                     &g_stop_requested);
    if (rc < 0) {
      say("poll: %s", std::strerror(errno));
      return;
    }
    now = monotonic_ms();
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
}

}  // namespace

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
  say("up: ipc=%s sock=%s apps=%s", l.cfg.ipc_sock, l.cfg.ams_sock,
      l.cfg.apps_dir);
  run(l);
  if (l.listen_fd >= 0) {
    close(l.listen_fd);
    unlink(l.cfg.ipc_sock);
  }
  say("shutdown");
  return 0;
}
