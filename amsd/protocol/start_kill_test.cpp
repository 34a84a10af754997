#include "amsd/protocol/start_kill.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "amsd/base/clock.h"
#include "amsd/base/text.h"
#include "amsd/protocol/dispatch.h"
#include "tests/support/fake_peers.h"
#include "tests/support/protocol_fixture.h"

// No signal leaves this test program: kill() only notes what it was asked,
// so a broken guard fails a test instead of reaching init or the test run.
static std::vector<std::pair<pid_t, int>> g_signals;

extern "C" int kill(pid_t pid, int sig) noexcept {
  g_signals.emplace_back(pid, sig);
  return 0;
}

namespace {

constexpr std::size_t ROOM = 512;
// What the launcher answers: a result code, an error frame, or nothing at
// all because none listens.
constexpr std::int64_t ERROR_FRAME = -1;
constexpr std::int64_t NO_LAUNCHER = -2;

class StartKillTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProtocolTest::SetUp());
    app = find_or_add_app(d->registry, "demo");
  }

  // Runs line against a launcher that answers as told, and tells the
  // reply, the log lines, the history events and the signals it caused.
  std::string outcome(const std::string& line, std::int64_t answer) {
    launcher.reset();
    if (answer != NO_LAUNCHER) {
      launcher = std::make_unique<fake::FakeLauncher>(ipc);
      launcher->push(
          answer == ERROR_FRAME
              ? fake::FakeReply::error()
              : fake::FakeReply::result(static_cast<std::uint32_t>(answer)));
    }
    clear_log();
    g_signals.clear();
    int events = app->history_count;
    std::string in = line;
    char reply[ROOM];
    EXPECT_TRUE(dispatch_line(ctx(), peer, in.data(), reply, sizeof reply))
        << line;
    std::string out = reply;
    for (const std::string& l : log_texts()) {
      out += "; " + l;
    }
    for (int i = events; i < app->history_count; ++i) {
      const HistoryEvent& ev = history_at(*app, i);
      EXPECT_EQ(ev.up, 42) << line;
      out += std::string("; event ") + ev.kind + ": " + ev.detail;
    }
    for (auto [pid, sig] : g_signals) {
      out += "; kill " + std::to_string(pid) + " " + std::to_string(sig);
    }
    return out;
  }

  // The one request the launcher got, laid out by hand as it must see it.
  void expect_request(std::uint16_t kind, std::size_t size, std::string pkg,
                      std::string act = "") {
    ASSERT_EQ(launcher->frame_count(), 1u);
    const fake::RecordedFrame f = launcher->frames()[0];
    std::vector<std::uint8_t> want(size, 0);
    std::memcpy(want.data(), pkg.data(), pkg.size());
    std::memcpy(want.data() + 32, act.data(), act.size());
    EXPECT_EQ(f.header.kind, kind);
    EXPECT_EQ(f.payload, want);
  }

  AppRecord* app = nullptr;
  std::unique_ptr<fake::FakeLauncher> launcher;
};

TEST_F(StartKillTest, Start) {
  const std::string forwarded = "; event ams_start: intent (forwarded)";
  struct Case {
    std::string arg;
    std::int64_t answer;
    std::string act, want;
  };
  const Case cases[] = {
    { "demo", 0, "",
      "OK demo/(default)\n; AMS start demo forwarded to launcher" + forwarded },
    { "demo/Main", 0, "Main",
      "OK demo/Main\n; AMS start demo/Main forwarded to launcher" + forwarded },
    { "demo/", 0, "",
      "OK demo/(default)\n; AMS start demo forwarded to launcher" + forwarded },
    { "demo/a/b", 0, "a/b",
      "OK demo/a/b\n; AMS start demo/a/b forwarded to launcher" + forwarded },
    // Only the first word after the command is its argument.
    { "demo/Main demo/Other third", 0, "Main",
      "OK demo/Main\n; AMS start demo/Main forwarded to launcher" + forwarded },
    // Only the log says why a start failed.
    { "demo", LAUNCH_BUSY, "",
      "ERR demo/(default)\n; AMS start demo -> BUSY (app running)" },
    { "demo", 3, "",
      "ERR demo/(default)\n; AMS start demo -> launcher offline" },
    { "demo/Main", NO_LAUNCHER, "",
      "ERR demo/Main\n; AMS start demo -> launcher offline" },
  };
  std::int32_t before = wall_seconds();
  for (const Case& c : cases) {
    EXPECT_EQ(outcome("start " + c.arg, c.answer), c.want);
    if (c.answer == 0) {
      expect_request(MSG_START, sizeof(StartRequest), "demo", c.act);
    }
  }
  EXPECT_GE(history_at(*app, 0).ts, before);
  EXPECT_LE(history_at(*app, 0).ts, wall_seconds());
  // Run state is the launcher's to report.
  EXPECT_EQ(app->run_state, RunState::kStopped);
}

TEST_F(StartKillTest, StartCutsTheArgumentBeforeItSplits) {
  const std::string pkg20(20, 'p');
  app = find_or_add_app(d->registry, pkg20);
  // 20 + "/" + 19: only 31 bytes are read, so 10 of the activity remain.
  EXPECT_EQ(outcome("start " + pkg20 + "/abcdefghijklmnopqrs", 0),
            "OK " + pkg20 + "/abcdefghij\n; AMS start " + pkg20 +
                "/abcdefghij forwarded to launcher; event ams_start: intent "
                "(forwarded)");
  expect_request(MSG_START, sizeof(StartRequest), pkg20, "abcdefghij");

  // Nothing is sent or logged for a package that is not registered.
  const std::pair<std::string, std::string> unknown[] = {
    { std::string(31, 'x') + "/Main", std::string(31, 'x') },
    { "/Main", "" },
    { "nosuch/Main", "nosuch" },
  };
  for (const auto& [arg, shown] : unknown) {
    EXPECT_EQ(outcome("start " + arg, 0),
              "ERR pkg not registered: " + shown + "\n");
    EXPECT_EQ(launcher->frame_count(), 0u);
  }
}

TEST_F(StartKillTest, Kill) {
  const std::string killed = "; event ams_kill: terminate (via launcher)";
  const std::string offline =
      "OK terminate demo\n"
      "; AMS kill demo -> direct SIGTERM (launcher offline)"
      "; AMS kill demo -> terminate" +
      killed + "; kill 999999 " + std::to_string(SIGTERM);
  const std::string guarded =
      "ERR launcher offline\n; AMS kill demo -> launcher offline";
  struct Case {
    std::int32_t run_state, pid;
    std::int64_t answer;
    std::string want;
  };
  const Case cases[] = {
    { 1, 999999, 0,
      "OK terminate demo\n; AMS kill demo -> terminate" + killed },
    { 1, 999999, 3,
      "ERR launcher refused: demo (code=3)\n; AMS kill demo -> launcher "
      "refused code=3" },
    // The launcher cannot be reached: the daemon sends SIGTERM itself...
    { 1, 999999, NO_LAUNCHER, offline },
    { 1, 999999, ERROR_FRAME, offline },
    // ...but never to init or to itself.
    { 1, 1, NO_LAUNCHER, guarded },
    { 1, getpid(), NO_LAUNCHER, guarded },
    // Not running: nothing reaches the launcher.
    { 0, 1234, 0, "ERR not running: demo\n" },
    { 1, 0, NO_LAUNCHER, "ERR not running: demo\n" },
    { 1, -1, NO_LAUNCHER, "ERR not running: demo\n" },
    { 1, -2147483647 - 1, NO_LAUNCHER, "ERR not running: demo\n" },
  };
  for (const Case& c : cases) {
    app->run_state = static_cast<RunState>(c.run_state);
    app->pid = c.pid;
    EXPECT_EQ(outcome("kill demo", c.answer), c.want) << c.pid;
    if (launcher && c.run_state == 1 && c.pid > 0) {
      expect_request(MSG_KILL, sizeof(KillRequest), "demo");
    } else if (launcher) {
      EXPECT_EQ(launcher->frame_count(), 0u);
    }
    // Run state waits for the launcher's exit report.
    EXPECT_EQ(static_cast<int>(app->run_state), c.run_state);
    EXPECT_EQ(app->pid, c.pid);
  }
  EXPECT_EQ(outcome("kill nosuch", 0), "ERR pkg not registered: nosuch\n");
  EXPECT_EQ(launcher->frame_count(), 0u);
}

}  // namespace
