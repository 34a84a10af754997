// The daemon's start, kill and picker commands against a scripted launcher
// that answers as each case tells it, including garbage, silence and early
// close. Whatever the launcher does, the daemon answers, keeps serving other
// clients and keeps its state.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/support/fake_peers.h"

namespace {

using namespace e2e;
using fake::FakeReply;

struct Case {
  const char* what;
  FakeReply reply;
  std::size_t frames;  // requests the launcher saw: 2 when the daemon retried
  std::string start, kill, picker;
};

std::vector<Case> cases() {
  const std::string offline = "ERR launcher offline\n";
  return {
    { "accept", FakeReply::result(0), 1, "OK demo/Main\n",
      "OK terminate demo\n", "OK pending 1 gallery\n" },
    { "busy", FakeReply::result(8), 1, "ERR demo/Main\n",
      "ERR launcher refused: demo (code=8)\n",
      "ERR launcher refused: gallery (code=8)\n" },
    { "refuse", FakeReply::result(3), 1, "ERR demo/Main\n",
      "ERR launcher refused: demo (code=3)\n",
      "ERR launcher refused: gallery (code=3)\n" },
    // An unreachable launcher: kill falls back to SIGTERM itself.
    { "error frame", FakeReply::error(), 1, "ERR demo/Main\n",
      "OK terminate demo\n", offline },
    { "garbage", FakeReply::raw(std::vector<std::uint8_t>(16, 0xEE)), 2,
      "ERR demo/Main\n", "OK terminate demo\n", offline },
    { "early close", FakeReply::cut(10), 2, "ERR demo/Main\n",
      "OK terminate demo\n", offline },
    { "silence", FakeReply::silent(), 2, "ERR demo/Main\n",
      "OK terminate demo\n", offline },
  };
}

TEST(AmsdScriptedLauncher, EveryAnswerIsHandledAndNothingIsLost) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    Amsd a(dir);
    make_app(a.apps, "demo");
    make_app(a.apps, "gallery", R"({"picker.share":"pick;view"})");
    fake::FakeLauncher launcher(a.ipc_sock);
    ASSERT_TRUE(launcher.ok());
    ASSERT_TRUE(a.start());
    // A real process stands behind the reported pid, for the fallback.
    Process app;
    ASSERT_TRUE(app.spawn({ "/bin/sleep", "60" }, {}, dir.file("app.out"),
                          dir.file("app.err"), dir.path()));
    Conn peer = a.connect();
    peer.send("EV LAUNCH demo Main - " + std::to_string(app.pid()) + "\n");
    ASSERT_TRUE(a.wait_log("LAUNCH demo Main  pid="));

    for (int i = 0; i < 3; ++i) {
      launcher.push(c.reply);
      launcher.push(c.reply);  // for a retry
    }
    EXPECT_EQ(a.command("start demo/Main"), c.start);
    EXPECT_EQ(launcher.frame_count(), c.frames);
    EXPECT_EQ(a.command("kill demo"), c.kill);
    EXPECT_EQ(a.command("picker share"), c.picker);
    EXPECT_EQ(launcher.frame_count(), 3 * c.frames);

    // Only the fallback, with no launcher to reach, signals the app itself.
    if (c.picker == "ERR launcher offline\n") {
      EXPECT_EQ(app.wait_exit(), -1) << "the app died by its SIGTERM";
    } else {
      EXPECT_TRUE(app.running());
    }
    // The launcher's reports still arrive, the views still answer.
    EXPECT_TRUE(peer.open_and_quiet());
    peer.send("EV EXIT demo sig 15 5\n");
    EXPECT_TRUE(wait_until([&] {
      return a.command("list").find("APP demo demo stop 0 1 1 sig 15\n") !=
             std::string::npos;
    }));
    EXPECT_NE(a.command("history demo").find(" launch demo act=Main "),
              std::string::npos);
    EXPECT_EQ(a.stop(), 0);
  }
}

TEST(AmsdScriptedLauncher, AStalledLauncherDelaysButDoesNotLoseOtherClients) {
  TempDir dir;
  Amsd a(dir);
  make_app(a.apps, "demo");
  fake::FakeLauncher launcher(a.ipc_sock);
  ASSERT_TRUE(a.start());
  launcher.push(FakeReply::silent());
  launcher.push(FakeReply::silent());
  Conn starter = a.connect();
  starter.send("start demo\n");
  ASSERT_TRUE(wait_until([&] { return launcher.frame_count() >= 1; }));
  // Sent while the daemon waits on the launcher: answered afterwards.
  Conn other = a.connect();
  other.send("status\n");
  EXPECT_EQ(starter.read_all(), "ERR demo/(default)\n");
  EXPECT_EQ(other.read_all(), "# amd status (running apps)\n(none running)\n");
  EXPECT_EQ(launcher.frame_count(), 2u);
}

}  // namespace
