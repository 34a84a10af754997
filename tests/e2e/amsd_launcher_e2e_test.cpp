// The stand-in launcher and the daemon together: apps really run, their
// reports reach the daemon, their output lands in the capture files and an
// abnormal end reaches a crash listener. Starts are asked of the launcher
// directly here, the way the daemon's own link asks.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "amsd/launcher/frame.h"
#include "amsd/launcher/launcher_client.h"
#include "tests/e2e/harness.h"
#include "tests/support/fake_peers.h"

namespace {

using namespace e2e;

void make_script_app(const Amsd& a, const std::string& pkg,
                     const std::string& body) {
  make_app(a.apps, pkg);
  std::string exe = a.apps + "/" + pkg + "/quor";
  write_file(exe, "#!/bin/sh\n" + body);
  chmod(exe.c_str(), 0755);
}

// The capture files of one app, name -> content.
std::vector<std::pair<std::string, std::string>> captures(
    const Amsd& a, const std::string& pkg) {
  std::vector<std::pair<std::string, std::string>> out;
  std::string dir = a.logs + "/" + pkg;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* de = readdir(d)) {
      if (std::string(de->d_name).starts_with("stdout_")) {
        out.emplace_back(de->d_name, read_file(dir + "/" + de->d_name));
      }
    }
    closedir(d);
  }
  return out;
}

// Strips "[ts|up=N] " from each captured line.
std::string capture_text(const std::string& file) {
  std::string out;
  std::size_t pos = 0;
  while (pos < file.size()) {
    std::size_t nl = file.find('\n', pos);
    std::string line = file.substr(pos, nl - pos);
    std::size_t sp = line.find("] ");
    out += (sp == std::string::npos ? line : line.substr(sp + 2)) + "\n";
    pos = nl == std::string::npos ? file.size() : nl + 1;
  }
  return out;
}

class WithLauncher : public ::testing::Test {
 protected:
  TempDir dir;
  Amsd a{ dir };
  fake::CrashListener crash{ a.crash_sock };
  Process launcher;

  void SetUp() override {
    ASSERT_TRUE(crash.ok());
    ASSERT_TRUE(a.start());
    std::vector<std::string> argv =
        program(built("QUOR_LAUNCHER_BIN", QUOR_LAUNCHER_BIN));
    argv.insert(argv.end(), { "--ipc-sock", a.ipc_sock, "--sock", a.sock,
                              "--apps", a.apps });
    ASSERT_TRUE(launcher.spawn(argv, {}, dir.file("launcher.out"),
                               dir.file("launcher.err"), dir.path()));
    struct stat st;
    ASSERT_TRUE(wait_until([&] { return stat(a.ipc_sock.c_str(), &st) == 0; }));
  }
  void TearDown() override { launcher.terminate(); }

  std::uint32_t start(const std::string& pkg, const std::string& act = "") {
    StartRequest req = make_start_request(pkg, act);
    std::uint32_t code = 99;
    EXPECT_EQ(
        launcher_call(a.ipc_sock.c_str(), MSG_START, &req, sizeof req, &code),
        0);
    return code;
  }
  bool list_has(const std::string& text) {
    return wait_until(
        [&] { return a.command("list").find(text) != std::string::npos; });
  }
};

TEST_F(WithLauncher, AppOutputIsCapturedAndACleanExitRecorded) {
  make_script_app(a, "demo",
                  "echo \"hello world from $1\"\n"
                  "echo '   spaced    out   '\n"
                  "echo\n"
                  "exit 0\n");
  make_app(a.apps, "demo");
  EXPECT_EQ(a.command("rescan"), "OK rescan 1 app(s)\n");
  EXPECT_EQ(start("demo", "Main"), 0u);
  ASSERT_TRUE(list_has("APP demo demo stop 0 1 0 clean 0\n"));
  std::vector<std::pair<std::string, std::string>> files = captures(a, "demo");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].first.ends_with(".log"));
  EXPECT_EQ(capture_text(files[0].second),
            "hello world from Main\n   spaced    out   \n\n");
  std::string history = a.command("history demo");
  EXPECT_NE(history.find(" launch demo act=Main chain= pid="),
            std::string::npos)
      << history;
  EXPECT_NE(history.find(" exit demo exit=0 dur="), std::string::npos);
  EXPECT_EQ(crash.line_count(), 0u);
  EXPECT_TRUE(a.wait_log("stdout session open: demo (pid="));
}

TEST_F(WithLauncher, CrashesReachTheListenerAndTheViews) {
  make_script_app(a, "segv", "echo dying\nkill -SEGV $$\n");
  make_script_app(a, "three", "exit 3\n");
  EXPECT_EQ(a.command("rescan"), "OK rescan 2 app(s)\n");
  EXPECT_EQ(start("segv"), 0u);
  ASSERT_TRUE(list_has("APP segv segv stop 0 1 1 sig 11\n"));
  std::string notice = crash.wait_prefix("SVC segv sig 11 ", 20000);
  EXPECT_FALSE(notice.empty());
  EXPECT_EQ(start("three"), 0u);
  ASSERT_TRUE(list_has("APP three three stop 0 1 1 exit 3\n"));
  EXPECT_FALSE(crash.wait_prefix("SVC three exit 3 ", 20000).empty());
  EXPECT_NE(a.command("history three").find(" crash three exit=3 dur="),
            std::string::npos);
  EXPECT_EQ(capture_text(captures(a, "segv").at(0).second), "dying\n");
}

TEST_F(WithLauncher, RunningAppShowsInStatusUntilItIsStopped) {
  make_script_app(a, "long", "echo started\nexec sleep 60\n");
  EXPECT_EQ(a.command("rescan"), "OK rescan 1 app(s)\n");
  EXPECT_EQ(start("long", "Run"), 0u);
  EXPECT_TRUE(wait_until([&] {
    return a.command("status").find("RUN long fg ") != std::string::npos;
  }));
  EXPECT_TRUE(a.command("status").ends_with(" Run\n"));
  EXPECT_EQ(start("long"), LAUNCH_BUSY);
  KillRequest kill = make_kill_request("long");
  std::uint32_t code = 99;
  EXPECT_EQ(
      launcher_call(a.ipc_sock.c_str(), MSG_KILL, &kill, sizeof kill, &code),
      0);
  EXPECT_EQ(code, 0u);
  ASSERT_TRUE(list_has("APP long long stop 0 1 1 sig 15\n"))
      << a.command("list") << a.command("history long") << a.service_log();
  EXPECT_EQ(a.command("status"),
            "# amd status (running apps)\n(none running)\n");
}

TEST_F(WithLauncher, LauncherReconnectsAfterTheDaemonRestarts) {
  make_script_app(a, "late", "true\n");
  make_script_app(a, "slow", "sleep 1\necho after\n");
  EXPECT_EQ(a.command("rescan"), "OK rescan 2 app(s)\n");
  EXPECT_EQ(start("late"), 0u);
  ASSERT_TRUE(list_has("APP late late stop 0 1 0 clean 0\n"));
  ASSERT_EQ(a.stop(), 0);
  ASSERT_TRUE(a.start());
  EXPECT_EQ(start("slow"), 0u);
  // The restarted daemon knows nothing of earlier runs; the new one arrives.
  ASSERT_TRUE(list_has("APP slow slow stop 0 1 0 clean 0\n"));
  EXPECT_NE(a.command("list").find("APP late late stop 0 0 0 clean 0\n"),
            std::string::npos);
}

}  // namespace
