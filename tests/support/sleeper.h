// A child process that stands in for a running app.
#pragma once

#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

// A child that sleeps until a signal ends it; -1 when fork fails.
inline pid_t spawn_sleeper() {
  pid_t pid = fork();
  if (pid == 0) {
    for (;;) {
      pause();
    }
  }
  return pid;
}

// The child's wait status once it ended, or -1 when it still runs at the
// deadline (it is then killed). Signals go by the raw system call, so a test
// program's own kill() stand-in cannot get in the way.
inline int reap(pid_t pid,
                std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto end = std::chrono::steady_clock::now() + limit;
  int st = 0;
  while (waitpid(pid, &st, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= end) {
      syscall(SYS_kill, pid, SIGKILL);
      waitpid(pid, &st, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return st;
}
