#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "amsd/base/clock.h"
#include "amsd/base/console.h"
#include "amsd/base/fd_io.h"
#include "amsd/log/clock.h"
#include "tools/launcher/launcher.h"

// App output.

static void send_output_line(Launcher& l, App& a) {
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

static void take_output(Launcher& l, App& a, const char* data, std::size_t n) {
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
static void end_output(Launcher& l, App& a) {
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

static void report_exit(Launcher& l, App& a, int status) {
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
  console_line(CONSOLE, "exit %s pid=%ld %s=%d", a.pkg,
               static_cast<long>(a.pid), sig ? "sig" : "exit", code);
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
