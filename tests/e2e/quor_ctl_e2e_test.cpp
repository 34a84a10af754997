// quor_ctl as a script sees it: its exit status and output against the real
// daemon, a socket that never answers, and no socket at all.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;
using Words = std::vector<std::string>;

Exit ctl(const TempDir& dir, const Words& args, const Words& env = {}) {
  return run_program(built("QUOR_CTL_BIN", QUOR_CTL_BIN), args, dir, env);
}

TEST(QuorCtl, ExitStatusTellsReplyErrUsageAndNoDaemonApart) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  // A listener that takes the connection and never answers.
  int mute = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::string mute_path = dir.file("mute.sock");
  mute_path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(mute, 4), 0);

  struct Case {
    Words args;
    Words env;
    int status;
    std::string out;  // the start of stdout
  };
  const Case cases[] = {
    { { "--sock", a.sock, "rescan" }, {}, 0, "OK rescan 0 app(s)\n" },
    { { "rescan" }, { "QUOR_AMS_SOCK=" + a.sock }, 0, "OK rescan" },
    // An event line gets no reply: the daemon just closes.
    { { "--sock", a.sock, "EV", "OUT", "x", "1" }, {}, 0, "" },
    { { "--sock", a.sock, "start" }, {}, 1, "ERR start needs" },
    { { "--sock", a.sock, "--", "-5" }, {}, 1, "ERR unknown cmd: -5\n" },
    { {}, {}, 2, "" },
    { { "--sock" }, {}, 2, "" },
    { { "--bogus", "status" }, {}, 2, "" },
    { { "--timeout", "0", "status" }, {}, 2, "" },
    { { "--timeout", "5s", "status" }, {}, 2, "" },
    { { "--sock", dir.file("none.sock"), "status" }, {}, 3, "" },
    { { "--sock", mute_path, "--timeout", "0.3", "status" }, {}, 3, "" },
    { { "--version" }, {}, 0, "quor_ctl " QUOR_VERSION "\n" },
  };
  for (const Case& c : cases) {
    Exit r = ctl(dir, c.args, c.env);
    std::string what = testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << what << "\n" << r.err;
    EXPECT_TRUE(r.out.starts_with(c.out)) << what << "\n" << r.out;
    EXPECT_EQ(r.err.empty(), c.status == 0 || c.status == 1) << what;
  }
  close(mute);
  EXPECT_EQ(a.stop(), 0);
}

TEST(QuorCtl, HelpListsEveryCommand) {
  TempDir dir;
  Exit r = ctl(dir, { "-h" });
  EXPECT_EQ(r.status, 0);
  for (const char* cmd :
       { "status ", "list ", "history [pkg] ", "rescan ",
         "resolve <pkg> <activity> ", "start <pkg>[/<act>] ", "kill <pkg> ",
         "picker <action> ", "picker-status [id] " }) {
    EXPECT_NE(r.out.find("\n  " + std::string(cmd)), std::string::npos) << cmd;
  }
}

}  // namespace
