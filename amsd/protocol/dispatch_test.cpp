#include "amsd/protocol/dispatch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "amsd/core/daemon.h"
#include "amsd/core/text.h"
#include "tests/support/test_daemon.h"

namespace {

constexpr std::size_t kRoom = 512;

struct Result {
  bool replied;
  std::string text;
};

class DispatchTest : public DaemonTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DaemonTest::SetUp());
    ASSERT_EQ(mkdir(apps.c_str(), 0755), 0);
  }

  // Dispatches a copy of line into room bytes, and checks that nothing was
  // written past them and that the reply is terminated inside them.
  Result run(std::string_view line, std::size_t room = kRoom) {
    std::string in(line);
    std::string out(room + 64, '#');
    bool replied = dispatch_line(*d, in.data(), out.data(), room);
    EXPECT_EQ(out.find_first_not_of('#', room), std::string::npos)
        << "wrote past the room for: " << line;
    if (!replied) {
      EXPECT_EQ(out.find_first_not_of('#'), std::string::npos)
          << "wrote without a reply for: " << line;
      return { false, "" };
    }
    EXPECT_NE(out.find('\0'), std::string::npos);
    EXPECT_LT(out.find('\0'), room);
    return { true, out.c_str() };
  }

  std::string reply(std::string_view line, std::size_t room = kRoom) {
    Result r = run(line, room);
    EXPECT_TRUE(r.replied) << line;
    return r.text;
  }

  AppRecord& add(const char* pkg) { return *find_or_add_app(d->registry, pkg); }
};

TEST_F(DispatchTest, ViewsOfAnEmptyTable) {
  EXPECT_EQ(reply("status"), "# amd status (running apps)\n(none running)\n");
  EXPECT_EQ(reply("list"), "# amd register+state\n");
  EXPECT_EQ(reply("history"), "# amd history (all)\n");
  EXPECT_EQ(reply("history nosuch"),
            "# amd history nosuch\n(no such app nosuch)\n");
}

TEST_F(DispatchTest, LineEndsAndSpacesAreStripped) {
  const std::string status = reply("status");
  for (const char* line : { "status\r", "status\r\n\r\n", "   status",
                            "status   ", "status x y" }) {
    EXPECT_EQ(reply(line), status) << line;
  }
  EXPECT_EQ(reply("list extra words"), reply("list"));
}

TEST_F(DispatchTest, UnknownCommands) {
  const std::pair<const char*, const char*> cases[] = {
    { "STATUS", "ERR unknown cmd: STATUS\n" },
    { "DECLARE", "ERR unknown cmd: DECLARE\n" },
    { "EV", "ERR unknown cmd: EV\n" },
    { "EVLAUNCH a", "ERR unknown cmd: EVLAUNCH\n" },
    { "  EV LAUNCH a", "ERR unknown cmd: EV\n" },
    { "\tstatus", "ERR unknown cmd: \tstatus\n" },
    { "status\t", "ERR unknown cmd: status\t\n" },
    { "picker_status", "ERR unknown cmd: picker_status\n" },
    { "PICKER", "ERR unknown cmd: PICKER\n" },
  };
  for (const auto& [line, want] : cases) {
    EXPECT_EQ(reply(line), want) << line;
  }
}

TEST_F(DispatchTest, LinesWithoutAReply) {
  for (const char* line :
       { "\r", "\r\n\n", "    ", "EV ", "EV LAUNCH a m - 4", "DECLARE a b c",
         "DECLARE ", "PICKER_FOO a b c", "PICKER_" }) {
    EXPECT_FALSE(run(line).replied) << line;
  }
}

TEST_F(DispatchTest, MissingArguments) {
  const std::pair<const char*, const char*> cases[] = {
    { "start", "ERR start needs <pkg>[/<act>]\n" },
    { "start   ", "ERR start needs <pkg>[/<act>]\n" },
    { "kill", "ERR kill needs <pkg>\n" },
    { "resolve", "ERR resolve needs <pkg> <activity>\n" },
    { "resolve demo", "ERR resolve needs <pkg> <activity>\n" },
    { "picker", "ERR picker needs <action>\n" },
  };
  for (const auto& [line, want] : cases) {
    EXPECT_EQ(reply(line), want) << line;
  }
}

TEST_F(DispatchTest, CommandsHandedOn) {
  add("demo");
  EXPECT_EQ(reply("resolve demo main extra"), "CHAIN demo main 1 main\n");
  EXPECT_EQ(reply("resolve nosuch main"),
            "ERR resolve nosuch/main failed (-2)\n");
  EXPECT_EQ(reply("start nosuch/Main"), "ERR pkg not registered: nosuch\n");
  EXPECT_EQ(reply("kill demo"), "ERR not running: demo\n");
  EXPECT_EQ(reply("picker share"), "ERR no picker handler for action: share\n");
  EXPECT_EQ(reply("picker-status"), "# amd picker status\n(none)\n");
  EXPECT_EQ(reply("picker-status 7"), "# amd picker status\n(none)\n");
}

TEST_F(DispatchTest, StatusListsRunningAppsOnly) {
  AppRecord& a = add("alpha");
  a.run_state = 1;
  a.pid = 42;
  copy_text(a.activity, "Main");
  AppRecord& b = add("beta");  // marked running, but no pid
  b.run_state = 1;
  AppRecord& c = add("gamma");
  c.run_state = 2;
  c.pid = 9;
  c.start_ms = monotonic_ms() - 5000;
  add("delta");
  std::string s = reply("status");
  const std::string head =
      "# amd status (running apps)\nRUN alpha fg 42 0 Main\n";
  ASSERT_EQ(s.substr(0, head.size()), head);
  // The run time of gamma is at least the 5 s it was given.
  std::string tail = s.substr(head.size());
  ASSERT_EQ(tail.substr(0, 14), "RUN gamma fg 9");
  unsigned long long ms = std::stoull(tail.substr(15));
  EXPECT_GE(ms, 5000u);
  EXPECT_LT(ms, 5000u + 600000u);
  EXPECT_EQ(tail.substr(tail.size() - 2), " \n");  // no activity
}

TEST_F(DispatchTest, ListShowsEveryAppWithItsLastExit) {
  AppRecord& a = add("alpha");
  copy_text(a.name, "Alpha App");
  a.run_state = 1;
  a.pid = 42;
  a.launch_count = 3;
  a.crash_count = 1;
  AppRecord& b = add("beta");
  b.exit_kind = 2;
  b.exit_code = 9;
  b.launch_count = 1;
  b.crash_count = 1;
  AppRecord& c = add("gamma");
  c.exit_kind = 1;
  c.exit_code = 3;
  c.run_state = 2;  // anything but 1 shows as stopped
  EXPECT_EQ(reply("list"),
            "# amd register+state\n"
            "APP alpha Alpha App fg 42 3 1 clean 0\n"
            "APP beta beta stop 0 1 1 sig 9\n"
            "APP gamma gamma stop 0 0 0 exit 3\n");
}

TEST_F(DispatchTest, HistoryOldestFirstInTableOrder) {
  AppRecord& a = add("alpha");
  AppRecord& b = add("beta");
  add("quiet");
  record_event(a, "launch", "act=Main chain= pid=42", 1000, 15);
  record_event(b, "ams_start", "intent (forwarded)", 1001, 16);
  record_event(a, "exit", "exit=0 dur=5000ms", 1002, 17);
  EXPECT_EQ(reply("history"),
            "# amd history (all)\n"
            "EVT 1000 15 launch alpha act=Main chain= pid=42\n"
            "EVT 1002 17 exit alpha exit=0 dur=5000ms\n"
            "EVT 1001 16 ams_start beta intent (forwarded)\n");
  EXPECT_EQ(reply("history beta"),
            "# amd history beta\n"
            "EVT 1001 16 ams_start beta intent (forwarded)\n");
  EXPECT_EQ(reply("history quiet"), "# amd history quiet\n");
  EXPECT_EQ(reply("history alph"), "# amd history alph\n(no such app alph)\n");
}

TEST_F(DispatchTest, HistoryOfAFullRing) {
  AppRecord& a = add("alpha");
  for (int i = 1; i <= 10; ++i) {
    record_event(a, "k" + std::to_string(i), "", i, i);
  }
  std::string want = "# amd history alpha\n";
  for (int i = 3; i <= 10; ++i) {
    std::string n = std::to_string(i);
    want += "EVT " + n + " " + n + " k" + n + " alpha \n";
  }
  EXPECT_EQ(reply("history alpha"), want);
}

TEST_F(DispatchTest, RescanRepliesWithTheAppCount) {
  add("from-launcher");
  ASSERT_EQ(mkdir((apps + "/demo").c_str(), 0755), 0);
  EXPECT_EQ(reply("rescan"), "OK rescan 2 app(s)\n");
  EXPECT_NE(find_app(d->registry, "demo"), nullptr);
  std::string log = read_file(log_path);
  EXPECT_NE(log.find(" amsd registry scan: 1 dir(s) from " + apps +
                     ", 2 app(s) registered\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" amsd   app demo name=demo"), std::string::npos) << log;
}

TEST_F(DispatchTest, RepliesAreCutToTheRoom) {
  EXPECT_EQ(reply("status", 1), "");
  EXPECT_EQ(reply("nosuch", 1), "");
  EXPECT_EQ(reply("status", 20), "# amd status (runni");
  EXPECT_EQ(reply("status", 29), "# amd status (running apps)\n");
  EXPECT_EQ(reply("history nosuch", 25), "# amd history nosuch\n(no");
}

TEST_F(DispatchTest, ListOfAFullTableEndsAtTheBuffersEnd) {
  for (int i = 0; i < MAX_APPS; ++i) {
    add(("app" + std::to_string(i)).c_str());
  }
  std::string full = reply("list", 8192);
  ASSERT_GT(full.size(), kRoom);
  std::string cut = reply("list");
  EXPECT_EQ(cut.size(), kRoom - 1);
  EXPECT_EQ(cut, full.substr(0, kRoom - 1));
}

// As the event loop does for several lines of one read.
TEST_F(DispatchTest, RepliesOfOneReadFollowEachOther) {
  char out[kRoom];
  std::size_t used = 0;
  for (const char* line : { "status", "EV OUT a 1 2 3 x", "list", "nosuch" }) {
    std::string in = line;
    if (dispatch_line(*d, in.data(), out + used, kRoom - used)) {
      used += strnlen(out + used, kRoom - used - 1);
    }
  }
  EXPECT_EQ(std::string(out, used),
            "# amd status (running apps)\n(none running)\n"
            "# amd register+state\n"
            "ERR unknown cmd: nosuch\n");
}

}  // namespace
