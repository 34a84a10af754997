// The launcher's event lines, run whole: a launcher-like peer streams its
// reports over one kept connection while clients read the run state, and a
// crash listener takes the notices.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/fake_peers.h"
#include "tests/e2e/harness.h"

namespace {

using namespace e2e;

constexpr int kWaitMs = 20000;

bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* de = readdir(d)) {
      std::string n = de->d_name;
      if (n != "." && n != "..") {
        out.push_back(n);
      }
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// True when want appears in have in this order (other lines between).
bool in_order(const std::vector<std::string>& have,
              const std::vector<std::string>& want) {
  std::size_t i = 0;
  for (const std::string& l : have) {
    if (i < want.size() && l == want[i]) {
      ++i;
    }
  }
  return i == want.size();
}

TEST(AmsdEvents, LauncherStreamDrivesRunStateCaptureAndCrashNotice) {
  TempDir dir;
  Amsd a(dir);
  fake::CrashListener crash(a.crash_sock);
  ASSERT_TRUE(crash.ok());
  ASSERT_TRUE(a.start());

  Conn launcher = a.connect();
  ASSERT_TRUE(launcher.ok());
  ASSERT_TRUE(
      launcher.send("EV LAUNCH demo main chainA 4242 1000 15\n"
                    "EV OUT demo 4242 1001 16 hello   world\n"
                    "EV OUT demo 4242 1002\n"
                    "EV LAUNCH calm idle - 77\n"));
  ASSERT_TRUE(a.wait_log("LAUNCH calm idle  pid=77"));
  EXPECT_TRUE(launcher.open_and_quiet());

  std::string status = a.command("status");
  EXPECT_TRUE(
      status.starts_with("# amd status (running apps)\n"
                         "RUN demo fg 4242 "))
      << status;
  EXPECT_NE(status.find(" main\nRUN calm fg 77 "), std::string::npos) << status;
  EXPECT_EQ(a.command("list"),
            "# amd register+state\n"
            "APP demo demo fg 4242 1 0 clean 0\n"
            "APP calm calm fg 77 1 0 clean 0\n");

  // calm's launch took the capture over from demo.
  const std::string capture = a.logs + "/demo/stdout_1000_4242.log";
  EXPECT_EQ(read_file(capture), "[1001|up=16] hello world\n[1002|up=0] \n");
  EXPECT_EQ(entries(a.logs + "/calm").size(), 1u);

  ASSERT_TRUE(
      launcher.send("EV EXIT demo sig 11 5000 1010 20\n"
                    "EV EXIT calm exit 0 300 1011 21\n"));
  EXPECT_EQ(crash.wait_prefix("SVC ", kWaitMs), "SVC demo sig 11 1010 20");
  ASSERT_TRUE(a.wait_log("EXIT calm exit=0 dur=300 abnormal=0"));
  EXPECT_EQ(crash.line_count(), 1u);

  EXPECT_EQ(a.command("list"),
            "# amd register+state\n"
            "APP demo demo stop 0 1 1 sig 11\n"
            "APP calm calm stop 0 1 0 clean 0\n");
  EXPECT_EQ(a.command("status"),
            "# amd status (running apps)\n(none running)\n");
  EXPECT_EQ(a.command("history demo"),
            "# amd history demo\n"
            "EVT 1000 15 launch demo act=main chain=chainA pid=4242\n"
            "EVT 1010 20 crash demo sig=11 dur=5000ms crash=1\n");
  EXPECT_TRUE(in_order(
      a.log_texts(),
      { "LAUNCH demo main chainA pid=4242",
        "stdout session open: demo (pid=4242) -> " + capture,
        "LAUNCH calm idle  pid=77", "EXIT demo sig=11 dur=5000 abnormal=1",
        "EXIT calm exit=0 dur=300 abnormal=0" }));
  EXPECT_TRUE(launcher.open_and_quiet());
}

TEST(AmsdEvents, AbnormalExitWithoutAListenerIsStillRecorded) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  Conn launcher = a.connect();
  ASSERT_TRUE(
      launcher.send("EV LAUNCH demo main - 5 1000 1\n"
                    "EV EXIT demo exit 3 10 1001 2\n"
                    "EV OUT demo 5 1002 3 after the exit\n"
                    "EV LAUNCH next main - 6 1003 4\n"));
  ASSERT_TRUE(a.wait_log("LAUNCH next main  pid=6"));
  EXPECT_EQ(a.command("history demo"),
            "# amd history demo\n"
            "EVT 1000 1 launch demo act=main chain= pid=5\n"
            "EVT 1001 2 crash demo exit=3 dur=10ms crash=1\n");
  EXPECT_EQ(read_file(a.logs + "/demo/stdout_1000_5.log"), "");
}

TEST(AmsdEvents, GarbageAndFloodsLeaveTheDaemonServing) {
  TempDir dir;
  Amsd a(dir);
  fake::CrashListener crash(a.crash_sock);
  ASSERT_TRUE(a.start());
  Conn launcher = a.connect();
  ASSERT_TRUE(launcher.ok());
  std::string garbage =
      "EV \nEV LAUNCH\nEV LAUNCH x m c\nEV EXIT x\nEV OUT x 1\n"
      "EV WHAT a b c d\nDECLARE a\nPICKER_CALL a 1\nPICKER_RESULT 1 a 0\n"
      "PICKER_NONE a b c d\nEV \x01\x02\xff\xfe\n"
      "EV LAUNCH ../../escape m - 5 1000 1\n"
      "EV LAUNCH .. m - 6 1000 1\n";
  garbage += "EV OUT x 1 2 3 " + std::string(1500, 'y') + "\n";
  ASSERT_TRUE(launcher.send(garbage));
  std::string flood;
  for (int i = 0; i < 70; ++i) {
    flood += "EV LAUNCH p" + std::to_string(i) + " main - " +
             std::to_string(100 + i) + " 1000 1\n";
  }
  ASSERT_TRUE(launcher.send(flood));
  ASSERT_TRUE(a.wait_log("LAUNCH p61 main  pid=161")) << a.service_log();

  // ../../escape and .. took two slots; the flood filled the rest.
  EXPECT_EQ(
      a.command("history p61"),
      "# amd history p61\nEVT 1000 1 launch p61 act=main chain= pid=161\n");
  EXPECT_EQ(a.command("history p62"), "# amd history p62\n(no such app p62)\n");
  EXPECT_EQ(count_of(a.service_log(), " amsd LAUNCH "), 64);
  EXPECT_EQ(a.command("history .."),
            "# amd history ..\nEVT 1000 1 launch .. act=m chain= pid=6\n");

  // Nothing was created outside the logs directory.
  EXPECT_EQ(entries(a.card), std::vector<std::string>{ "QuorOS" });
  EXPECT_EQ(entries(a.card + "/QuorOS"), std::vector<std::string>{ "logs" });
  EXPECT_FALSE(exists(dir.file("escape")));

  // Other clients are served, and the launcher's connection stays open.
  EXPECT_TRUE(a.command("status").starts_with("# amd status (running apps)\n"));
  EXPECT_EQ(a.command("nosuch"), "ERR unknown cmd: nosuch\n");
  EXPECT_TRUE(launcher.open_and_quiet());
  ASSERT_TRUE(launcher.send("EV EXIT p0 sig 9 1 2 3\n"));
  EXPECT_EQ(crash.wait_prefix("SVC ", kWaitMs), "SVC p0 sig 9 2 3");

  // A peer that sends only event lines and leaves gets no reply at all.
  Conn once = a.connect();
  ASSERT_TRUE(once.send("EV EXIT p1 exit 0\n"));
  once.shutdown_write();
  EXPECT_EQ(once.read_all(), "");
  EXPECT_TRUE(a.wait_log("EXIT p1 exit=0 dur=0 abnormal=0"));
}

}  // namespace
