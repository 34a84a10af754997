// End-to-end tests of quor_route: the real binary, plain files as jack
// switch states and a scripted stand-in for the mixer tool.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/e2e/route_harness.h"
#include "tests/support/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

constexpr char USAGE[] =
    "quor_route [--ms MS] [--iters N]   (默认常驻轮询; N>0 跑 N 轮后退出)\n";
constexpr char NO_JACK[] = "no jack (headset=0 balance=0), keep last port";
constexpr char ROUTING_HEADSET[] =
    "jack changed -> routing to 3.5 headset (wanted 2, was -1)";
constexpr char ROUTED_HEADSET[] = "routed ok: numid=9 -> 2 (3.5 headset)";
constexpr char CGET[] = "cget numid=9";
constexpr char CSET_HEADSET[] = "cset numid=9 2";

// One scratch directory with the jack files, a copy of the fake mixer tool
// and the fake's state.
struct Rig {
  TempDir dir;
  std::string amixer;

  explicit Rig(const std::string& tool_dir = "") {
    std::string where = dir.path();
    if (!tool_dir.empty()) {
      where = dir.file(tool_dir);
      mkdir(where.c_str(), 0755);
    }
    // A copy, so it is executable whatever mode the checkout gave it.
    amixer = where + "/fake_amixer.sh";
    write_file(amixer, read_file(QUOR_FAKE_AMIXER));
    chmod(amixer.c_str(), 0755);
  }

  // Renamed into place, so the daemon never reads half a file.
  void set(const std::string& name, std::string_view text) {
    std::string tmp = dir.file(name + ".new");
    ASSERT_TRUE(write_file(tmp, text));
    ASSERT_EQ(rename(tmp.c_str(), dir.file(name).c_str()), 0);
  }
  void jacks(int headset, int balance) {
    set("headset", std::to_string(headset) + "\n");
    set("balance", std::to_string(balance) + "\n");
  }
  std::vector<std::string> env(const std::string& tool = "") const {
    return { "QUOR_AMIXER=" + (tool.empty() ? amixer : tool),
             "QUOR_HEADSET_SW=" + dir.file("headset"),
             "QUOR_BALANCE_SW=" + dir.file("balance"),
             "FAKE_AMIXER_DIR=" + dir.path() };
  }
  std::string start_line(int poll_ms) const {
    return "start: numid=9 poll_ms=" + std::to_string(poll_ms) +
           " amixer=" + amixer;
  }
  Lines calls() const { return split_lines(read_file(dir.file("calls"))); }
  std::vector<pid_t> hung() const {
    std::vector<pid_t> pids;
    for (const std::string& l : split_lines(read_file(dir.file("hung")))) {
      pids.push_back(std::stoi(l));
    }
    return pids;
  }
};

// The log lines after the start line.
Lines after_start(const RouteDaemon& d) {
  Lines all = d.lines();
  return all.empty() ? all : Lines(all.begin() + 1, all.end());
}

TEST(RouteOptions, UsageAndStartLines) {
  const std::string DEFAULT_START =
      "start: numid=9 poll_ms=1000 amixer=/usr/bin/amixer";
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string start;  // empty: the usage line is expected
    std::string exit = "exit (iters=1)";
  };
  const Case cases[] = {
    { { "-h" }, {}, "" },
    { { "--help" }, {}, "" },
    { { "--ms", "100", "--iters", "2", "--help" }, {}, "" },
    { { "--iters", "1", "stray", "-h" }, {}, "" },
    { { "--ms", "-h", "--iters", "1" },
      {},
      "start: numid=9 poll_ms=50 "
      "amixer=/usr/bin/amixer" },
    { { "--iters", "-h", "--iters", "1" }, {}, DEFAULT_START },
    { { "--ms", "10", "--iters", "1" },
      {},
      "start: numid=9 poll_ms=50 "
      "amixer=/usr/bin/amixer" },
    { { "--ms", "abc", "--iters", "1" },
      {},
      "start: numid=9 poll_ms=50 "
      "amixer=/usr/bin/amixer" },
    { { "stray", "--ms", "999", "--iters", "1" },
      {},
      "start: numid=9 poll_ms=999 amixer=/usr/bin/amixer" },
    { { "--iters", "1", "--ms" }, {}, DEFAULT_START },
    { { "--iters", "1" }, { "QUOR_AMIXER=" }, DEFAULT_START },
    { { "--iters", "1" },
      { "QUOR_AMIXER=/opt/mix" },
      "start: numid=9 poll_ms=1000 amixer=/opt/mix" },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Rig rig;
    rig.jacks(0, 0);
    std::vector<std::string> env = {
      "QUOR_HEADSET_SW=" + rig.dir.file("headset"),
      "QUOR_BALANCE_SW=" + rig.dir.file("balance")
    };
    env.insert(env.end(), c.env.begin(), c.env.end());
    RouteDaemon d;
    ASSERT_TRUE(d.start(c.args, env));
    ASSERT_EQ(d.wait_exit(), 0);
    if (c.start.empty()) {
      EXPECT_EQ(d.out(), USAGE);
      EXPECT_EQ(d.err(), "");
      continue;
    }
    EXPECT_EQ(d.out(), "");
    EXPECT_EQ(d.lines(), (Lines{ c.start, NO_JACK, c.exit }));
  }
}

TEST(RouteCycle, SwitchStatesReadEveryCycle) {
  struct Case {
    const char* headset;  // nullptr: no such file
    const char* balance;
    Lines cycles;
  };
  const std::string ERR_BALANCE =
      "switch read err: headset=1 balance=-1 (skip this cycle)";
  const std::string ERR_HEADSET =
      "switch read err: headset=-1 balance=0 (skip this cycle)";
  const std::string ERR_NEGATIVE =
      "switch read err: headset=-3 balance=0 (skip this cycle)";
  const Case cases[] = {
    { "0\n", "0\n", { NO_JACK } },
    { "2\n", "0\n", { "no jack (headset=2 balance=0), keep last port" } },
    { "on\n", "0", { NO_JACK } },
    { "1\n", nullptr, { ERR_BALANCE, ERR_BALANCE, ERR_BALANCE } },
    { nullptr, "0\n", { ERR_HEADSET, ERR_HEADSET, ERR_HEADSET } },
    { "", "0\n", { ERR_HEADSET, ERR_HEADSET, ERR_HEADSET } },
    { "-3\n", "0\n", { ERR_NEGATIVE, ERR_NEGATIVE, ERR_NEGATIVE } },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cycles.front());
    Rig rig;
    if (c.headset) {
      rig.set("headset", c.headset);
    }
    if (c.balance) {
      rig.set("balance", c.balance);
    }
    RouteDaemon d;
    ASSERT_TRUE(d.start({ "--ms", "50", "--iters", "3" }, rig.env()));
    ASSERT_EQ(d.wait_exit(), 0);
    Lines want = { rig.start_line(50) };
    want.insert(want.end(), c.cycles.begin(), c.cycles.end());
    want.push_back("exit (iters=3)");
    EXPECT_EQ(d.lines(), want);
    EXPECT_EQ(rig.calls(), Lines{});
    // Three cycles, two sleeps of one 200 ms slice each.
    EXPECT_GE(d.exited_ms() - d.started_ms(), 400);
  }
}

TEST(RouteCycle, JackChangesRouteThePort) {
  Rig rig;
  rig.set("value", "3\n");
  rig.jacks(0, 0);
  RouteDaemon d;
  ASSERT_TRUE(d.start({ "--ms", "50" }, rig.env()));
  struct Step {
    int headset;
    int balance;
    Lines lines;
    Lines calls;
  };
  const Step steps[] = {
    { 0, 0, { NO_JACK }, {} },
    { 1,
      0,
      { "jack changed -> routing to 3.5 headset (wanted 2, was 3)",
        ROUTED_HEADSET },
      { CGET, CSET_HEADSET, CGET } },
    { 1,
      1,
      { "jack changed -> routing to 4.4 balance (wanted 3, was 2)",
        "routed ok: numid=9 -> 3 (4.4 balance)" },
      { CGET, "cset numid=9 3", CGET } },
    { 1,
      0,
      { "jack changed -> routing to 3.5 headset (wanted 2, was 3)",
        ROUTED_HEADSET },
      { CGET, CSET_HEADSET, CGET } },
    // A state of 2 is no plug; the mixer keeps its port.
    { 2, 0, { "no jack (headset=2 balance=0), keep last port" }, {} },
    // Plugging in again asks the mixer, which still holds the port.
    { 1, 0, { "3.5 headset already routed (port=2)" }, { CGET } },
  };
  Lines want_lines = { rig.start_line(50) };
  Lines want_calls;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.lines.front());
    rig.jacks(s.headset, s.balance);
    want_lines.insert(want_lines.end(), s.lines.begin(), s.lines.end());
    want_calls.insert(want_calls.end(), s.calls.begin(), s.calls.end());
    ASSERT_TRUE(d.wait_lines(want_lines.size()));
    EXPECT_EQ(d.lines(), want_lines);
    // The read-back precedes the line, so every call is logged by now; a
    // steady cycle adds none.
    EXPECT_EQ(rig.calls(), want_calls);
  }
  EXPECT_EQ(read_file(rig.dir.file("value")), "2\n");
}

TEST(RouteMixer, FaultsAreNotRetried) {
  struct Case {
    const char* what;
    const char* mode;
    const char* value;
    bool missing_tool;
    bool long_path;
    Lines lines;
    Lines calls;
  };
  const Case cases[] = {
    { "steady",
      "",
      "2\n",
      false,
      false,
      { "3.5 headset already routed (port=2)" },
      { CGET } },
    { "missing tool",
      "",
      "3\n",
      true,
      false,
      { ROUTING_HEADSET, "route verify failed: wanted 2 got -1 (no retry)" },
      {} },
    { "silent tool",
      "silent",
      "3\n",
      false,
      false,
      { ROUTING_HEADSET, "route verify failed: wanted 2 got -1 (no retry)" },
      { CGET, CSET_HEADSET, CGET } },
    { "set ignored",
      "ignore-set",
      "3\n",
      false,
      false,
      { "jack changed -> routing to 3.5 headset (wanted 2, was 3)",
        "route verify failed: wanted 2 got 3 (no retry)" },
      { CGET, CSET_HEADSET, CGET } },
    // A command line that would be cut is not run at all.
    { "path too long",
      "",
      "3\n",
      false,
      true,
      { ROUTING_HEADSET, "amixer cset exec failed (wanted 2)" },
      {} },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig(c.long_path ? std::string(150, 'd') : "");
    rig.set("value", c.value);
    rig.set("mode", c.mode);
    rig.jacks(1, 0);
    RouteDaemon d;
    ASSERT_TRUE(
        d.start({ "--ms", "50", "--iters", "4" },
                rig.env(c.missing_tool ? rig.dir.file("no_such_tool") : "")));
    ASSERT_EQ(d.wait_exit(), 0);
    Lines want = c.lines;
    want.push_back("exit (iters=4)");
    EXPECT_EQ(after_start(d), want);
    EXPECT_EQ(rig.calls(), c.calls);
  }
}

TEST(RouteMixer, HungToolIsKilledAndTheDaemonGoesOn) {
  Rig rig;
  rig.set("value", "3\n");
  rig.set("mode", "hang-once");
  rig.jacks(1, 0);
  RouteDaemon d;
  ASSERT_TRUE(d.start({ "--ms", "50" }, rig.env()));
  // The hung query gives no value; routing then proceeds normally.
  ASSERT_TRUE(d.wait_for(ROUTED_HEADSET, 30000));
  EXPECT_EQ(after_start(d), (Lines{ ROUTING_HEADSET, ROUTED_HEADSET }));
  EXPECT_EQ(rig.calls(), (Lines{ CGET, CSET_HEADSET, CGET }));
  std::vector<pid_t> hung = rig.hung();
  ASSERT_EQ(hung.size(), 1u);
  EXPECT_TRUE(wait_until([&] { return process_gone(hung[0]); }));
  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(), 0);
}

TEST(RouteStop, SignalCutsTheSleepShort) {
  Rig rig;
  rig.jacks(0, 0);
  RouteDaemon d;
  // 25 slices between cycles; a negative limit means none.
  ASSERT_TRUE(d.start({ "--iters", "-5", "--ms", "5000" }, rig.env()));
  ASSERT_TRUE(d.wait_for(NO_JACK));
  std::int64_t sent = now_ms();
  d.signal(SIGTERM);
  ASSERT_EQ(d.wait_exit(), 0);
  EXPECT_LT(d.exited_ms() - sent, 2500);
  EXPECT_EQ(after_start(d), (Lines{ NO_JACK, "exit (iters=0)" }));
}

TEST(RouteStop, SignalWhileTheToolHangs) {
  Rig rig;
  rig.set("mode", "hang");
  rig.jacks(1, 0);
  RouteDaemon d;
  ASSERT_TRUE(d.start({ "--ms", "50" }, rig.env()));
  ASSERT_TRUE(d.wait_until([&] { return !rig.hung().empty(); }));
  std::int64_t sent = now_ms();
  d.signal(SIGTERM);
  ASSERT_EQ(d.wait_exit(), 0);
  // The cycle still finishes, but each hung run gets only a short grace.
  EXPECT_LT(d.exited_ms() - sent, 4000);
  EXPECT_EQ(after_start(d),
            (Lines{ ROUTING_HEADSET,
                    "route verify failed: wanted 2 got -1 (no retry)",
                    "exit (iters=0)" }));
  std::vector<pid_t> hung = rig.hung();
  EXPECT_EQ(hung.size(), 3u);
  for (pid_t pid : hung) {
    EXPECT_TRUE(wait_until([&] { return process_gone(pid); })) << pid;
  }
}

}  // namespace
