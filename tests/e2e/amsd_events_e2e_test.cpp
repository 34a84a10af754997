// The launcher's event lines, run whole: a launcher-like peer streams its
// reports, garbage among them, over one kept connection while clients read
// the run state, and a crash listener takes the notices.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "tests/e2e/harness.h"
#include "tests/support/fake_peers.h"

namespace {

using namespace e2e;

TEST(AmsdEvents, ReportsOverOneKeptConnection) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  Conn launcher = a.connect();
  ASSERT_TRUE(launcher.ok());
  // With no crash listener, an abnormal exit is still recorded in full.
  ASSERT_TRUE(
      launcher.send("EV LAUNCH demo main - 5 1000 1\n"
                    "EV EXIT demo exit 3 10 1001 2\n"));
  ASSERT_TRUE(a.wait_log("EXIT demo exit=3 dur=10 abnormal=1"));
  EXPECT_EQ(a.command("history demo"),
            "# amd history demo\n"
            "EVT 1000 1 launch demo act=main chain= pid=5\n"
            "EVT 1001 2 crash demo exit=3 dur=10ms crash=1\n");

  fake::CrashListener crash(a.crash_sock);
  ASSERT_TRUE(crash.ok());
  std::string garbage =
      "EV \nEV LAUNCH\nEV LAUNCH x m c\nEV EXIT x\nEV OUT x 1\n"
      "EV WHAT a b c d\nDECLARE a\nPICKER_CALL a 1\nPICKER_RESULT 1 a 0\n"
      "PICKER_NONE a b c d\nEV \x01\x02\xff\xfe\n"
      "EV LAUNCH ../../escape m - 5 1000 1\n"
      "EV LAUNCH .. m - 6 1000 1\n";
  garbage += "EV OUT x 1 2 3 " + std::string(1500, 'y') + "\n";
  ASSERT_TRUE(launcher.send(garbage));
  ASSERT_TRUE(a.wait_log("LAUNCH .. m  pid=6")) << a.service_log();
  EXPECT_EQ(a.command("history .."),
            "# amd history ..\nEVT 1000 1 launch .. act=m chain= pid=6\n");

  // Neither made a directory or a file outside the logs directory.
  struct stat st;
  EXPECT_NE(lstat((a.card + "/escape").c_str(), &st), 0);
  EXPECT_NE(lstat((a.card + "/QuorOS/stdout_1000_6.log").c_str(), &st), 0);
  EXPECT_NE(lstat(dir.file("escape").c_str(), &st), 0);

  // Other clients are served, and the launcher's connection stays open.
  EXPECT_EQ(a.command("nosuch"), "ERR unknown cmd: nosuch\n");
  EXPECT_TRUE(launcher.open_and_quiet());
  ASSERT_TRUE(launcher.send("EV EXIT .. sig 9 1 2 3\n"));
  EXPECT_EQ(crash.wait_prefix("SVC ", 20000), "SVC .. sig 9 2 3");
}

TEST(AmsdEvents, ALaunchFloodFillsTheTableAndDropsTheRest) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  Conn launcher = a.connect();
  std::string flood;
  for (int i = 0; i < 70; ++i) {
    flood += "EV LAUNCH app" + std::to_string(i) + " m - " +
             std::to_string(100 + i) + " 1000 1\n";
  }
  ASSERT_TRUE(launcher.send(flood));
  ASSERT_TRUE(a.wait_log("LAUNCH app63 m  pid=163"));
  EXPECT_EQ(a.command("rescan"), "OK rescan 64 app(s)\n");
  EXPECT_EQ(a.command("history app64"),
            "# amd history app64\n(no such app app64)\n");
  // Reports for known apps still count; the connection stays open.
  ASSERT_TRUE(launcher.send("EV EXIT app0 exit 0 5\n"));
  EXPECT_TRUE(a.wait_log("EXIT app0 exit=0 dur=5 abnormal=0"));
  EXPECT_TRUE(launcher.open_and_quiet());
  EXPECT_EQ(count_of(a.service_log(), "LAUNCH app"), 64);
}

// However the crash listener fails, an abnormal exit is recorded and the
// next command answered within the notice's 150 ms wait.
TEST(AmsdEvents, ACrashListenerThatFailsHoldsTheDaemonAtMost150ms) {
  using fake::DeadEnd;
  constexpr Millis BOUND = 150ms + 450ms;  // slack for a loaded machine
  enum Kind { kAbsent, kReads, kNeverReads, kDead };
  struct Row {
    const char* what;
    Kind kind;
    DeadEnd::Kind dead;
  };
  const Row rows[] = {
    { "absent", kAbsent, {} },
    { "refusing", kDead, DeadEnd::kRefused },
    { "never accepting", kDead, DeadEnd::kNeverAccepts },
    { "never accepting, backlog full", kDead, DeadEnd::kBacklogFull },
    { "never reading", kNeverReads, {} },
    { "reading", kReads, {} },
  };
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  Conn launcher = a.connect();
  int n = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    std::unique_ptr<fake::CrashListener> reader;
    std::unique_ptr<fake::Sink> sink;
    std::unique_ptr<DeadEnd> dead;
    if (r.kind == kReads) {
      reader = std::make_unique<fake::CrashListener>(a.crash_sock);
    } else if (r.kind == kNeverReads) {
      sink = std::make_unique<fake::Sink>(a.crash_sock);
    } else if (r.kind == kDead) {
      dead = std::make_unique<DeadEnd>(a.crash_sock, r.dead);
      ASSERT_TRUE(dead->ok());
    }
    std::string pkg = "app" + std::to_string(n++);
    ASSERT_TRUE(launcher.send("EV LAUNCH " + pkg + " m - 5 1000 1\n"));
    ASSERT_TRUE(a.wait_log("LAUNCH " + pkg + " m  pid=5"));

    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(launcher.send("EV EXIT " + pkg + " exit 3 10 1001 2\n"));
    EXPECT_TRUE(wait_until([&] {
      return a.command("history " + pkg)
          .ends_with("EVT 1001 2 crash " + pkg + " exit=3 dur=10ms crash=1\n");
    }));
    EXPECT_LE(std::chrono::steady_clock::now() - t0, BOUND);
    if (reader) {
      EXPECT_EQ(reader->wait_prefix("SVC ", 20000),
                "SVC " + pkg + " exit 3 1001 2");
    }
    if (sink) {
      EXPECT_TRUE(wait_until([&] { return sink->connection_count() == 1; }));
    }
  }
  EXPECT_TRUE(launcher.open_and_quiet());
}

}  // namespace
