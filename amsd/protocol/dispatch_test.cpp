#include "amsd/protocol/dispatch.h"

#include <gtest/gtest.h>

#include <string>

#include "amsd/base/clock.h"
#include "amsd/base/text.h"
#include "tests/support/protocol_fixture.h"

namespace {

constexpr std::size_t ROOM = 512;

class DispatchTest : public ProtocolTest {
 protected:
  // Dispatches a copy of line into room bytes; checks that nothing was
  // written past them, nor anything at all without a reply.
  bool run(std::string_view line, std::string& text, std::size_t room = ROOM) {
    std::string in(line);
    std::string out(room + 64, '#');
    bool replied = dispatch_line(ctx(), peer, in.data(), out.data(), room);
    EXPECT_EQ(out.find_first_not_of('#', replied ? room : 0), std::string::npos)
        << "wrote past the room, or without a reply, for: " << line;
    EXPECT_TRUE(!replied || out.find('\0') < room) << line;
    text = replied ? out.c_str() : "";
    return replied;
  }

  std::string reply(std::string_view line, std::size_t room = ROOM) {
    std::string text;
    EXPECT_TRUE(run(line, text, room)) << line;
    return text;
  }

  AppRecord& add(const char* pkg) { return *find_or_add_app(d->registry, pkg); }
};

TEST_F(DispatchTest, ViewsOfAnEmptyTable) {
  EXPECT_EQ(reply("status"), "# amd status (running apps)\n(none running)\n");
  EXPECT_EQ(reply("list"), "# amd register+state\n");
  EXPECT_EQ(reply("history"), "# amd history (all)\n");
  for (const char* line : { "status\r", "status\r\n\r\n", "   status" }) {
    EXPECT_EQ(reply(line), reply("status")) << line;
  }
}

TEST_F(DispatchTest, FixedReplies) {
  add("demo");
  const std::pair<const char*, const char*> cases[] = {
    { "STATUS", "ERR unknown cmd: STATUS\n" },
    { "DECLARE", "ERR unknown cmd: DECLARE\n" },
    { "EV", "ERR unknown cmd: EV\n" },
    { "  EV LAUNCH a", "ERR unknown cmd: EV\n" },
    { "\tstatus", "ERR unknown cmd: \tstatus\n" },
    { "list extra words",
      "# amd register+state\nAPP demo demo stop 0 0 0 clean 0\n" },
    { "history nosuch", "# amd history nosuch\n(no such app nosuch)\n" },
    { "start", "ERR start needs <pkg>[/<act>]\n" },
    { "kill", "ERR kill needs <pkg>\n" },
    { "kill demo", "ERR not running: demo\n" },
    { "resolve", "ERR resolve needs <pkg> <activity>\n" },
    { "resolve demo", "ERR resolve needs <pkg> <activity>\n" },
    { "resolve demo main extra", "CHAIN demo main 1 main\n" },
    { "picker", "ERR picker needs <action>\n" },
    { "picker share", "ERR no picker handler for action: share\n" },
    { "picker-status 7", "# amd picker status\n(none)\n" },
  };
  for (const auto& [line, want] : cases) {
    EXPECT_EQ(reply(line), want) << line;
  }
  std::string text;
  for (const char* line :
       { "\r\n\n", "    ", "EV ", "DECLARE ", "PICKER_FOO a b c" }) {
    EXPECT_FALSE(run(line, text)) << line;
  }
}

TEST_F(DispatchTest, StatusAndListViews) {
  AppRecord& a = add("alpha");
  copy_text(a.name, "Alpha App");
  copy_text(a.activity, "Main");
  a.run_state = RunState::kRunning;
  a.pid = 42;
  a.launch_count = 3;
  a.crash_count = 1;
  add("beta").run_state = RunState::kRunning;  // marked running, but no pid
  AppRecord& c = add("gamma");
  c.run_state = static_cast<RunState>(
      2);  // running, yet only state 1 shows as "fg" in the list
  c.pid = 9;
  c.start_ms = monotonic_ms() - 5000;
  c.exit_kind = ExitKind::kSignal;
  c.exit_code = 9;
  AppRecord& e = add("delta");
  e.exit_kind = ExitKind::kExit;
  e.exit_code = 3;
  EXPECT_EQ(reply("list"),
            "# amd register+state\n"
            "APP alpha Alpha App fg 42 3 1 clean 0\n"
            "APP beta beta fg 0 0 0 clean 0\n"
            "APP gamma gamma stop 9 0 0 sig 9\n"
            "APP delta delta stop 0 0 0 exit 3\n");

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

TEST_F(DispatchTest, HistoryOldestFirstInTableOrder) {
  AppRecord& a = add("alpha");
  AppRecord& b = add("beta");
  add("quiet");
  // Nine events wrap alpha's ring of eight once.
  std::string alpha;
  for (int i = 1; i <= 9; ++i) {
    std::string n = std::to_string(i);
    record_event(a, "k" + n, "d " + n, 1000 + i, i);
    if (i > 1) {
      alpha += "EVT 100" + n + " " + n + " k" + n + " alpha d " + n + "\n";
    }
  }
  record_event(b, "ams_start", "intent (forwarded)", 1001, 16);
  const std::string beta = "EVT 1001 16 ams_start beta intent (forwarded)\n";
  EXPECT_EQ(reply("history"), "# amd history (all)\n" + alpha + beta);
  EXPECT_EQ(reply("history alpha"), "# amd history alpha\n" + alpha);
  EXPECT_EQ(reply("history quiet"), "# amd history quiet\n");
}

// A reply that does not fit ends at the buffer's 511th byte.
TEST_F(DispatchTest, ListOfAFullTableIsCutToTheRoom) {
  for (int i = 0; i < MAX_APPS; ++i) {
    add(("app" + std::to_string(i)).c_str());
  }
  std::string full = reply("list", 8192);
  ASSERT_GT(full.size(), ROOM);
  EXPECT_EQ(reply("list"), full.substr(0, ROOM - 1));
}

}  // namespace
