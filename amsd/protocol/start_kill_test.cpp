#include "amsd/protocol/start_kill.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "amsd/core/daemon.h"
#include "amsd/core/text.h"
#include "amsd/protocol/dispatch.h"
#include "tests/e2e/fake_peers.h"
#include "tests/support/sleeper.h"
#include "tests/support/test_daemon.h"

// Signals meant for init or for this test program never leave it: a broken
// guard must fail a test, not stop the machine's init or the test run.
static std::atomic<int> g_guarded_signals{ 0 };

extern "C" int kill(pid_t pid, int sig) noexcept {
  if (pid == 1 || pid == getpid()) {
    ++g_guarded_signals;
    return 0;
  }
  return static_cast<int>(syscall(SYS_kill, pid, sig));
}

namespace {

constexpr std::size_t kRoom = 512;
constexpr int kWaitMs = 10000;

// The payload bytes as the launcher must see them, laid out by hand.
std::vector<std::uint8_t> start_payload(std::string_view pkg,
                                        std::string_view act) {
  std::vector<std::uint8_t> p(sizeof(StartRequest), 0);
  std::memcpy(p.data(), pkg.data(), pkg.size());
  std::memcpy(p.data() + 32, act.data(), act.size());
  return p;
}

std::vector<std::uint8_t> kill_payload(std::string_view pkg) {
  std::vector<std::uint8_t> p(sizeof(KillRequest), 0);
  std::memcpy(p.data(), pkg.data(), pkg.size());
  return p;
}

class StartKillTest : public DaemonTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DaemonTest::SetUp());
    launcher = std::make_unique<fake::FakeLauncher>(ipc);
    ASSERT_TRUE(launcher->ok());
  }

  std::string start(std::string_view arg) {
    char buf[kRoom];
    Reply out = reply_start(buf, sizeof buf);
    start_command(*d, arg, out);
    return buf;
  }
  std::string kill_app(std::string_view arg) {
    char buf[kRoom];
    Reply out = reply_start(buf, sizeof buf);
    kill_command(*d, arg, out);
    return buf;
  }

  AppRecord& add(std::string_view pkg, std::int32_t run_state = 0,
                 std::int32_t pid = 0) {
    AppRecord& a = *find_or_add_app(d->registry, pkg);
    a.run_state = run_state;
    a.pid = pid;
    return a;
  }

  std::unique_ptr<fake::FakeLauncher> launcher;
};

TEST_F(StartKillTest, StartForwardsTheRequestAndRecordsIt) {
  AppRecord& demo = add("demo");
  struct Case {
    const char* arg;
    const char* reply;
    const char* log;
    const char* act;
  };
  const Case cases[] = {
    { "demo", "OK demo/(default)\n", "AMS start demo forwarded to launcher",
      "" },
    { "demo/Main", "OK demo/Main\n",
      "AMS start demo/Main forwarded to launcher", "Main" },
    { "demo/", "OK demo/(default)\n", "AMS start demo forwarded to launcher",
      "" },
    { "demo/a/b", "OK demo/a/b\n", "AMS start demo/a/b forwarded to launcher",
      "a/b" },
  };
  std::int32_t before = wall_seconds();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    clear_log();
    std::size_t frames = launcher->frame_count();
    int events = demo.history_count;
    EXPECT_EQ(start(c.arg), c.reply);
    ASSERT_EQ(launcher->frame_count(), frames + 1);
    const fake::RecordedFrame f = launcher->frames().back();
    EXPECT_EQ(f.header.magic, IPC_MAGIC);
    EXPECT_EQ(f.header.kind, MSG_START);
    EXPECT_EQ(f.header.length, sizeof(StartRequest));
    EXPECT_EQ(f.payload, start_payload("demo", c.act));
    EXPECT_EQ(log_texts(), std::vector<std::string>{ c.log });
    ASSERT_EQ(demo.history_count, events + 1);
    const HistoryEvent& ev = history_at(demo, demo.history_count - 1);
    EXPECT_STREQ(ev.kind, "ams_start");
    EXPECT_STREQ(ev.detail, "intent (forwarded)");
    EXPECT_GE(ev.ts, before);
    EXPECT_LE(ev.ts, wall_seconds());
    EXPECT_EQ(ev.up, 42);
  }
  // Run state is the launcher's to report.
  EXPECT_EQ(demo.run_state, 0);
}

TEST_F(StartKillTest, StartFailuresSayWhyOnlyInTheLog) {
  AppRecord& demo = add("demo");
  struct Case {
    const char* name;
    std::vector<fake::FakeReply> replies;
    std::size_t frames;
    const char* log;
  };
  const Case cases[] = {
    { "busy",
      { fake::FakeReply::result(LAUNCH_BUSY) },
      1,
      "AMS start demo -> BUSY (app running)" },
    { "refused",
      { fake::FakeReply::result(3) },
      1,
      "AMS start demo -> launcher offline" },
    { "error frame",
      { fake::FakeReply::error() },
      1,
      "AMS start demo -> launcher offline" },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clear_log();
    for (const fake::FakeReply& r : c.replies) {
      launcher->push(r);
    }
    std::size_t frames = launcher->frame_count();
    EXPECT_EQ(start("demo"), "ERR demo/(default)\n");
    EXPECT_EQ(launcher->frame_count(), frames + c.frames);
    EXPECT_EQ(log_texts(), std::vector<std::string>{ c.log });
  }
  launcher.reset();
  clear_log();
  EXPECT_EQ(start("demo/Main"), "ERR demo/Main\n");
  EXPECT_EQ(log_texts(),
            std::vector<std::string>{ "AMS start demo -> launcher offline" });
  EXPECT_EQ(demo.history_count, 0);
}

TEST_F(StartKillTest, StartCutsTheArgumentBeforeItSplits) {
  const std::string pkg20(20, 'p');
  add(pkg20);
  add("demo");
  // 20 + "/" + 19: only 31 bytes are read, so 10 of the activity remain.
  EXPECT_EQ(start(pkg20 + "/" + "abcdefghijklmnopqrs"),
            "OK " + pkg20 + "/abcdefghij\n");
  ASSERT_EQ(launcher->frame_count(), 1u);
  EXPECT_EQ(launcher->frames()[0].payload, start_payload(pkg20, "abcdefghij"));

  // Nothing is sent or logged for a package that is not registered.
  clear_log();
  const std::pair<std::string, std::string> unknown[] = {
    { std::string(31, 'x') + "/Main", std::string(31, 'x') },
    { "/Main", "" },
    { "nosuch/Main", "nosuch" },
    { "demo2", "demo2" },
    { "Demo", "Demo" },
  };
  for (const auto& [arg, shown] : unknown) {
    EXPECT_EQ(start(arg), "ERR pkg not registered: " + shown + "\n") << arg;
  }
  EXPECT_EQ(launcher->frame_count(), 1u);
  EXPECT_TRUE(log_texts().empty());
}

TEST_F(StartKillTest, OnlyTheFirstWordIsTheArgument) {
  add("demo");
  std::string line = "start demo/Main demo/Other third";
  char reply[kRoom];
  ASSERT_TRUE(dispatch_line(*d, line.data(), reply, sizeof reply));
  EXPECT_STREQ(reply, "OK demo/Main\n");
  EXPECT_EQ(launcher->frames().at(0).payload, start_payload("demo", "Main"));
}

TEST_F(StartKillTest, KillForwardsTheRequestAndRecordsIt) {
  AppRecord& demo = add("demo", 1, 999999);
  EXPECT_EQ(kill_app("demo"), "OK terminate demo\n");
  ASSERT_EQ(launcher->frame_count(), 1u);
  const fake::RecordedFrame f = launcher->frames()[0];
  EXPECT_EQ(f.header.kind, MSG_KILL);
  EXPECT_EQ(f.header.length, sizeof(KillRequest));
  EXPECT_EQ(f.payload, kill_payload("demo"));
  EXPECT_EQ(log_texts(),
            std::vector<std::string>{ "AMS kill demo -> terminate" });
  ASSERT_EQ(demo.history_count, 1);
  EXPECT_STREQ(history_at(demo, 0).kind, "ams_kill");
  EXPECT_STREQ(history_at(demo, 0).detail, "terminate (via launcher)");
  EXPECT_EQ(history_at(demo, 0).up, 42);
  EXPECT_EQ(demo.run_state, 1);
  EXPECT_EQ(demo.pid, 999999);
}

TEST_F(StartKillTest, KillRefusals) {
  add("stopped", 0, 1234);
  add("nopid", 1, 0);
  add("badpid", 1, -5);
  AppRecord& running = add("running", 1, 999999);
  const std::pair<const char*, const char*> before_launcher[] = {
    { "nosuch", "ERR pkg not registered: nosuch\n" },
    { "Running", "ERR pkg not registered: Running\n" },
    { "stopped", "ERR not running: stopped\n" },
    { "nopid", "ERR not running: nopid\n" },
    { "badpid", "ERR not running: badpid\n" },
  };
  for (const auto& [arg, want] : before_launcher) {
    EXPECT_EQ(kill_app(arg), want);
  }
  EXPECT_EQ(launcher->frame_count(), 0u);
  EXPECT_TRUE(log_texts().empty());

  for (std::uint32_t code : { 3u, 8u, 4294967295u }) {
    SCOPED_TRACE(code);
    clear_log();
    launcher->push(fake::FakeReply::result(code));
    std::string c = std::to_string(code);
    EXPECT_EQ(kill_app("running"),
              "ERR launcher refused: running (code=" + c + ")\n");
    EXPECT_EQ(log_texts(),
              std::vector<std::string>{
                  "AMS kill running -> launcher refused code=" + c });
  }
  EXPECT_EQ(running.history_count, 0);
}

TEST_F(StartKillTest, UnreachableLauncherFallsBackToSigterm) {
  const char* modes[] = { "no launcher", "error frame" };
  for (const char* mode : modes) {
    SCOPED_TRACE(mode);
    if (std::string(mode) == "error frame") {
      launcher = std::make_unique<fake::FakeLauncher>(ipc);
      launcher->push(fake::FakeReply::error());
    } else {
      launcher.reset();
    }
    clear_log();
    pid_t child = spawn_sleeper();
    ASSERT_GT(child, 0);
    AppRecord& demo = add("demo", 1, child);
    int events = demo.history_count;
    EXPECT_EQ(kill_app("demo"), "OK terminate demo\n");
    int st = reap(child);
    ASSERT_NE(st, -1) << "the child was not signalled";
    EXPECT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGTERM);
    EXPECT_EQ(log_texts(),
              (std::vector<std::string>{
                  "AMS kill demo -> direct SIGTERM (launcher offline)",
                  "AMS kill demo -> terminate" }));
    ASSERT_EQ(demo.history_count, events + 1);
    EXPECT_STREQ(history_at(demo, events).kind, "ams_kill");
    EXPECT_STREQ(history_at(demo, events).detail, "terminate (via launcher)");
  }
}

TEST_F(StartKillTest, FallbackNeverSignalsInitOrTheDaemon) {
  // The guard above must be in place before anything is tried.
  int seen = g_guarded_signals;
  kill(1, 0);
  ASSERT_EQ(g_guarded_signals, seen + 1);

  launcher.reset();
  for (pid_t pid : { static_cast<pid_t>(1), getpid() }) {
    SCOPED_TRACE(pid);
    clear_log();
    AppRecord& demo = add("demo", 1, pid);
    seen = g_guarded_signals;
    EXPECT_EQ(kill_app("demo"), "ERR launcher offline\n");
    EXPECT_EQ(g_guarded_signals, seen);
    EXPECT_EQ(log_texts(),
              std::vector<std::string>{ "AMS kill demo -> launcher offline" });
    EXPECT_EQ(demo.history_count, 0);
  }
  for (pid_t pid : { 0, -1, -2147483647 - 1 }) {
    SCOPED_TRACE(pid);
    add("demo", 1, pid);
    EXPECT_EQ(kill_app("demo"), "ERR not running: demo\n");
  }
}

}  // namespace
