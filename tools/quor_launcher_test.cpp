// The stand-in launcher as a whole program: real shell-script apps in a
// scratch apps directory, requests through the real launcher_call, and a
// line listener in the daemon's place on the control socket.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "amsd/core/text.h"
#include "amsd/launcher/frame.h"
#include "amsd/launcher/launcher_client.h"
#include "tests/e2e/fake_peers.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

constexpr int kWaitMs = 10000;

std::string binary(const char* env, const char* built) {
  const char* v = std::getenv(env);
  return v && *v ? v : built;
}

std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string w;
  while (in >> w) {
    out.push_back(w);
  }
  return out;
}

bool can_connect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  bool ok =
      connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

template <typename Pred>
bool poll_until(Pred done, int timeout_ms = kWaitMs) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// True while a process of the group is alive. Zombies do not count: an
// orphan's reaper here may be slow to collect them.
bool group_alive(pid_t pgid) {
  DIR* d = opendir("/proc");
  if (!d) {
    return false;
  }
  bool alive = false;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') {
      continue;
    }
    std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
    std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos) {
      continue;
    }
    std::istringstream in(stat.substr(paren + 1));
    char state = 0;
    long ppid = 0;
    long pgrp = 0;
    in >> state >> ppid >> pgrp;
    if (pgrp == pgid && state != 'Z' && state != 'X') {
      alive = true;
    }
  }
  closedir(d);
  return alive;
}

// One run of a program with its own environment: the QUOR_ variables of the
// test's environment are left out, extra ones added. stderr goes to log.
class Proc {
 public:
  Proc(const std::vector<std::string>& argv,
       const std::vector<std::string>& extra_env, const std::string& log,
       const std::string& out = "") {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "QUOR_", 5) != 0) {
        env.push_back(*e);
      }
    }
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> args;
    for (const std::string& a : argv) {
      args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) {
      envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    // Only async-signal-safe calls between fork and exec: the test has
    // threads.
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) {
        dup2(fd, STDERR_FILENO);
      }
      if (!out.empty()) {
        fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
          dup2(fd, STDOUT_FILENO);
        }
      }
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
  }
  ~Proc() {
    if (pid_ > 0 && stop() == -1) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Proc(const Proc&) = delete;
  Proc& operator=(const Proc&) = delete;

  pid_t pid() const { return pid_; }

  // The exit status, or -1 when it did not exit in time or ended otherwise.
  int wait_exit(int timeout_ms) {
    if (status_ >= 0) {
      return status_;
    }
    int st = 0;
    bool done = poll_until([&] { return waitpid(pid_, &st, WNOHANG) == pid_; },
                           timeout_ms);
    if (!done) {
      return -1;
    }
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
    return status_;
  }

  int stop(int timeout_ms = kWaitMs) {
    if (status_ < 0) {
      kill(pid_, SIGTERM);
    }
    return wait_exit(timeout_ms);
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

struct Answer {
  int result;
  std::uint32_t code;
};

class StandInLauncher : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(apps.c_str(), 0755), 0);
    ASSERT_TRUE(daemon->ok());
  }

  void launch(const std::vector<std::string>& extra_env = {},
              std::string ready = "") {
    if (ready.empty()) {
      ready = ipc;
    }
    std::vector<std::string> env = extra_env;
    env.push_back("QUOR_CTL_BIN=" + binary("QUOR_CTL_BIN", QUOR_CTL_BIN));
    proc = std::make_unique<Proc>(
        std::vector<std::string>{
            binary("QUOR_LAUNCHER_BIN", QUOR_LAUNCHER_BIN), "--ipc-sock", ipc,
            "--sock", ctl, "--apps", apps },
        env, dir.file("launcher.log"));
    ASSERT_TRUE(poll_until([&] { return can_connect(ready); }))
        << read_file(dir.file("launcher.log"));
  }

  void add_app(const std::string& pkg, const std::string& script,
               const std::string& manifest = "", mode_t mode = 0755,
               const std::string& exe = "quor") {
    std::string d = apps + "/" + pkg;
    mkdir(d.c_str(), 0755);
    if (!script.empty()) {
      ASSERT_TRUE(write_file(d + "/" + exe, script));
      ASSERT_EQ(chmod((d + "/" + exe).c_str(), mode), 0);
    }
    if (!manifest.empty()) {
      ASSERT_TRUE(write_file(d + "/app.json", manifest));
    }
  }

  Answer send(std::uint16_t type, const void* payload, std::uint32_t n) {
    Answer a{ 0, 0xFFFFFFFF };
    a.result = launcher_call(ipc.c_str(), type, payload, n, &a.code);
    return a;
  }
  Answer start(const std::string& pkg, const std::string& act = "") {
    StartRequest r = make_start_request(pkg, act);
    return send(MSG_START, &r, sizeof r);
  }
  Answer kill_app(const std::string& pkg) {
    KillRequest r = make_kill_request(pkg);
    return send(MSG_KILL, &r, sizeof r);
  }

  // Lines whose first words are "EV <event> <pkg>".
  std::vector<std::vector<std::string>> events(const std::string& pkg,
                                               fake::LineListener& l) {
    std::vector<std::vector<std::string>> out;
    for (const std::string& line : l.lines()) {
      std::vector<std::string> w = words_of(line);
      if (w.size() >= 3 && w[0] == "EV" && w[2] == pkg) {
        out.push_back(w);
      }
    }
    return out;
  }
  std::vector<std::string> wait_event(const std::string& ev,
                                      const std::string& pkg,
                                      fake::LineListener& l) {
    return words_of(l.wait_prefix("EV " + ev + " " + pkg + " ", kWaitMs));
  }
  std::vector<std::string> wait_event(const std::string& ev,
                                      const std::string& pkg) {
    return wait_event(ev, pkg, *daemon);
  }

  TempDir dir;
  std::string apps = dir.file("apps");
  std::string ipc = dir.file("ipc.sock");
  std::string ctl = dir.file("ams.sock");
  std::unique_ptr<fake::LineListener> daemon =
      std::make_unique<fake::LineListener>(ctl);
  std::unique_ptr<Proc> proc;
};

TEST_F(StandInLauncher, StartReportsLaunchOutputAndExit) {
  add_app("hello",
          "#!/bin/sh\n"
          "echo \"hello $1\"\n"
          "echo\n"
          "printf 'two  spaces\\r\\n'\n"
          "head -c 3000 /dev/zero | tr '\\0' x; echo\n"
          "printf 'no newline'\n");
  launch();
  long now = static_cast<long>(std::time(nullptr));
  Answer a = start("hello", "Main");
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(a.code, 0u);
  ASSERT_FALSE(wait_event("EXIT", "hello").empty());

  auto ev = events("hello", *daemon);
  ASSERT_EQ(ev.size(), 7u);
  // EV LAUNCH <pkg> <act> <chain> <pid> <ts> <up>
  ASSERT_EQ(ev[0].size(), 8u);
  EXPECT_EQ(ev[0][1], "LAUNCH");
  EXPECT_EQ(ev[0][3], "Main");
  EXPECT_EQ(ev[0][4], "-");
  const std::string pid = ev[0][5];
  EXPECT_GT(std::stol(pid), 0);
  EXPECT_NEAR(std::stol(ev[0][6]), now, 5);
  EXPECT_GT(std::stol(ev[0][7]), 0);

  // EV OUT <pkg> <pid> <ts> <up> <text...>, one per output line.
  const std::vector<std::vector<std::string>> texts = {
    { "hello", "Main" }, {}, { "two", "spaces" }, { std::string(1900, 'x') },
    { "no", "newline" },
  };
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& w = ev[1 + i];
    ASSERT_GE(w.size(), 6u);
    EXPECT_EQ(w[1], "OUT");
    EXPECT_EQ(w[3], pid);
    EXPECT_NEAR(std::stol(w[4]), now, 5);
    EXPECT_EQ(std::vector<std::string>(w.begin() + 6, w.end()), texts[i]);
  }
  for (const std::string& line : daemon->lines()) {
    EXPECT_EQ(line.find('\r'), std::string::npos);
    EXPECT_LT(line.size(), 2047u);
  }
  // EV EXIT <pkg> exit|sig <code> <dur_ms> <ts> <up>
  ASSERT_EQ(ev[6].size(), 8u);
  EXPECT_EQ(ev[6][3], "exit");
  EXPECT_EQ(ev[6][4], "0");
  EXPECT_GE(std::stol(ev[6][5]), 0);
  EXPECT_NEAR(std::stol(ev[6][6]), now, 5);
}

TEST_F(StandInLauncher, BusyWhileRunningAndKillEndsTheWholeGroup) {
  add_app("sleeper", "#!/bin/sh\necho ready\nsleep 30\necho never\n");
  launch();
  EXPECT_EQ(start("sleeper").code, 0u);
  ASSERT_FALSE(wait_event("OUT", "sleeper").empty());
  Answer busy = start("sleeper");
  EXPECT_EQ(busy.result, 0);
  EXPECT_EQ(busy.code, LAUNCH_BUSY);

  Answer k = kill_app("sleeper");
  EXPECT_EQ(k.result, 0);
  EXPECT_EQ(k.code, 0u);
  auto exit = wait_event("EXIT", "sleeper");
  ASSERT_EQ(exit.size(), 8u);
  EXPECT_EQ(exit[3], "sig");
  EXPECT_EQ(exit[4], "15");
  // The sleep the script started went with it.
  pid_t group = static_cast<pid_t>(std::stol(events("sleeper", *daemon)[0][5]));
  EXPECT_TRUE(poll_until([&] { return !group_alive(group); }));

  Answer again = kill_app("sleeper");
  EXPECT_EQ(again.result, 0);
  EXPECT_NE(again.code, 0u);
  EXPECT_EQ(events("sleeper", *daemon).size(), 3u);  // one launch only
  // Once it has ended it can start again.
  EXPECT_EQ(start("sleeper").code, 0u);
  EXPECT_EQ(kill_app("sleeper").code, 0u);
}

TEST_F(StandInLauncher, ExitStatusAndSignalAreReported) {
  struct Case {
    const char* pkg;
    const char* script;
    const char* kind;
    const char* code;
  };
  const Case cases[] = {
    { "three", "#!/bin/sh\nexit 3\n", "exit", "3" },
    { "clean", "#!/bin/sh\nexit 0\n", "exit", "0" },
    { "killed", "#!/bin/sh\nkill -9 $$\n", "sig", "9" },
  };
  for (const Case& c : cases) {
    add_app(c.pkg, c.script);
  }
  launch();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pkg);
    EXPECT_EQ(start(c.pkg).code, 0u);
    auto exit = wait_event("EXIT", c.pkg);
    ASSERT_EQ(exit.size(), 8u);
    EXPECT_EQ(exit[3], c.kind);
    EXPECT_EQ(exit[4], c.code);
  }
}

TEST_F(StandInLauncher, ExecComesFromTheManifest) {
  add_app("absolute", "#!/bin/sh\necho absolute $1\n",
          "{ \"name\": \"A\", \"exec\": \"" + apps + "/absolute/bin.sh\" }",
          0755, "bin.sh");
  add_app("relative", "#!/bin/sh\necho relative\n",
          "{\n  \"exec\" : \"run.sh\"\n}\n", 0755, "run.sh");
  // A manifest without "exec" leaves the default name.
  add_app("plain", "#!/bin/sh\necho plain\n", "{ \"name\": \"P\" }");
  launch();
  for (const char* pkg : { "absolute", "relative", "plain" }) {
    SCOPED_TRACE(pkg);
    EXPECT_EQ(start(pkg).code, 0u);
    auto out = wait_event("OUT", pkg);
    ASSERT_GE(out.size(), 7u);
    EXPECT_EQ(out[6], pkg);
  }
}

TEST_F(StandInLauncher, RefusesWhatItCannotStartOrKill) {
  add_app("noexec", "#!/bin/sh\necho x\n", "", 0644);
  add_app("noquor", "");
  add_app("badexec", "#!/bin/sh\necho x\n", "{\"exec\":\"missing\"}");
  write_file(apps + "/afile", "not a directory");
  launch();
  // The launcher's own codes: 2 bad id, 3 no app directory, 4 nothing to
  // run.
  const std::pair<const char*, std::uint32_t> refused[] = {
    { "nosuch", 3 },  { "afile", 3 }, { "noexec", 4 }, { "noquor", 4 },
    { "badexec", 4 }, { "", 2 },      { ".", 2 },      { "..", 2 },
    { "../apps", 2 }, { "a b", 2 },   { "a\nEV", 2 },
  };
  for (const auto& [pkg, code] : refused) {
    SCOPED_TRACE(pkg);
    Answer a = start(pkg);
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.code, code);
  }
  Answer k = kill_app("nosuch");
  EXPECT_EQ(k.result, 0);
  EXPECT_EQ(k.code, 7u);
  for (const std::string& line : daemon->lines()) {
    ADD_FAILURE() << "unexpected report: " << line;
  }
}

TEST_F(StandInLauncher, PickerStartGivesTheAppItsRequest) {
  add_app("picky",
          "#!/bin/sh\n"
          "echo \"req=$QUOR_PICKER_REQ action=$QUOR_PICKER_ACTION"
          " caller=$QUOR_PICKER_CALLER arg=$1\"\n"
          "exec \"$QUOR_CTL_BIN\" PICKER_RESULT \"$QUOR_PICKER_REQ\""
          " \"$QUOR_PICKER_ACTION\" 0 6f6b\n");
  launch({ "QUOR_PICKER_REQ=999" });  // must not leak into a plain start
  StartRequest r = make_start_request("picky", "a;b c", 1, 77, "pick", "cam");
  Answer a = send(MSG_START, &r, sizeof r);
  EXPECT_EQ(a.code, 0u);
  EXPECT_FALSE(
      daemon->wait_prefix("PICKER_RESULT 77 pick 0 6f6b", kWaitMs).empty());
  auto exit = wait_event("EXIT", "picky");
  ASSERT_EQ(exit.size(), 8u);
  EXPECT_EQ(exit[4], "0");  // the control client got through
  auto ev = events("picky", *daemon);
  ASSERT_EQ(ev.size(), 3u);
  // The picker's chain is reported as the chain, one word.
  EXPECT_EQ(std::vector<std::string>(ev[0].begin() + 3, ev[0].begin() + 5),
            (std::vector<std::string>{ "-", "a;b_c" }));
  EXPECT_EQ(std::vector<std::string>(ev[1].begin() + 6, ev[1].end()),
            (std::vector<std::string>{ "req=77", "action=pick", "caller=cam",
                                       "arg=a;b", "c" }));

  EXPECT_EQ(start("picky").code, 0u);
  EXPECT_TRUE(poll_until([&] { return events("picky", *daemon).size() >= 6; }));
  ev = events("picky", *daemon);
  EXPECT_EQ(std::vector<std::string>(ev[4].begin() + 6, ev[4].end()),
            (std::vector<std::string>{ "req=", "action=", "caller=", "arg=" }));
}

TEST_F(StandInLauncher, ReconnectsWhenTheDaemonComesBack) {
  add_app("hello", "#!/bin/sh\necho hi\n");
  launch();
  EXPECT_EQ(start("hello").code, 0u);
  ASSERT_FALSE(wait_event("EXIT", "hello").empty());
  // The daemon goes away; what happens meanwhile waits for the next one.
  daemon.reset();
  EXPECT_EQ(start("hello").code, 0u);
  daemon = std::make_unique<fake::LineListener>(ctl);
  ASSERT_TRUE(daemon->ok());
  ASSERT_FALSE(wait_event("EXIT", "hello").empty());
  auto ev = events("hello", *daemon);
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0][1], "LAUNCH");
  EXPECT_EQ(ev[1][1], "OUT");
  EXPECT_EQ(ev[2][1], "EXIT");
  // And the connection it made is kept for later reports.
  EXPECT_EQ(start("hello").code, 0u);
  EXPECT_TRUE(poll_until([&] { return events("hello", *daemon).size() == 6; }));
  EXPECT_EQ(daemon->connection_count(), 1u);
}

TEST_F(StandInLauncher, MalformedAndStalledRequestsDoNotStopIt) {
  add_app("hello", "#!/bin/sh\necho hi\n");
  launch();
  auto connect_raw = [&] {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, ipc.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(
        connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    return fd;
  };
  // A client that sends half a header and waits.
  int stalled = connect_raw();
  ASSERT_EQ(write(stalled, "\x01\x52", 2), 2);

  const std::vector<std::vector<std::uint8_t>> bad = {
    fake::frame_bytes(MSG_START, 160, std::vector<std::uint8_t>(160, 'a'),
                      0x11223344),
    fake::frame_bytes(MSG_START, 160, std::vector<std::uint8_t>(160, 'a'),
                      IPC_MAGIC, 2),
    fake::frame_bytes(0x42, 0, {}),
    fake::frame_bytes(MSG_KILL, 100000, {}),
  };
  for (const auto& frame : bad) {
    int fd = connect_raw();
    ASSERT_EQ(write(fd, frame.data(), frame.size()),
              static_cast<ssize_t>(frame.size()));
    std::uint8_t head[IPC_HEADER_SIZE];
    ASSERT_EQ(
        frame_recv(fd, head, sizeof head, monotonic_ms() + kWaitMs, kWaitMs),
        0);
    EXPECT_EQ(decode_header(head).kind, REPLY_ERROR);
    close(fd);
  }
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(start("hello").code, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  close(stalled);
  EXPECT_FALSE(wait_event("EXIT", "hello").empty());
}

TEST_F(StandInLauncher, TerminationEndsAppsAndRemovesTheSocket) {
  add_app("sleeper", "#!/bin/sh\necho ready\nsleep 30\n");
  launch();
  EXPECT_EQ(start("sleeper").code, 0u);
  auto out = wait_event("OUT", "sleeper");
  ASSERT_FALSE(out.empty());
  pid_t group = static_cast<pid_t>(std::stol(out[3]));
  EXPECT_EQ(proc->stop(), 0);
  EXPECT_NE(access(ipc.c_str(), F_OK), 0);
  EXPECT_TRUE(poll_until([&] { return !group_alive(group); }));
  auto exit = wait_event("EXIT", "sleeper");
  ASSERT_EQ(exit.size(), 8u);
  EXPECT_EQ(exit[3], "sig");
}

TEST_F(StandInLauncher, EnvironmentOverridesOptions) {
  add_app("hello", "#!/bin/sh\necho hi\n");
  std::string other = dir.file("other.sock");
  launch({ "QUOR_IPC_SOCK=" + other }, other);
  EXPECT_NE(access(ipc.c_str(), F_OK), 0);
  StartRequest r = make_start_request("hello", "");
  std::uint32_t code = 1;
  EXPECT_EQ(launcher_call(other.c_str(), MSG_START, &r, sizeof r, &code), 0);
  EXPECT_EQ(code, 0u);
}

TEST(StandInLauncherArgs, HelpAndBadOptions) {
  TempDir dir;
  std::string bin = binary("QUOR_LAUNCHER_BIN", QUOR_LAUNCHER_BIN);
  std::string log = dir.file("log");
  EXPECT_EQ(Proc({ bin, "--help" }, {}, log).wait_exit(kWaitMs), 0);
  EXPECT_NE(read_file(log).find("usage: "), std::string::npos);
  EXPECT_EQ(Proc({ bin, "--bogus" }, {}, log).wait_exit(kWaitMs), 2);
  EXPECT_EQ(Proc({ bin, "--apps" }, {}, log).wait_exit(kWaitMs), 2);
}

// A daemon stand-in for one connection: reads the line until the client
// shuts down its side, answers and closes.
class OneReply {
 public:
  OneReply(const std::string& path, std::string reply) {
    unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    listen(fd_, 1);
    thread_ = std::thread([this, reply] {
      int c = accept(fd_, nullptr, nullptr);
      char buf[512];
      ssize_t n;
      while ((n = read(c, buf, sizeof buf)) > 0) {
        got_.append(buf, static_cast<std::size_t>(n));
      }
      ssize_t ignored = write(c, reply.data(), reply.size());
      (void)ignored;
      close(c);
    });
  }
  ~OneReply() {
    thread_.join();
    close(fd_);
  }
  // What the client sent; valid after the client has exited.
  const std::string& got() const { return got_; }

 private:
  int fd_;
  std::string got_;
  std::thread thread_;
};

TEST(QuorCtl, SendsOneLineAndPrintsTheReply) {
  TempDir dir;
  std::string bin = binary("QUOR_CTL_BIN", QUOR_CTL_BIN);
  std::string sock = dir.file("ams.sock");
  std::string log = dir.file("log");
  std::string out = dir.file("out");
  {
    OneReply peer(sock, "# amd status\nRUN a 42\n");
    // Options only before the first word: "-1" is a word.
    EXPECT_EQ(Proc({ bin, "--sock", sock, "PICKER_RESULT", "5", "act", "-1",
                     "--sock" },
                   {}, log, out)
                  .wait_exit(kWaitMs),
              0);
    EXPECT_EQ(peer.got(), "PICKER_RESULT 5 act -1 --sock\n");
  }
  EXPECT_EQ(read_file(out), "# amd status\nRUN a 42\n");
  {
    OneReply peer(sock, "OK\n");
    EXPECT_EQ(Proc({ bin, "status" }, { "QUOR_AMS_SOCK=" + sock }, log, out)
                  .wait_exit(kWaitMs),
              0);
    EXPECT_EQ(peer.got(), "status\n");
  }
  unlink(sock.c_str());
  EXPECT_EQ(Proc({ bin, "--sock", sock, "status" }, {}, log).wait_exit(kWaitMs),
            1);
  EXPECT_EQ(Proc({ bin }, {}, log).wait_exit(kWaitMs), 2);
  EXPECT_EQ(Proc({ bin, "--sock" }, {}, log).wait_exit(kWaitMs), 2);
}

}  // namespace
