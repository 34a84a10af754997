// The stand-in launcher's own promises, the program run whole: shell-script
// apps, requests through the real launcher_call, and a line listener in the
// daemon's place. What the daemon makes of its reports is tested there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "amsd/launcher/frame.h"
#include "amsd/launcher/launcher_client.h"
#include "tests/e2e/harness.h"
#include "tests/support/fake_peers.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

constexpr int WAIT_MS = 10000;
using Words = std::vector<std::string>;

Words words_of(const std::string& line) {
  Words out;
  std::istringstream in(line);
  for (std::string w; in >> w;) {
    out.push_back(w);
  }
  return out;
}

template <typename Pred>
bool poll_until(Pred done) {
  auto end =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// True once the process whose pid the file holds has ended: gone, or a
// zombie that nobody here reaps.
bool ended(const std::string& pid_file) {
  std::string stat =
      read_file("/proc/" + words_of(read_file(pid_file)).at(0) + "/stat");
  std::size_t paren = stat.rfind(')');
  return paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0;
}

class StandInLauncher : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(apps.c_str(), 0755), 0);
    ASSERT_TRUE(daemon.ok());
  }
  void TearDown() override {
    if (launcher > 0) {
      EXPECT_EQ(stop(), 0);
    }
  }

  // Runs the launcher with the test's environment minus its QUOR_
  // variables, plus env, and waits until it answers.
  void launch(std::vector<std::string> env = {}) {
    env.push_back("QUOR_CTL_BIN=" +
                  e2e::script_runnable(e2e::built("QUOR_CTL_BIN", QUOR_CTL_BIN),
                                       dir.path()));
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "QUOR_", 5) != 0) {
        env.push_back(*e);
      }
    }
    std::vector<std::string> argv =
        e2e::program(e2e::built("QUOR_LAUNCHER_BIN", QUOR_LAUNCHER_BIN));
    argv.insert(argv.end(),
                { "--ipc-sock", ipc, "--sock", ctl, "--apps", apps });
    std::vector<char*> av, ev;
    for (auto [from, to] : { std::pair(&argv, &av), std::pair(&env, &ev) }) {
      for (const std::string& a : *from) {
        to->push_back(const_cast<char*>(a.c_str()));
      }
      to->push_back(nullptr);
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_EQ(posix_spawn(&launcher, av[0], &fa, nullptr, av.data(), ev.data()),
              0);
    posix_spawn_file_actions_destroy(&fa);
    // A kill of no app, refused once the launcher is up.
    KillRequest none = make_kill_request("none");
    std::uint32_t code;
    ASSERT_TRUE(poll_until([&] {
      return !launcher_call(ipc.c_str(), MSG_KILL, &none, sizeof none, &code);
    })) << read_file(log);
  }
  // SIGTERM; the exit status, or -1 (then killed) when it hangs on.
  int stop() {
    pid_t pid = std::exchange(launcher, -1);
    int st = 0;
    kill(pid, SIGTERM);
    if (!poll_until([&] { return waitpid(pid, &st, WNOHANG) == pid; })) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -1;
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

  void add_app(const std::string& pkg, const std::string& script,
               const std::string& manifest = "", mode_t mode = 0755,
               const std::string& exe = "quor") {
    std::string d = apps + "/" + pkg;
    mkdir(d.c_str(), 0755);
    if (!script.empty()) {
      ASSERT_TRUE(write_file(d + "/" + exe, "#!/bin/sh\n" + script));
      ASSERT_EQ(chmod((d + "/" + exe).c_str(), mode), 0);
    }
    if (!manifest.empty()) {
      ASSERT_TRUE(write_file(d + "/app.json", manifest));
    }
  }

  // The result code of a request.
  template <typename Request>
  std::uint32_t send(std::uint16_t type, const Request& r) {
    std::uint32_t code = 0xFFFFFFFF;
    EXPECT_EQ(launcher_call(ipc.c_str(), type, &r, sizeof r, &code), 0);
    return code;
  }
  std::uint32_t start(const std::string& pkg, const std::string& act = "") {
    return send(MSG_START, make_start_request(pkg, act));
  }
  std::uint32_t kill_app(const std::string& pkg) {
    return send(MSG_KILL, make_kill_request(pkg));
  }

  // Lines whose first words are "EV <event> <pkg>".
  std::vector<Words> events(const std::string& pkg) {
    std::vector<Words> out;
    for (const std::string& line : daemon.lines()) {
      Words w = words_of(line);
      if (w.size() >= 3 && w[0] == "EV" && w[2] == pkg) {
        out.push_back(w);
      }
    }
    return out;
  }
  bool wait_events(const std::string& pkg, std::size_t n) {
    return poll_until([&] { return events(pkg).size() >= n; });
  }

  TempDir dir;
  std::string apps = dir.file("apps");
  std::string ipc = dir.file("ipc.sock");
  std::string ctl = dir.file("ams.sock");
  std::string log = dir.file("launcher.log");
  fake::LineListener daemon{ ctl };
  pid_t launcher = -1;
};

TEST_F(StandInLauncher, StartReportsLaunchOutputAndExit) {
  add_app("hello",
          "echo \"hello $1\"\n"
          "echo\n"
          "printf 'two  spaces\\r\\n'\n"
          "head -c 3000 /dev/zero | tr '\\0' x; echo\n"
          "printf 'no newline'\n");
  launch();
  long now = static_cast<long>(std::time(nullptr));
  EXPECT_EQ(start("hello", "Main"), 0u);
  ASSERT_TRUE(wait_events("hello", 7));
  std::vector<Words> ev = events("hello");
  // EV LAUNCH <pkg> <act> <chain> <pid> <ts> <up>
  ASSERT_EQ(ev[0].size(), 8u);
  EXPECT_EQ(Words(ev[0].begin() + 1, ev[0].begin() + 5),
            (Words{ "LAUNCH", "hello", "Main", "-" }));
  EXPECT_NEAR(std::stol(ev[0][6]), now, 5);
  // EV OUT <pkg> <pid> <ts> <up> <text...>, one per output line; no line
  // keeps a carriage return or outgrows what the daemon reads.
  const std::vector<Words> texts = {
    { "hello", "Main" }, {}, { "two", "spaces" }, { std::string(1900, 'x') },
    { "no", "newline" },
  };
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const Words& w = ev[1 + i];
    ASSERT_GE(w.size(), 6u);
    EXPECT_EQ(Words(w.begin() + 1, w.begin() + 4),
              (Words{ "OUT", "hello", ev[0][5] }));
    EXPECT_EQ(Words(w.begin() + 6, w.end()), texts[i]) << i;
  }
  for (const std::string& line : daemon.lines()) {
    EXPECT_EQ(line.find('\r'), std::string::npos);
    EXPECT_LT(line.size(), 2047u);
  }
  // EV EXIT <pkg> exit|sig <code> <dur_ms> <ts> <up>
  ASSERT_EQ(ev[6].size(), 8u);
  EXPECT_EQ(Words(ev[6].begin() + 1, ev[6].begin() + 5),
            (Words{ "EXIT", "hello", "exit", "0" }));
}

TEST_F(StandInLauncher, BusyKillAndStopEndWholeGroups) {
  // The script's own child tells whether a kill reached the whole group.
  add_app("sleeper", "sleep 30 &\necho $! >sleep.pid\nwait\n");
  const std::string pid_file = apps + "/sleeper/sleep.pid";
  auto running = [&] { return !read_file(pid_file).empty(); };
  launch();
  EXPECT_EQ(start("sleeper"), 0u);
  ASSERT_TRUE(poll_until(running));
  EXPECT_EQ(start("sleeper"), LAUNCH_BUSY);
  EXPECT_EQ(kill_app("sleeper"), 0u);
  ASSERT_TRUE(wait_events("sleeper", 2));
  Words exit = events("sleeper")[1];
  EXPECT_EQ(Words(exit.begin() + 1, exit.begin() + 5),
            (Words{ "EXIT", "sleeper", "sig", "15" }));
  EXPECT_TRUE(poll_until([&] { return ended(pid_file); }));
  EXPECT_EQ(kill_app("sleeper"), 7u);  // not running
  EXPECT_EQ(events("sleeper").size(), 2u);

  // Stopping the launcher ends its apps likewise and removes the socket.
  ASSERT_EQ(unlink(pid_file.c_str()), 0);
  EXPECT_EQ(start("sleeper"), 0u);
  ASSERT_TRUE(poll_until(running));
  EXPECT_EQ(stop(), 0);
  EXPECT_NE(access(ipc.c_str(), F_OK), 0);
  EXPECT_TRUE(poll_until([&] { return ended(pid_file); }));
  ASSERT_TRUE(wait_events("sleeper", 4));
  EXPECT_EQ(events("sleeper")[3][3], "sig");
}

// Until the child has reset the launcher's handlers, a kill for it must be
// held back, not swallowed. The window is short: try it many times.
TEST_F(StandInLauncher, KillRightAfterStartIsNotLost) {
  // The manifest's exec, absolute here, is what runs.
  add_app("sleeper", "sleep 30\n",
          "{ \"exec\": \"" + apps + "/sleeper/bin.sh\" }", 0755, "bin.sh");
  launch();
  for (std::size_t i = 0; i < 200; ++i) {
    ASSERT_EQ(start("sleeper"), 0u) << i;
    ASSERT_EQ(kill_app("sleeper"), 0u) << i;
    ASSERT_TRUE(wait_events("sleeper", 2 * (i + 1)))
        << "the app ran on after kill " << i;
  }
}

TEST_F(StandInLauncher, RefusesWhatItCannotStartOrKill) {
  add_app("noexec", "echo x\n", "", 0644);
  add_app("noquor", "");
  ASSERT_TRUE(write_file(apps + "/afile", "not a directory"));
  launch();
  // The launcher's own codes: 2 bad id, 3 no app directory, 4 nothing to
  // run. An id must stay one path component and one word of a line.
  const std::pair<const char*, std::uint32_t> refused[] = {
    { "nosuch", 3 }, { "afile", 3 }, { "noexec", 4 }, { "noquor", 4 },
    { "", 2 },       { ".", 2 },     { "..", 2 },     { "../apps", 2 },
    { "a b", 2 },    { "a\nEV", 2 },
  };
  for (const auto& [pkg, code] : refused) {
    EXPECT_EQ(start(pkg), code) << pkg;
  }
  EXPECT_EQ(kill_app("nosuch"), 7u);
  EXPECT_EQ(daemon.lines(), std::vector<std::string>{});
}

TEST_F(StandInLauncher, PickerStartGivesTheAppItsRequest) {
  // quor_ctl takes options only before its first word.
  // Its exec is relative to the app directory.
  add_app("picky",
          "echo \"req=$QUOR_PICKER_REQ action=$QUOR_PICKER_ACTION"
          " caller=$QUOR_PICKER_CALLER arg=$1\"\n"
          "exec \"$QUOR_CTL_BIN\" PICKER_RESULT \"$QUOR_PICKER_REQ\""
          " \"$QUOR_PICKER_ACTION\" -1 --sock\n",
          "{\n  \"exec\" : \"run.sh\"\n}\n", 0755, "run.sh");
  launch({ "QUOR_PICKER_REQ=999" });  // must not leak into a plain start
  StartRequest r = make_start_request("picky", "a;b c", 1, 77, "pick", "cam");
  EXPECT_EQ(send(MSG_START, r), 0u);
  EXPECT_FALSE(
      daemon.wait_prefix("PICKER_RESULT 77 pick -1 --sock", WAIT_MS).empty());
  ASSERT_TRUE(wait_events("picky", 3));
  std::vector<Words> ev = events("picky");
  // The picker's chain is reported as the chain, one word.
  EXPECT_EQ(Words(ev[0].begin() + 3, ev[0].begin() + 5),
            (Words{ "-", "a;b_c" }));
  EXPECT_EQ(Words(ev[1].begin() + 6, ev[1].end()),
            (Words{ "req=77", "action=pick", "caller=cam", "arg=a;b", "c" }));
  EXPECT_EQ(Words(ev[2].begin() + 3, ev[2].begin() + 5),
            (Words{ "exit", "0" }));  // quor_ctl got through

  EXPECT_EQ(start("picky"), 0u);
  ASSERT_TRUE(wait_events("picky", 6));
  Words out = events("picky")[4];
  EXPECT_EQ(Words(out.begin() + 6, out.end()),
            (Words{ "req=", "action=", "caller=", "arg=" }));
}

}  // namespace
