// End-to-end tests of quor_route: the real binary, plain files as jack
// switch states and a scripted stand-in for the mixer tool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/support/temp_dir.h"

namespace {

using e2e::wait_until;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char NO_JACK[] = "no jack (headset=0 balance=0), keep last port";
constexpr char ROUTING[] =
    "jack changed -> routing to 3.5 headset (wanted 2, was -1)";
constexpr char ROUTING_FROM_3[] =
    "jack changed -> routing to 3.5 headset (wanted 2, was 3)";
constexpr char ROUTED[] = "routed ok: numid=9 -> 2 (3.5 headset)";
constexpr char NO_JACK_2[] = "no jack (headset=2 balance=0), keep last port";
constexpr char VERIFY_FAILED[] =
    "route verify failed: wanted 2 got -1 (no retry)";
constexpr char ROUTING_TO_3[] =
    "jack changed -> routing to 4.4 balance (wanted 3, was 2)";
constexpr char ROUTED_3[] = "routed ok: numid=9 -> 3 (4.4 balance)";
constexpr char CGET[] = "cget numid=9";
constexpr char CSET[] = "cset numid=9 2";

// The lines of text; the daemon's log prefix is taken off. A line lacking
// it is kept whole, so that a comparison shows it.
Lines split_lines(const std::string& text) {
  Lines lines = e2e::lines_of(text);
  for (std::string& line : lines) {
    line = line.starts_with("[quor_route] ") ? line.substr(13) : line;
  }
  return lines;
}

// Runs of equal lines, as (line, times); a fault repeats its line each cycle.
using Runs = std::vector<std::pair<std::string, int>>;
Runs runs_of(const Lines& lines) {
  Runs runs;
  for (const std::string& line : lines) {
    if (!runs.empty() && runs.back().first == line) {
      ++runs.back().second;
    } else {
      runs.emplace_back(line, 1);
    }
  }
  return runs;
}

// What a step puts at a switch path.
enum class Sw { kKeep, kOff, kOn, kGone, kFifo, kHeldFifo };

// True once pid has ended: gone, or a zombie nobody reaped yet.
bool process_gone(const std::string& pid) {
  std::string stat = read_file("/proc/" + pid + "/stat");
  std::size_t paren = stat.rfind(')');
  return paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0;
}

// One scratch directory with the jack files, a copy of the fake mixer tool
// and the fake's state (value, mode, and the calls and hung pids it
// records), and one run of quor_route on them.
struct Rig {
  TempDir dir;
  std::string amixer;
  e2e::Process proc;

  int fifo_writer = -1;

  explicit Rig(const std::string& tool_dir = "") {
    std::string where = tool_dir.empty() ? dir.path() : dir.file(tool_dir);
    mkdir(where.c_str(), 0755);
    // A copy, so it is executable whatever mode the checkout gave it.
    amixer = where + "/fake_amixer.sh";
    write_file(amixer, read_file(QUOR_FAKE_AMIXER));
    chmod(amixer.c_str(), 0755);
  }
  ~Rig() {
    if (fifo_writer >= 0) {
      close(fifo_writer);
    }
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
  // A held FIFO has a writer (this process) that never writes.
  void put(const std::string& name, Sw sw) {
    std::string path = dir.file(name);
    if (sw == Sw::kOn || sw == Sw::kOff) {
      set(name, sw == Sw::kOn ? "1\n" : "0\n");
    } else if (sw != Sw::kKeep) {
      unlink(path.c_str());
    }
    if (sw == Sw::kFifo || sw == Sw::kHeldFifo) {
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    }
    if (sw == Sw::kHeldFifo) {
      fifo_writer = open(path.c_str(), O_RDWR | O_CLOEXEC);
      ASSERT_GE(fifo_writer, 0);
    }
  }
  Lines switches() const {
    return { "QUOR_HEADSET_SW=" + dir.file("headset"),
             "QUOR_BALANCE_SW=" + dir.file("balance") };
  }
  Lines env(const std::string& tool = "") const {
    Lines e = switches();
    e.push_back("QUOR_AMIXER=" + (tool.empty() ? amixer : tool));
    e.push_back("FAKE_AMIXER_DIR=" + dir.path());
    return e;
  }

  bool start(const Lines& args, const Lines& environment) {
    Lines argv = e2e::program(e2e::built("QUOR_ROUTE_BIN", QUOR_ROUTE_BIN));
    argv.insert(argv.end(), args.begin(), args.end());
    return proc.spawn(argv, environment, dir.file("out"), dir.file("err"),
                      dir.path());
  }
  // SIGTERM, then the time until the exit.
  milliseconds stop() {
    Clock::time_point sent = Clock::now();
    kill(proc.pid(), SIGTERM);
    EXPECT_EQ(proc.wait_exit(), 0);
    return std::chrono::duration_cast<milliseconds>(Clock::now() - sent);
  }

  Lines log() const { return split_lines(read_file(dir.file("err"))); }
  Lines after_start() const {
    Lines all = log();
    return all.empty() ? all : Lines(all.begin() + 1, all.end());
  }
  bool wait_lines(std::size_t n) {
    return wait_until([&] { return after_start().size() >= n; });
  }
  Lines calls() const { return split_lines(read_file(dir.file("calls"))); }
  Lines hung() const { return split_lines(read_file(dir.file("hung"))); }
};

TEST(RouteOptions, UsageAndStartLines) {
  const std::string DEFAULTS = "poll_ms=1000 amixer=/usr/bin/amixer";
  const std::string FLOOR = "poll_ms=50 amixer=/usr/bin/amixer";
  struct Case {
    Lines args;
    std::string env;
    std::string start;  // empty: the usage line is expected
  };
  const Case cases[] = {
    { { "-h" }, "", "" },
    { { "--ms", "100", "--iters", "2", "stray", "--help" }, "", "" },
    // Right after an option that takes a value, "-h" is that value.
    { { "--ms", "-h", "--iters", "1" }, "", FLOOR },
    { { "--iters", "-h", "--iters", "1" }, "", DEFAULTS },
    { { "--ms", "10", "--iters", "1" }, "", FLOOR },
    { { "--iters", "1", "--ms" }, "", DEFAULTS },
    { { "--iters", "1" }, "QUOR_AMIXER=", DEFAULTS },
    { { "--iters", "1" }, "QUOR_AMIXER=/mix", "poll_ms=1000 amixer=/mix" },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Rig rig;
    rig.jacks(0, 0);
    Lines env = rig.switches();
    if (!c.env.empty()) {
      env.push_back(c.env);
    }
    ASSERT_TRUE(rig.start(c.args, env));
    ASSERT_EQ(rig.proc.wait_exit(), 0);
    std::string out = read_file(rig.dir.file("out"));
    if (c.start.empty()) {
      EXPECT_EQ(out,
                "quor_route [--ms MS] [--iters N]   (默认常驻轮询; N>0 跑 N "
                "轮后退出)\n");
      EXPECT_EQ(read_file(rig.dir.file("err")), "");
      continue;
    }
    EXPECT_EQ(out, "");
    EXPECT_EQ(rig.log(), (Lines{ "start: numid=9 " + c.start, NO_JACK,
                                 "exit (iters=1)" }));
  }
}

TEST(RouteCycle, SwitchStatesReadEveryCycle) {
  struct Case {
    const char* headset;  // nullptr: no such file
    const char* balance;
    std::string line;
    std::size_t times;  // cycles that log the line
  };
  const Case cases[] = {
    { "2\n", "0", NO_JACK_2, 1 },
    { "on\n", "0\n", NO_JACK, 1 },
    { "1\n", nullptr, "switch read err: headset=1 balance=-1 (skip this cycle)",
      3 },
    { "", "0\n", "switch read err: headset=-1 balance=0 (skip this cycle)", 3 },
    { "-3\n", "0\n", "switch read err: headset=-3 balance=0 (skip this cycle)",
      3 },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Rig rig;
    if (c.headset) {
      rig.set("headset", c.headset);
    }
    if (c.balance) {
      rig.set("balance", c.balance);
    }
    Clock::time_point started = Clock::now();
    ASSERT_TRUE(rig.start({ "--ms", "50", "--iters", "3" }, rig.env()));
    ASSERT_EQ(rig.proc.wait_exit(), 0);
    // Three cycles, two sleeps of one 200 ms slice each.
    EXPECT_GE(Clock::now() - started, milliseconds(400));
    Lines want = { "start: numid=9 poll_ms=50 amixer=" + rig.amixer };
    want.insert(want.end(), c.times, c.line);
    want.push_back("exit (iters=3)");
    EXPECT_EQ(rig.log(), want);
    EXPECT_EQ(rig.calls(), Lines{});
  }
}

TEST(RouteCycle, JackChangesRouteThePort) {
  Rig rig;
  rig.set("value", "3\n");
  rig.jacks(0, 0);
  ASSERT_TRUE(rig.start({ "--ms", "50" }, rig.env()));
  struct Step {
    int headset;
    int balance;
    Lines lines;
    Lines calls;
  };
  const Step steps[] = {
    { 0, 0, { NO_JACK }, {} },
    { 1, 0, { ROUTING_FROM_3, ROUTED }, { CGET, CSET, CGET } },
    { 1,
      1,
      { "jack changed -> routing to 4.4 balance (wanted 3, was 2)",
        "routed ok: numid=9 -> 3 (4.4 balance)" },
      { CGET, "cset numid=9 3", CGET } },
    { 1, 0, { ROUTING_FROM_3, ROUTED }, { CGET, CSET, CGET } },
    // A state of 2 is no plug; the mixer keeps its port.
    { 2, 0, { NO_JACK_2 }, {} },
    // Plugging in again asks the mixer, which still holds the port.
    { 1, 0, { "3.5 headset already routed (port=2)" }, { CGET } },
  };
  Lines want_lines;
  Lines want_calls;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.lines.front());
    rig.jacks(s.headset, s.balance);
    want_lines.insert(want_lines.end(), s.lines.begin(), s.lines.end());
    want_calls.insert(want_calls.end(), s.calls.begin(), s.calls.end());
    ASSERT_TRUE(rig.wait_lines(want_lines.size()));
    EXPECT_EQ(rig.after_start(), want_lines);
    // The read-back precedes the line, so every call is logged by now; a
    // steady cycle adds none.
    EXPECT_EQ(rig.calls(), want_calls);
  }
  EXPECT_EQ(read_file(rig.dir.file("value")), "2\n");
}

// After a failed set or read-back the port counts as set: no retry until
// a jack changes. A command line that would be cut is not run at all.
TEST(RouteMixer, FaultsAreNotRetried) {
  const std::string VERIFY_GOT_3 =
      "route verify failed: wanted 2 got 3 (no retry)";
  const std::string EXEC_FAILED = "amixer cset exec failed (wanted 2)";
  struct Case {
    std::string tool_dir, mode, tool;
    Lines lines, calls;
  };
  const Case cases[] = {
    { "", "", "/no/such/tool", { ROUTING, VERIFY_FAILED }, {} },
    { "",
      "ignore-set",
      "",
      { ROUTING_FROM_3, VERIFY_GOT_3 },
      { CGET, CSET, CGET } },
    { std::string(150, 'd'), "", "", { ROUTING, EXEC_FAILED }, {} },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines.back());
    Rig rig(c.tool_dir);
    rig.set("value", "3\n");
    rig.set("mode", c.mode);
    rig.jacks(1, 0);
    ASSERT_TRUE(rig.start({ "--ms", "50", "--iters", "4" }, rig.env(c.tool)));
    ASSERT_EQ(rig.proc.wait_exit(), 0);
    Lines want = c.lines;
    want.push_back("exit (iters=4)");
    EXPECT_EQ(rig.after_start(), want);
    EXPECT_EQ(rig.calls(), c.calls);
  }
}

// A tool that hangs is killed, its whole group, and the daemon goes on; a
// stop signal cuts the wait short, leaving each hung run a short grace.
TEST(RouteMixer, HungToolIsKilled) {
  Rig rig;
  rig.set("value", "3\n");
  rig.set("mode", "hang-once");
  rig.jacks(1, 0);
  ASSERT_TRUE(rig.start({ "--ms", "50" }, rig.env()));
  // The hung query gives no value; routing then proceeds normally.
  ASSERT_TRUE(rig.wait_lines(2));
  EXPECT_EQ(rig.after_start(), (Lines{ ROUTING, ROUTED }));
  EXPECT_EQ(rig.calls(), (Lines{ CGET, CSET, CGET }));
  ASSERT_EQ(rig.hung().size(), 1u);

  rig.set("mode", "hang");
  rig.jacks(1, 1);
  ASSERT_TRUE(wait_until([&] { return rig.hung().size() == 2; }));
  EXPECT_LT(rig.stop(), milliseconds(4000));
  EXPECT_EQ(rig.after_start(),
            (Lines{ ROUTING, ROUTED,
                    "jack changed -> routing to 4.4 balance (wanted 3, was -1)",
                    "route verify failed: wanted 3 got -1 (no retry)",
                    "exit (iters=0)" }));
  Lines hung = rig.hung();
  EXPECT_EQ(hung.size(), 4u);
  for (const std::string& pid : hung) {
    EXPECT_TRUE(wait_until([&] { return process_gone(pid); })) << pid;
  }
}

// Faults the daemon rides out, cycling on: each step puts switch states (or
// a broken switch file) in place and waits for the lines it brings, a
// repeating line for three cycles running. The run ends with a stop
// signal, or by its cycle limit.
TEST(RouteFaults, DaemonKeepsCycling) {
  const std::string HEADSET_ERR =
      "switch read err: headset=-1 balance=0 (skip this cycle)";
  const std::string BALANCE_ERR =
      "switch read err: headset=1 balance=-1 (skip this cycle)";
  const Lines FLAP = { ROUTING_FROM_3, ROUTED, ROUTING_TO_3, ROUTED_3,
                       ROUTING_FROM_3, ROUTED, ROUTING_TO_3, ROUTED_3 };
  struct Step {
    Sw headset, balance;
    Lines lines;
    bool repeats = false;
  };
  struct Case {
    std::string mode;
    long iters;
    std::vector<Step> steps;
    int csets;
  };
  const Case cases[] = {
    { "",
      0,
      { { Sw::kOn, Sw::kOff, { ROUTING_FROM_3, ROUTED } },
        { Sw::kGone, Sw::kKeep, { HEADSET_ERR }, true },
        // Back, with the port from before the fault still known.
        { Sw::kOn, Sw::kOn, { ROUTING_TO_3, ROUTED_3 } } },
      2 },
    { "",
      0,
      { { Sw::kFifo, Sw::kOff, { HEADSET_ERR }, true },
        { Sw::kOn, Sw::kKeep, { ROUTING_FROM_3, ROUTED } } },
      1 },
    { "",
      0,
      { { Sw::kOn, Sw::kHeldFifo, { BALANCE_ERR }, true },
        { Sw::kKeep, Sw::kOff, { ROUTING_FROM_3, ROUTED } } },
      1 },
    { "flood",
      0,
      { { Sw::kOn, Sw::kOff, { ROUTING_FROM_3, ROUTED } },
        { Sw::kKeep, Sw::kOn, { ROUTING_TO_3, ROUTED_3 } } },
      2 },
    // Every cycle sees the balanced jack changed and routes.
    { "flap", 4, { { Sw::kOn, Sw::kOff, FLAP } }, 4 },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode + " " + c.steps.front().lines.front());
    Rig rig;
    rig.set("value", "3\n");
    rig.set("mode", c.mode);
    Lines want;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      rig.put("headset", s.headset);
      rig.put("balance", s.balance);
      if (i == 0) {
        Lines args = { "--ms", "50", "--iters", std::to_string(c.iters) };
        ASSERT_TRUE(rig.start(args, rig.env()));
      }
      want.insert(want.end(), s.lines.begin(), s.lines.end());
      ASSERT_TRUE(wait_until([&] {
        Runs runs = runs_of(rig.after_start());
        return runs.size() >= want.size() &&
               (!s.repeats || runs[want.size() - 1].second >= 3);
      })) << testing::PrintToString(rig.after_start());
    }
    if (c.iters == 0) {
      EXPECT_LT(rig.stop(), milliseconds(2500));
    } else {
      EXPECT_EQ(rig.proc.wait_exit(), 0);
    }
    want.push_back("exit (iters=" + std::to_string(c.iters) + ")");
    Lines got;
    for (const auto& run : runs_of(rig.after_start())) {
      got.push_back(run.first);
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(e2e::count_of(read_file(rig.dir.file("calls")), "cset"), c.csets);
  }
}

TEST(RouteStop, SignalCutsTheSleepShort) {
  Rig rig;
  rig.jacks(0, 0);
  // 25 slices between cycles; a negative limit means none.
  ASSERT_TRUE(rig.start({ "--iters", "-5", "--ms", "5000" }, rig.env()));
  ASSERT_TRUE(rig.wait_lines(1));
  EXPECT_LT(rig.stop(), milliseconds(2500));
  EXPECT_EQ(rig.after_start(), (Lines{ NO_JACK, "exit (iters=0)" }));
}

}  // namespace
