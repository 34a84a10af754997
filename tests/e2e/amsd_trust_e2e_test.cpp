// quor_amsd on a shared device: every local process may reach its control
// socket, so reports are taken only from trusted users, idle connections
// cannot lock others out, a sender that hangs up loses nothing, and a second
// daemon leaves the first one's socket alone.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/support/as_user.h"
#include "tests/support/hex.h"

namespace {

using namespace e2e;

#define SKIP_UNLESS_ROOT()                                      \
  if (!can_switch_user()) {                                     \
    GTEST_SKIP() << "needs root to act as a second local user"; \
  }

// Lets the other user reach the sockets in dir.
void open_up(const TempDir& dir) {
  chmod(dir.path().c_str(), 0755);
}

TEST(AmsdTrust, ReportsAreTakenOnlyFromTrustedUsers) {
  SKIP_UNLESS_ROOT();
  struct Case {
    const char* what;
    std::vector<std::string> env;
    bool ipc_owned_by_other;  // the other user owns the launcher's socket
    bool trusted;
  };
  const std::string other = "QUOR_LAUNCHER_UID=" + std::to_string(OTHER_UID);
  const Case cases[] = {
    { "a stranger", {}, false, false },
    { "a malformed uid", { other + "x" }, false, false },
    { "the named launcher uid", { other }, false, true },
    { "the launcher socket's owner", {}, true, true },
  };
  for (const Case& c : cases) {
    TempDir dir;
    open_up(dir);
    Amsd a(dir);
    if (c.ipc_owned_by_other) {
      ASSERT_TRUE(write_file(a.ipc_sock, ""));
      ASSERT_EQ(chown(a.ipc_sock.c_str(), OTHER_UID, OTHER_UID), 0);
    }
    ASSERT_TRUE(a.start({}, c.env)) << c.what;
    // Reports, then a declaration and a command, which anyone may send.
    std::string lines =
        "EV LAUNCH forged m - 1 1000 1\n"
        "EV OUT forged 1 1000 1 hello\n"
        "EV EXIT forged sig 9\n"
        "DECLARE decl n " +
        hex(std::string("home=x\0", 7)) + "\nstatus\n";
    int rc = run_as_other_user([&] {
      Conn conn(a.sock);
      return conn.send(lines) &&
                     conn.read_all().starts_with("# amd status (running")
                 ? 0
                 : 1;
    });
    EXPECT_EQ(rc, 0) << c.what;
    EXPECT_EQ(a.command("resolve decl home"), "CHAIN decl home 1 x\n")
        << c.what;
    std::string history = a.command("history forged");
    std::string log = a.service_log();
    int refusals = count_of(log, "amsd event lines from uid 65534 ignored\n");
    if (c.trusted) {
      EXPECT_NE(history.find("EVT 1000 1 launch forged"), std::string::npos)
          << c.what;
      EXPECT_EQ(refusals, 0) << c.what;
    } else {
      EXPECT_EQ(history, "# amd history forged\n(no such app forged)\n")
          << c.what;
      EXPECT_EQ(refusals, 1) << c.what << "\n" << log;
      EXPECT_EQ(a.command("kill forged"), "ERR pkg not registered: forged\n");
    }
    EXPECT_EQ(a.stop(), 0);
  }
}

TEST(AmsdTrust, AnIdleConnectionGivesItsSlotToANewcomerAfter10Seconds) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  std::vector<Conn> held;
  held.push_back(a.connect());
  held[0].send("EV EXIT none exit 0\n");  // a reporter is never put out
  for (int i = 1; i < 32; ++i) {
    held.push_back(a.connect());
  }
  // Newcomers are turned away until the idle ones are 10 s old; then the
  // oldest idle one gives way.
  std::string reply;
  ASSERT_TRUE(wait_until(
      [&] {
        Conn probe = a.connect();
        probe.send("status\n");
        reply = probe.read_all(2s);
        if (reply.empty()) {
          std::this_thread::sleep_for(200ms);
        }
        return !reply.empty();
      },
      30s));
  EXPECT_EQ(reply, "# amd status (running apps)\n(none running)\n");
  EXPECT_TRUE(held[1].closed_by_peer());
  EXPECT_TRUE(held[0].open_and_quiet());
  EXPECT_TRUE(held[2].open_and_quiet());
}

TEST(AmsdTrust, ASenderThatHangsUpLosesNothing) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  constexpr int LINES = 20000;
  std::string burst = "EV LAUNCH demo main - 7 1000 1\n";
  for (int i = 0; i < LINES; ++i) {
    burst += "EV OUT demo 7 1000 1 line " + std::to_string(i) + "\n";
  }
  burst += "EV EXIT demo exit 0 5";  // the last line has no newline
  {
    Conn c = a.connect();
    ASSERT_TRUE(c.send(burst));
  }  // closed at once, with most of it still unread
  ASSERT_TRUE(a.wait_log("EXIT demo exit=0 dur=5 abnormal=0"));
  std::string file = read_file(a.logs + "/demo/stdout_1000_7.log");
  EXPECT_EQ(count_of(file, "\n"), LINES);
  EXPECT_NE(file.find("[1000|up=1] line 19999\n"), std::string::npos);
}

// A listening socket at path, closed without removing its file: stale.
void make_stale_socket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(fd, 1);
  close(fd);
}

TEST(AmsdTrust, ASecondDaemonLeavesWhatStandsAtItsSocketPath) {
  TempDir dir;
  open_up(dir);
  Amsd first(dir);
  ASSERT_TRUE(first.start());
  std::string file = dir.file("file.sock");
  ASSERT_TRUE(write_file(file, "not a socket"));
  std::string stale = dir.file("stale.sock");
  make_stale_socket(stale);

  struct Case {
    std::string path;
    int as_uid;
    int status;
    std::string err;
  };
  const Case cases[] = {
    { first.sock, -1, 1, "Address already in use" },
    { first.sock, can_switch_user() ? int(OTHER_UID) : -1, 1,
      "Address already in use" },
    { file, -1, 1, "File exists" },
    { stale, -1, 0, "" },
  };
  for (const Case& c : cases) {
    TempDir dir2;
    open_up(dir2);
    Amsd second(dir2);
    second.process().run_as_uid = c.as_uid;
    std::vector<std::string> args = second.path_options();
    args[1] = c.path;
    if (c.status == 0) {
      ASSERT_TRUE(second.start({ "--sock", c.path }));
      EXPECT_EQ(unix_command(c.path, "x"), "ERR unknown cmd: x\n");
      EXPECT_EQ(second.stop(), 0);
      continue;
    }
    Exit e = second.run(args);
    EXPECT_EQ(e.status, c.status) << c.path;
    EXPECT_EQ(e.err, "[quor_amsd] bind " + c.path + ": " + c.err + "\n");
  }
  // The first daemon is still reachable, and the file is untouched.
  EXPECT_EQ(first.command("y"), "ERR unknown cmd: y\n");
  EXPECT_EQ(read_file(file), "not a socket");
  EXPECT_EQ(first.stop(), 0);
}

}  // namespace
