#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "amsd/base/clock.h"
#include "amsd/base/console.h"
#include "amsd/base/limits.h"
#include "amsd/base/text.h"
#include "amsd/launcher/frame.h"
#include "amsd/log/clock.h"
#include "amsd/registry/manifest.h"
#include "tools/launcher/launcher.h"

// Apps.

static App* find_app(Launcher& l, std::string_view pkg) {
  for (App& a : l.apps) {
    if (a.pid > 0 && pkg == a.pkg) {
      return &a;
    }
  }
  return nullptr;
}

// Package ids become one path component and one word of the event lines.
static bool pkg_ok(std::string_view pkg) {
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
static void event_word(char (&out)[ACTIVITY_SIZE], std::string_view text) {
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
static std::uint32_t exec_path(const char* dir, char (&exe)[PATH_SIZE]) {
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

[[noreturn]] static void run_child(const Launcher& l, const StartRequest& r,
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
    console_line(CONSOLE, "pipe: %s", std::strerror(errno));
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
    console_line(CONSOLE, "fork: %s", std::strerror(errno));
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
  console_line(CONSOLE, "start %s pid=%ld exec=%s", slot->pkg,
               static_cast<long>(pid), exe);
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
  console_line(CONSOLE, "kill %s pid=%ld", a->pkg, static_cast<long>(a->pid));
  return 0;
}
