// Runs the real quor_route for the end-to-end tests, with its standard
// output and error captured, and waits on its log lines with deadlines.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

inline std::int64_t now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos;
       start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  return lines;
}

// True once pid has ended (gone or a zombie nobody reaped yet).
inline bool process_gone(pid_t pid) {
  std::string stat;
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) {
    return true;
  }
  char buf[512];
  std::size_t n = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  stat.assign(buf, n);
  std::size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() &&
         stat[paren + 2] == 'Z';
}

// Polls done() every 10 ms until it holds or the deadline passes.
template <typename Pred>
bool wait_until(Pred done, int timeout_ms = 15000) {
  std::int64_t deadline = now_ms() + timeout_ms;
  while (!done()) {
    if (now_ms() >= deadline) {
      return false;
    }
    poll(nullptr, 0, 10);
  }
  return true;
}

class RouteDaemon {
 public:
  static constexpr char PREFIX[] = "[quor_route] ";

  RouteDaemon() = default;
  RouteDaemon(const RouteDaemon&) = delete;
  RouteDaemon& operator=(const RouteDaemon&) = delete;
  ~RouteDaemon() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close_fd(out_fd_);
    close_fd(err_fd_);
  }

  static std::string binary() {
    const char* env = getenv("QUOR_ROUTE_BIN");
    return env && *env ? env : QUOR_ROUTE_BIN;
  }

  // Starts the daemon with args and, on top of this process's environment
  // stripped of the QUOR_ and FAKE_AMIXER variables, the given NAME=value
  // entries.
  bool start(const std::vector<std::string>& args,
             const std::vector<std::string>& env) {
    std::string bin = binary();
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
      std::string_view v(*e);
      if (!v.starts_with("QUOR_") && !v.starts_with("FAKE_AMIXER")) {
        envs.emplace_back(v);
      }
    }
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> argv{ bin.data() };
    for (const std::string& a : args) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : envs) {
      envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      return false;
    }
    started_ms_ = now_ms();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    return pid_ > 0;
  }

  // The complete log lines so far, without their prefix; a line lacking the
  // prefix is kept whole so that a comparison shows it.
  std::vector<std::string> lines() const {
    std::vector<std::string> lines = split_lines(err_);
    for (std::string& l : lines) {
      if (l.starts_with(PREFIX)) {
        l.erase(0, sizeof PREFIX - 1);
      }
    }
    return lines;
  }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  std::int64_t started_ms() const { return started_ms_; }
  void signal(int sig) { kill(pid_, sig); }

  // Reads the daemon's output until done() holds; false when the deadline
  // passes or the daemon ended without it.
  template <typename Pred>
  bool wait_until(Pred done, int timeout_ms = 15000) {
    std::int64_t deadline = now_ms() + timeout_ms;
    while (!done()) {
      if (now_ms() >= deadline || (exited_ && out_fd_ < 0 && err_fd_ < 0)) {
        return false;
      }
      pump(deadline);
    }
    return true;
  }

  bool wait_lines(std::size_t n, int timeout_ms = 15000) {
    return wait_until([&] { return lines().size() >= n; }, timeout_ms);
  }

  bool wait_for(const std::string& text, int timeout_ms = 15000) {
    return wait_until(
        [&] {
          for (const std::string& l : lines()) {
            if (l == text) {
              return true;
            }
          }
          return false;
        },
        timeout_ms);
  }

  // Waits for the daemon to end and for its output to close. Returns its
  // exit status, or -1 when it did not exit normally in time.
  int wait_exit(int timeout_ms = 15000) {
    std::int64_t deadline = now_ms() + timeout_ms;
    while (!exited_ || out_fd_ >= 0 || err_fd_ >= 0) {
      if (now_ms() >= deadline) {
        return -1;
      }
      pump(deadline);
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  std::int64_t exited_ms() const { return exited_ms_; }

 private:
  static void close_fd(int& fd) {
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
  }

  // Reads whatever arrives within a short poll and notes the exit.
  void pump(std::int64_t deadline) {
    struct pollfd pfd[2] = { { out_fd_, POLLIN, 0 }, { err_fd_, POLLIN, 0 } };
    std::int64_t left = deadline - now_ms();
    // Short polls, so the exit is seen even while a grandchild keeps the
    // pipes open.
    int wait = static_cast<int>(left < 0 ? 0 : left > 50 ? 50 : left);
    if (poll(pfd, 2, wait) > 0) {
      drain(out_fd_, out_, pfd[0].revents);
      drain(err_fd_, err_, pfd[1].revents);
    }
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) {
      exited_ = true;
      exited_ms_ = now_ms();
    }
  }

  static void drain(int& fd, std::string& into, short revents) {
    if (fd < 0 || revents == 0) {
      return;
    }
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close_fd(fd);
    }
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int status_ = 0;
  bool exited_ = false;
  std::int64_t started_ms_ = 0;
  std::int64_t exited_ms_ = 0;
  std::string out_;
  std::string err_;
};
