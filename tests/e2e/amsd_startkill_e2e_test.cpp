// Start, kill and picker requests, run whole.
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/support/hex.h"

namespace {

using namespace e2e;

constexpr auto npos = std::string::npos;

// All capture files of one app, concatenated.
std::string captured(const Amsd& a, const std::string& pkg) {
  std::string all;
  glob_t g;
  if (glob((a.logs + "/" + pkg + "/*").c_str(), 0, nullptr, &g) == 0) {
    for (std::size_t i = 0; i < g.gl_pathc; ++i) {
      all += read_file(g.gl_pathv[i]);
    }
    globfree(&g);
  }
  return all;
}

// The daemon with the stand-in launcher, which runs real apps, or with no
// launcher at all.
class StartKillE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    make_app(a.apps, "demo");
    make_app(a.apps, "gallery", "{ \"picker.share\": \"pick;view\" }");
  }
  void TearDown() override { launcher.terminate(); }

  void start_daemon(bool stand_in) {
    ASSERT_TRUE(a.start());
    peer = std::make_unique<Conn>(a.sock);
    ASSERT_TRUE(peer->ok());
    if (!stand_in) {
      return;
    }
    std::vector<std::string> argv =
        program(built("QUOR_LAUNCHER_BIN", QUOR_LAUNCHER_BIN));
    argv.insert(argv.end(), { "--ipc-sock", a.ipc_sock, "--sock", a.sock,
                              "--apps", a.apps });
    std::string ctl = built("QUOR_CTL_BIN", QUOR_CTL_BIN);
    ASSERT_TRUE(launcher.spawn(
        argv, { "QUOR_CTL_BIN=" + script_runnable(ctl, dir.path()) },
        dir.file("launcher.out"), dir.file("launcher.err"), dir.path()));
    ASSERT_TRUE(wait_until([&] { return Conn(a.ipc_sock).ok(); }))
        << read_file(dir.file("launcher.err"));
  }

  // An event line on the kept peer connection, taken once its log line
  // shows.
  void report(const std::string& line, const std::string& logged) {
    ASSERT_TRUE(peer->send(line + "\n"));
    ASSERT_TRUE(a.wait_log(logged)) << line;
  }

  bool wait_reply(const std::string& line, const std::string& part) {
    return wait_until(
        [&] { return a.command(line).find(part) != std::string::npos; });
  }

  void add_script(const std::string& pkg, const std::string& script) {
    ASSERT_TRUE(write_file(a.apps + "/" + pkg + "/quor", script));
    ASSERT_EQ(chmod((a.apps + "/" + pkg + "/quor").c_str(), 0755), 0);
  }

  TempDir dir;
  Amsd a{ dir };
  Process launcher;
  std::unique_ptr<Conn> peer;
};

TEST_F(StartKillE2e, WithoutALauncher) {
  start_daemon(false);
  EXPECT_EQ(a.command("start demo"), "ERR demo/(default)\n");
  EXPECT_EQ(a.command("picker share"), "ERR launcher offline\n");

  // The fallback never signals the daemon itself. Init is left to the unit
  // tests: a broken guard here would signal the machine's own init.
  std::string self = std::to_string(a.process().pid());
  report("EV LAUNCH demo Main - " + self, "LAUNCH demo Main  pid=" + self);
  EXPECT_EQ(a.command("kill demo"), "ERR launcher offline\n");
  EXPECT_EQ(a.log_texts().back(), "AMS kill demo -> launcher offline");
  EXPECT_TRUE(a.process().running());
  EXPECT_EQ(a.command("history demo").find("ams_kill"), std::string::npos);

  // Any other recorded process the daemon ends itself. The app says when
  // its trap is set, and leaves with 42 only on SIGTERM.
  Process app;
  ASSERT_TRUE(app.spawn({ "/bin/sh", "-c",
                          "trap 'exit 42' TERM; : > ready; "
                          "while :; do sleep 1; done" },
                        {}, dir.file("app.out"), dir.file("app.err"),
                        dir.path()));
  ASSERT_TRUE(
      wait_until([&] { return access(dir.file("ready").c_str(), F_OK) == 0; }));
  std::string pid = std::to_string(app.pid());
  report("EV LAUNCH demo Main - " + pid, "LAUNCH demo Main  pid=" + pid);
  EXPECT_EQ(a.command("kill demo"), "OK terminate demo\n");
  EXPECT_EQ(app.wait_exit(), 42);
}

TEST_F(StartKillE2e, StandInStartRunKillStop) {
  add_script("demo", "#!/bin/sh\necho \"hello $1\"\nexec sleep 60\n");
  start_daemon(true);
  EXPECT_EQ(a.command("start demo/Main"), "OK demo/Main\n");
  ASSERT_TRUE(wait_reply("status", "RUN demo fg "))
      << read_file(dir.file("launcher.err"));
  std::string status = a.command("status");
  EXPECT_TRUE(status.ends_with(" Main\n")) << status;
  ASSERT_TRUE(wait_until([&] {
    return captured(a, "demo").find("] hello Main\n") != npos;
  })) << captured(a, "demo");
  EXPECT_EQ(a.command("start demo"), "ERR demo/(default)\n");
  EXPECT_EQ(a.log_texts().back(), "AMS start demo -> BUSY (app running)");

  EXPECT_EQ(a.command("kill demo"), "OK terminate demo\n");
  ASSERT_TRUE(wait_reply("list", "APP demo demo stop 0 1 1 sig 15\n"))
      << a.command("list");
}

TEST_F(StartKillE2e, StandInPickerHandlerAnswersThroughTheControlSocket) {
  add_script("gallery",
             "#!/bin/sh\n"
             "echo \"req=$QUOR_PICKER_REQ action=$QUOR_PICKER_ACTION"
             " caller=$QUOR_PICKER_CALLER arg=$1\"\n"
             "exec \"$QUOR_CTL_BIN\" PICKER_RESULT \"$QUOR_PICKER_REQ\""
             " \"$QUOR_PICKER_ACTION\" 0 " +
                 hex("picked") + "\n");
  start_daemon(true);
  EXPECT_EQ(a.command("picker share"), "OK pending 1 gallery\n");
  ASSERT_TRUE(wait_reply("picker-status 1", "PICK 1 share gallery 0 "))
      << read_file(dir.file("launcher.err"));
  ASSERT_TRUE(wait_reply("list", "APP gallery gallery stop 0 1 0 clean 0\n"));

  // A peer's request names its caller, which the handler is told.
  Conn camera = a.connect();
  ASSERT_TRUE(camera.send("PICKER_CALL camera 50 share\n"));
  ASSERT_TRUE(wait_reply("picker-status 50", "PICK 50 share gallery 0 "))
      << a.command("picker-status");
  std::string out = captured(a, "gallery");
  EXPECT_NE(out.find("] req=1 action=share caller= arg=pick;view\n"), npos)
      << out;
  EXPECT_NE(out.find("] req=50 action=share caller=camera arg=pick;view\n"),
            npos)
      << out;
  EXPECT_NE(a.command("history gallery")
                .find(" picker_result gallery req=50 caller=camera act=share "
                      "code=0 val=picked\n"),
            npos);
}

}  // namespace
