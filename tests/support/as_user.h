// A second local user for tests: a forked child switched to another uid.
#pragma once

#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

// The unprivileged user the tests switch to.
constexpr uid_t OTHER_UID = 65534;

// Only root can switch users.
inline bool can_switch_user() {
  return geteuid() == 0;
}

// Runs fn in a forked child as OTHER_UID (and its gid); returns fn's result,
// or -1 when the switch or the child failed.
inline int run_as_other_user(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 ||
        setresgid(OTHER_UID, OTHER_UID, OTHER_UID) != 0 ||
        setresuid(OTHER_UID, OTHER_UID, OTHER_UID) != 0) {
      _exit(255);
    }
    _exit(fn() & 0xff);
  }
  int st = 0;
  if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st) ||
      WEXITSTATUS(st) == 255) {
    return -1;
  }
  return WEXITSTATUS(st);
}
