#include "tests/e2e/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace e2e {

using Clock = std::chrono::steady_clock;

bool wait_until(const std::function<bool()>& cond, Millis limit) {
  auto end = Clock::now() + limit;
  for (;;) {
    if (cond()) {
      return true;
    }
    if (Clock::now() >= end) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
}

Conn::Conn(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return;
  }
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return;
  }
  fd_ = fd;
}

Conn::~Conn() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

Conn::Conn(Conn&& o) noexcept : fd_(o.fd_) {
  o.fd_ = -1;
}

bool Conn::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void Conn::shutdown_write() {
  shutdown(fd_, SHUT_WR);
}

std::string Conn::read_all(Millis limit) {
  std::string out;
  auto end = Clock::now() + limit;
  while (fd_ >= 0) {
    auto left = std::chrono::duration_cast<Millis>(end - Clock::now());
    if (left.count() <= 0) {
      break;
    }
    struct pollfd p = { fd_, POLLIN, 0 };
    int rc = poll(&p, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) {
      continue;
    }
    if (rc <= 0) {
      break;
    }
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

bool Conn::closed_by_peer(Millis limit) {
  auto end = Clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<Millis>(end - Clock::now());
    struct pollfd p = { fd_, POLLIN, 0 };
    int rc = poll(&p, 1, static_cast<int>(std::max<long>(0, left.count())));
    if (rc < 0 && errno == EINTR) {
      continue;
    }
    if (rc <= 0) {
      return false;
    }
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      return true;
    }
  }
}

bool Conn::open_and_quiet() {
  char c;
  ssize_t n = recv(fd_, &c, 1, MSG_DONTWAIT | MSG_PEEK);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

std::string built(const char* var, const char* path) {
  const char* v = std::getenv(var);
  return v && *v ? v : path;
}

// A cross build defines QUOR_EMULATOR as the emulator's words, each quoted.
#ifndef QUOR_EMULATOR
#define QUOR_EMULATOR
#endif

std::vector<std::string> program(const std::string& bin) {
  std::vector<std::string> argv = { QUOR_EMULATOR };
  argv.push_back(bin);
  return argv;
}

std::string script_runnable(const std::string& bin, const std::string& dir) {
  std::vector<std::string> argv = program(bin);
  if (argv.size() == 1) {
    return bin;
  }
  std::string text = "#!/bin/sh\nexec";
  for (const std::string& w : argv) {
    text += " '";
    for (char c : w) {
      text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    text += "'";
  }
  text += " \"$@\"\n";
  std::string wrapper = dir + "/" + bin.substr(bin.rfind('/') + 1) + ".emu";
  write_file(wrapper, text);
  chmod(wrapper.c_str(), 0755);
  return wrapper;
}

std::string unix_command(const std::string& path, std::string_view line) {
  Conn c(path);
  if (!c.ok()) {
    return "<no connection>";
  }
  std::string text(line);
  text += '\n';
  c.send(text);
  return c.read_all();
}

Process::~Process() {
  kill_now();
}

bool Process::spawn(const std::vector<std::string>& argv,
                    const std::vector<std::string>& env,
                    const std::string& out_path, const std::string& err_path,
                    const std::string& cwd) {
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "QUOR_", 5) != 0) {
      envs.emplace_back(*e);
    }
  }
  envs.insert(envs.end(), env.begin(), env.end());
  std::vector<char*> av, ev;
  for (const std::string& a : argv) {
    av.push_back(const_cast<char*>(a.c_str()));
  }
  av.push_back(nullptr);
  for (const std::string& e : envs) {
    ev.push_back(const_cast<char*>(e.c_str()));
  }
  ev.push_back(nullptr);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out =
      open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err =
      open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (chdir(cwd.c_str()) != 0) {
      _exit(126);
    }
    if (run_as_uid >= 0) {
      auto id = static_cast<uid_t>(run_as_uid);
      if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 ||
          setresuid(id, id, id) != 0) {
        _exit(126);
      }
    }
    execve(av[0], av.data(), ev.data());
    _exit(127);
  }
  close(in);
  close(out);
  close(err);
  if (pid < 0) {
    return false;
  }
  pid_ = pid;
  status_ = -1;
  return true;
}

bool Process::running() {
  if (pid_ <= 0) {
    return false;
  }
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    pid_ = -1;
    return false;
  }
  return r == 0;
}

int Process::wait_exit(Millis limit) {
  wait_until([this] { return !running(); }, limit);
  return pid_ > 0 ? -1 : status_;
}

int Process::terminate(Millis limit) {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
  }
  int st = wait_exit(limit);
  if (pid_ > 0) {
    kill_now();
    return -1;
  }
  return st;
}

void Process::kill_now() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
    pid_ = -1;
  }
}

Amsd::Amsd(const TempDir& dir)
    : sock(dir.file("ams.sock")),
      ipc_sock(dir.file("ipc.sock")),
      crash_sock(dir.file("crash.sock")),
      apps(dir.file("apps")),
      card(dir.file("card")),
      logs(dir.file("card/QuorOS/logs")),
      root_(dir.path()) {
  mkdir(apps.c_str(), 0755);
  mkdir(card.c_str(), 0755);
  mkdir((card + "/QuorOS").c_str(), 0755);
}

Amsd::~Amsd() {
  proc_.kill_now();
}

std::string Amsd::binary() {
  return built("QUOR_AMSD_BIN", QUOR_AMSD_BIN);
}

std::vector<std::string> Amsd::path_options() const {
  return { "--sock", sock,     "--ipc-sock", ipc_sock,       "--apps",
           apps,     "--card", card,         "--crash-sock", crash_sock };
}

bool Amsd::start(const std::vector<std::string>& extra,
                 const std::vector<std::string>& env) {
  std::vector<std::string> argv = program(binary());
  std::vector<std::string> opts = path_options();
  argv.insert(argv.end(), opts.begin(), opts.end());
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!proc_.spawn(argv, env, root_ + "/amsd.out", root_ + "/amsd.err",
                   root_)) {
    return false;
  }
  bool up = wait_until([this] {
    return err().find("[quor_amsd] up: ") != std::string::npos ||
           !proc_.running();
  });
  return up && proc_.running();
}

Exit run_program(const std::string& bin, const std::vector<std::string>& args,
                 const TempDir& dir, const std::vector<std::string>& env) {
  std::vector<std::string> argv = program(bin);
  argv.insert(argv.end(), args.begin(), args.end());
  Process p;
  Exit e;
  if (p.spawn(argv, env, dir.file("run.out"), dir.file("run.err"),
              dir.path())) {
    e.status = p.wait_exit();
  }
  e.out = read_file(dir.file("run.out"));
  e.err = read_file(dir.file("run.err"));
  return e;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos;
       at = nl + 1) {
    out.push_back(text.substr(at, nl - at));
  }
  return out;
}

Exit Amsd::run(const std::vector<std::string>& args,
               const std::vector<std::string>& env, Millis limit) {
  std::vector<std::string> argv = program(binary());
  argv.insert(argv.end(), args.begin(), args.end());
  Exit e;
  if (proc_.spawn(argv, env, root_ + "/amsd.out", root_ + "/amsd.err", root_)) {
    e.status = proc_.wait_exit(limit);
  }
  e.err = err();
  return e;
}

std::string Amsd::err() const {
  return read_file(root_ + "/amsd.err");
}

bool Amsd::wait_err(std::string_view text, Millis limit) const {
  return wait_until([&] { return err().find(text) != std::string::npos; },
                    limit);
}

std::string Amsd::service_log() const {
  std::vector<std::string> names;
  if (DIR* d = opendir(logs.c_str())) {
    while (struct dirent* de = readdir(d)) {
      if (std::strncmp(de->d_name, "ams_", 4) == 0) {
        names.emplace_back(de->d_name);
      }
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::string all;
  for (const std::string& n : names) {
    all += read_file(logs + "/" + n);
  }
  return all;
}

bool Amsd::wait_log(std::string_view text, Millis limit) const {
  return wait_until(
      [&] { return service_log().find(text) != std::string::npos; }, limit);
}

std::vector<std::string> Amsd::log_texts() const {
  std::vector<std::string> out;
  std::string all = service_log();
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t nl = all.find('\n', pos);
    if (nl == std::string::npos) {
      break;
    }
    std::string line = all.substr(pos, nl - pos);
    std::size_t tag = line.find(" amsd ");
    out.push_back(tag == std::string::npos ? line : line.substr(tag + 6));
    pos = nl + 1;
  }
  return out;
}

int Amsd::stop() {
  return proc_.terminate();
}

int count_of(std::string_view text, std::string_view what) {
  int n = 0;
  for (std::size_t p = text.find(what); p != std::string_view::npos;
       p = text.find(what, p + what.size())) {
    ++n;
  }
  return n;
}

SavedFile::SavedFile(std::string path) : path_(std::move(path)) {
  struct stat st;
  if (lstat(path_.c_str(), &st) == 0) {
    saved_ = path_ + ".saved-by-test";
    rename(path_.c_str(), saved_.c_str());
  }
}

SavedFile::~SavedFile() {
  unlink(path_.c_str());
  if (!saved_.empty()) {
    rename(saved_.c_str(), path_.c_str());
  }
}

void make_app(const std::string& apps, const std::string& pkg,
              const std::string& manifest) {
  std::string dir = apps + "/" + pkg;
  mkdir(dir.c_str(), 0755);
  if (!manifest.empty()) {
    write_file(dir + "/app.json", manifest);
  }
}

}  // namespace e2e
