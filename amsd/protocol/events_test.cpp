#include "amsd/protocol/events.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "amsd/core/daemon.h"
#include "amsd/core/text.h"
#include "tests/support/hex.h"
#include "tests/support/test_daemon.h"

namespace {

constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kUptime = 42;  // what the fixture's uptime file says
constexpr std::int32_t kNow = -1;     // stands for "the wall clock now"

// A crash listener on the test's own thread: the daemon's connect completes
// into the backlog, so the notice can be accepted after the event returns.
class Listener {
 public:
  explicit Listener(const std::string& path, int backlog = 8) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    copy_text(addr.sun_path, path);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd_, backlog) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Listener() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  bool ok() const { return fd_ >= 0; }

  // Everything sent on the next pending connection; "" when none is there.
  std::string take() {
    struct pollfd p = { fd_, POLLIN, 0 };
    if (poll(&p, 1, 0) != 1) {
      return "";
    }
    int c = accept(fd_, nullptr, nullptr);
    if (c < 0) {
      return "";
    }
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(c, buf, sizeof buf)) > 0) {
      out.append(buf, static_cast<std::size_t>(n));
    }
    close(c);
    return out;
  }

 private:
  int fd_ = -1;
};

class EventsTest : public DaemonTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DaemonTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(make_card());
  }

  AppRecord* app(std::string_view pkg) { return find_app(d->registry, pkg); }

  const HistoryEvent& last_event(const AppRecord& a) {
    return history_at(a, a.history_count - 1);
  }
};

TEST(HexDecode, PairsUntilTheFirstBadOneOrTheRoom) {
  struct Case {
    std::string_view in;
    std::size_t cap;
    std::string out;
  };
  const Case cases[] = {
    { "414", 64, "A" },
    { "41zz42", 64, "A" },
    { "4A4a", 64, "JJ" },
    { "", 64, "" },
    { "4", 64, "" },
    { "g1", 64, "" },
    { "4g", 64, "" },
    { "0041", 64, std::string("\0A", 2) },
    { "ff7F", 64, "\xff\x7f" },
    { "414243", 3, "AB" },
    { "414243", 1, "" },
    { "41 42", 64, "A" },
  };
  for (const Case& c : cases) {
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    int n = hex_decode(c.in, buf, c.cap);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), c.out) << c.in;
    EXPECT_EQ(buf[n], '\0') << c.in;
    EXPECT_EQ(buf[n + 1], '#') << c.in << ": wrote past the NUL";
  }
  char untouched = '#';
  EXPECT_EQ(hex_decode("41", &untouched, 0), 0);
  EXPECT_EQ(untouched, '#');
}

TEST_F(EventsTest, LaunchFormsAndNumbers) {
  const std::string long_chain(200, 'c');
  struct Case {
    std::string line;
    std::int32_t pid;
    std::string activity, chain;
    std::int32_t ts, up;
    std::string detail, log;
  };
  const Case cases[] = {
    { "EV LAUNCH a main - 42", 42, "main", "", kNow, kUptime,
      "act=main chain= pid=42", "LAUNCH a main  pid=42" },
    { "EV LAUNCH a main 42 1000 15", 42, "main", "", 1000, 15,
      "act=main chain= pid=42", "LAUNCH a main  pid=42" },
    { "EV LAUNCH a main c1;c2 42 1000 15 extra words", 42, "main", "c1;c2",
      1000, 15, "act=main chain=c1;c2 pid=42", "LAUNCH a main c1;c2 pid=42" },
    { "EV   LAUNCH  a   -  x  7 ", 7, "", "x", kNow, kUptime,
      "act= chain=x pid=7", "LAUNCH a  x pid=7" },
    { "EV LAUNCH a m - 99999999999", kMax32, "m", "", kNow, kUptime,
      "act=m chain= pid=2147483647", "LAUNCH a m  pid=2147483647" },
    { "EV LAUNCH a m - -5", -5, "m", "", kNow, kUptime, "act=m chain= pid=-5",
      "LAUNCH a m  pid=-5" },
    { "EV LAUNCH a m - x12", 0, "m", "", kNow, kUptime, "act=m chain= pid=0",
      "LAUNCH a m  pid=0" },
    { "EV LAUNCH a m 12x 99999999999 -99999999999", 12, "m", "", kMax32, kMin32,
      "act=m chain= pid=12", "LAUNCH a m  pid=12" },
    { "EV LAUNCH a m " + long_chain + " 1 2 3", 1, "m",
      long_chain.substr(0, 159), 2, 3,
      "act=m chain=" + long_chain.substr(0, 64) + " pid=1",
      "LAUNCH a m " + long_chain.substr(0, 159) + " pid=1" },
  };
  for (const Case& c : cases) {
    reset_daemon();
    std::int32_t before = wall_seconds();
    event(c.line);
    std::int32_t after = wall_seconds();
    AppRecord* a = app("a");
    ASSERT_NE(a, nullptr) << c.line;
    EXPECT_EQ(a->run_state, 1) << c.line;
    EXPECT_EQ(a->pid, c.pid) << c.line;
    EXPECT_EQ(a->activity, c.activity) << c.line;
    EXPECT_EQ(a->chain, c.chain) << c.line;
    EXPECT_EQ(a->launch_count, 1) << c.line;
    EXPECT_NE(a->start_ms, 0u) << c.line;
    ASSERT_EQ(a->history_count, 1) << c.line;
    const HistoryEvent& e = last_event(*a);
    EXPECT_STREQ(e.kind, "launch") << c.line;
    EXPECT_EQ(e.detail, c.detail) << c.line;
    if (c.ts == kNow) {
      EXPECT_GE(e.ts, before) << c.line;
      EXPECT_LE(e.ts, after) << c.line;
    } else {
      EXPECT_EQ(e.ts, c.ts) << c.line;
    }
    EXPECT_EQ(e.up, c.up) << c.line;
    std::vector<std::string> logs = log_texts();
    ASSERT_FALSE(logs.empty()) << c.line;
    EXPECT_EQ(logs[0], c.log) << c.line;
  }
}

TEST_F(EventsTest, RelaunchCountsAgainAndResetsTheLastExit) {
  event("EV LAUNCH a main - 42 1000 1");
  event("EV EXIT a sig 9 10 1001 2");
  AppRecord* a = app("a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->exit_kind, 2);
  EXPECT_EQ(a->exit_code, 9);
  event("EV LAUNCH a other - 43 1002 3");
  event("EV LAUNCH a third - 44 1003 4");  // no exit came between
  EXPECT_EQ(a->launch_count, 3);
  EXPECT_EQ(a->crash_count, 1);
  EXPECT_EQ(a->exit_kind, 0);
  EXPECT_EQ(a->exit_code, 0);
  EXPECT_EQ(a->pid, 44);
  EXPECT_STREQ(a->activity, "third");
  ASSERT_EQ(a->history_count, 4);
  const char* kinds[] = { "launch", "crash", "launch", "launch" };
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(history_at(*a, i).kind, kinds[i]);
  }
}

TEST_F(EventsTest, ExitClassificationRecordAndCrashNotice) {
  struct Case {
    std::string line;
    std::int32_t exit_kind, exit_code, crashes;
    std::string kind, detail, log, notice;
  };
  const Case cases[] = {
    { "EV EXIT a exit 0 5000", 0, 0, 0, "exit", "exit=0 dur=5000ms",
      "EXIT a exit=0 dur=5000 abnormal=0", "" },
    { "EV EXIT a exit 3", 1, 3, 1, "crash", "exit=3 dur=0ms crash=1",
      "EXIT a exit=3 dur=0 abnormal=1", "" },
    { "EV EXIT a exit 3 10 2000 30", 1, 3, 1, "crash",
      "exit=3 dur=10ms crash=1", "EXIT a exit=3 dur=10 abnormal=1",
      "SVC a exit 3 2000 30\n" },
    { "EV EXIT a sig 0 1 2000 30", 2, 0, 1, "crash", "sig=0 dur=1ms crash=1",
      "EXIT a sig=0 dur=1 abnormal=1", "SVC a sig 0 2000 30\n" },
    { "EV EXIT a sig 11 7 -99999999999 99999999999", 2, 11, 1, "crash",
      "sig=11 dur=7ms crash=1", "EXIT a sig=11 dur=7 abnormal=1",
      "SVC a sig 11 -2147483648 2147483647\n" },
    { "EV EXIT a stopped 9", 1, 9, 0, "exit", "stopped=9 dur=0ms",
      "EXIT a stopped=9 dur=0 abnormal=0", "" },
    { "EV EXIT a signal 9 1 2 3", 1, 9, 0, "exit", "signal=9 dur=1ms",
      "EXIT a signal=9 dur=1 abnormal=0", "" },
    { "EV EXIT a exit 0 99999999999999999999999", 0, 0, 0, "exit",
      "exit=0 dur=9223372036854775807ms",
      "EXIT a exit=0 dur=9223372036854775807 abnormal=0", "" },
    { "EV EXIT a exit -99999999999 -5", 1, kMin32, 1, "crash",
      "exit=-2147483648 dur=-5ms crash=1",
      "EXIT a exit=-2147483648 dur=-5 abnormal=1", "" },
    { "EV EXIT a exit x 1 2 3", 0, 0, 0, "exit", "exit=0 dur=1ms",
      "EXIT a exit=0 dur=1 abnormal=0", "" },
  };
  Listener listener(crash);
  ASSERT_TRUE(listener.ok());
  for (const Case& c : cases) {
    reset_daemon();
    event("EV LAUNCH a main - 42 1000 1");
    event(c.line);
    AppRecord* a = app("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->run_state, 0) << c.line;
    EXPECT_EQ(a->pid, 0) << c.line;
    EXPECT_EQ(a->exit_kind, c.exit_kind) << c.line;
    EXPECT_EQ(a->exit_code, c.exit_code) << c.line;
    EXPECT_EQ(a->crash_count, c.crashes) << c.line;
    EXPECT_STREQ(last_event(*a).kind, c.kind.c_str()) << c.line;
    EXPECT_EQ(last_event(*a).detail, c.detail) << c.line;
    std::vector<std::string> logs = log_texts();
    ASSERT_FALSE(logs.empty());
    EXPECT_EQ(logs.back(), c.log) << c.line;
    std::string notice = listener.take();
    if (!c.notice.empty()) {
      EXPECT_EQ(notice, c.notice) << c.line;
    } else if (c.crashes == 0) {
      EXPECT_EQ(notice, "") << c.line;
    } else {
      EXPECT_TRUE(notice.starts_with("SVC a ")) << c.line << ": " << notice;
    }
  }
}

TEST_F(EventsTest, ExitTakesTheTimeFromTheLineOrTheClocks) {
  event("EV LAUNCH a main - 42 1000 1");
  event("EV EXIT a exit 0 5 2000 30");
  EXPECT_EQ(last_event(*app("a")).ts, 2000);
  EXPECT_EQ(last_event(*app("a")).up, 30);
  event("EV EXIT a exit 0 5 2001");
  EXPECT_EQ(last_event(*app("a")).ts, 2001);
  EXPECT_EQ(last_event(*app("a")).up, kUptime);
  std::int32_t before = wall_seconds();
  event("EV EXIT a exit 0");
  EXPECT_GE(last_event(*app("a")).ts, before);
  EXPECT_LE(last_event(*app("a")).ts, wall_seconds());
}

TEST_F(EventsTest, CrashesCountUpAcrossRuns) {
  event("EV LAUNCH a main - 42");
  event("EV EXIT a sig 6");
  event("EV EXIT a exit 2");  // applied by package, running or not
  AppRecord* a = app("a");
  EXPECT_EQ(a->crash_count, 2);
  EXPECT_STREQ(last_event(*a).detail, "exit=2 dur=0ms crash=2");
  EXPECT_EQ(a->launch_count, 1);
}

TEST_F(EventsTest, CrashNoticeIsSilentAndPromptWithoutAListener) {
  event("EV LAUNCH a main - 42");
  // No socket at the path at all.
  auto t0 = std::chrono::steady_clock::now();
  event("EV EXIT a sig 9");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(app("a")->crash_count, 1);
  EXPECT_EQ(log_texts().back(), "EXIT a sig=9 dur=0 abnormal=1");

  // A listener that never accepts, its backlog filled: connect cannot
  // complete, and the daemon must not wait beyond its short limit.
  Listener stuck(crash, 0);
  ASSERT_TRUE(stuck.ok());
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    copy_text(addr.sun_path, crash);
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers.push_back(fd);
  }
  t0 = std::chrono::steady_clock::now();
  event("EV EXIT a exit 1");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(app("a")->crash_count, 2);
  EXPECT_EQ(log_texts().back(), "EXIT a exit=1 dur=0 abnormal=1");
  for (int fd : fillers) {
    close(fd);
  }
}

TEST_F(EventsTest, MalformedLinesLeaveNoTrace) {
  Listener listener(crash);
  ASSERT_TRUE(listener.ok());
  event("EV LAUNCH a main - 42 1000 1");
  event("DECLARE a 1 " + hex(std::string("home=x\0", 7)));
  ASSERT_EQ(d->capture.active, 1);
  const std::string capture = card + "/QuorOS/logs/a/stdout_1000_42.log";
  const char* lines[] = {
    "EV",
    "EV ",
    "EV      ",
    "EV LAUNCH",
    "EV LAUNCH b",
    "EV LAUNCH b main chainx",
    "EV launch b main - 42",
    "EV LAUNCH\tb main - 42",
    "EVLAUNCH b main - 42",
    " EV LAUNCH b main - 42",
    "EV EXIT",
    "EV EXIT a exit",
    "EV EXIT b sig 9 1 2 3",
    "EV OUT",
    "EV OUT a 42",
    "EV FOO a b c d e f",
    "EV DECLARE a 1 686f6d653d7900",
    "DECLARE",
    "DECLARE a 1",
    "DECLARE a",
    "DECLAREa 1 686f6d653d7900",
    "PICKER_CALL",
    "PICKER_CALL a 1",
    "PICKER_RESULT 1 act 0",
    "PICKER_FOO a b c d e",
    "",
  };
  Registry before;
  std::memcpy(&before, &d->registry, sizeof before);
  StdoutSession session_before = d->capture;
  std::string log_before = read_file(log_path);
  std::string capture_before = read_file(capture);
  for (const char* line : lines) {
    event(line);
    EXPECT_EQ(std::memcmp(&before, &d->registry, sizeof before), 0) << line;
    EXPECT_EQ(read_file(log_path), log_before) << line;
    EXPECT_EQ(read_file(capture), capture_before) << line;
    EXPECT_EQ(d->capture.active, session_before.active) << line;
    EXPECT_EQ(d->capture.fd, session_before.fd) << line;
    EXPECT_EQ(listener.take(), "") << line;
  }
}

TEST_F(EventsTest, LaunchFloodBeyondTheTableLeavesTheRestAlone) {
  for (int i = 0; i < MAX_APPS + 6; ++i) {
    event("EV LAUNCH p" + std::to_string(i) + " main - " +
          std::to_string(100 + i) + " 1000 1");
  }
  EXPECT_EQ(d->registry.app_count, MAX_APPS);
  EXPECT_EQ(find_app(d->registry, "p64"), nullptr);
  EXPECT_EQ(find_app(d->registry, "p69"), nullptr);
  int launches = 0;
  for (const std::string& l : log_texts()) {
    launches += l.starts_with("LAUNCH ");
  }
  EXPECT_EQ(launches, MAX_APPS);
  // The capture still follows the last launch that fitted.
  EXPECT_STREQ(d->capture.pkg, "p63");
  event("EV OUT p63 163 1001 2 still here");
  EXPECT_EQ(read_file(card + "/QuorOS/logs/p63/stdout_1000_163.log"),
            "[1001|up=2] still here\n");
  struct stat st;
  EXPECT_NE(stat((card + "/QuorOS/logs/p64").c_str(), &st), 0);
  // Known apps still take their reports.
  event("EV EXIT p0 exit 0");
  EXPECT_EQ(find_app(d->registry, "p0")->run_state, 0);
}

TEST_F(EventsTest, DeclareMergesRoutes) {
  struct Route {
    std::string key, chain;
  };
  struct Case {
    std::string what;
    std::vector<std::string> hex_words;  // one DECLARE line each
    std::vector<Route> routes;
  };
  std::string nine;
  for (int i = 0; i < 9; ++i) {
    nine += "k" + std::to_string(i) + "=c" + std::to_string(i) + '\0';
  }
  const std::string long_value(300, 'v');
  const std::string filler(1019, 'x');
  const Case cases[] = {
    { "later entry overwrites",
      { hex(std::string("home=x;y\0home=z\0\0", 17)) },
      { { "home", "z" } } },
    { "first eight of nine",
      { hex(nine) },
      { { "k0", "c0" },
        { "k1", "c1" },
        { "k2", "c2" },
        { "k3", "c3" },
        { "k4", "c4" },
        { "k5", "c5" },
        { "k6", "c6" },
        { "k7", "c7" } } },
    { "full table still updates a known key",
      { hex(nine), hex(std::string("k3=new\0k9=no\0", 13)) },
      { { "k0", "c0" },
        { "k1", "c1" },
        { "k2", "c2" },
        { "k3", "new" },
        { "k4", "c4" },
        { "k5", "c5" },
        { "k6", "c6" },
        { "k7", "c7" } } },
    { "entries without a key are skipped",
      { hex(std::string("noeq\0=v\0ok=1\0", 13)) },
      { { "ok", "1" } } },
    { "an empty entry ends the list",
      { hex(std::string("a=1\0\0b=2\0", 9)) },
      { { "a", "1" } } },
    { "last entry needs no NUL, values may hold '='",
      { hex("a=b=c") },
      { { "a", "b=c" } } },
    { "empty value", { hex(std::string("a=\0", 3)) }, { { "a", "" } } },
    { "keys compare after the cut",
      { hex(std::string("abcdefghijklmnopXX=1\0abcdefghijklmnoYY=2\0", 41)) },
      { { "abcdefghijklmno", "2" } } },
    { "value cut",
      { hex("a=" + long_value) },
      { { "a", long_value.substr(0, 159) } } },
    { "odd length drops the lone digit",
      { hex("a=bc") + "4" },
      { { "a", "bc" } } },
    { "non-hex ends the decoding",
      { hex(std::string("a=1\0", 4)) + "zz" + hex("b=2") },
      { { "a", "1" } } },
    { "upper-case hex", { "413D42" }, { { "A", "B" } } },
    { "decoding stops at 1023 bytes",
      { hex("a=" + filler + std::string("\0b=1", 4)) },
      { { "a", filler.substr(0, 159) } } },
    { "nothing decodable", { "zz" }, {} },
  };
  for (const Case& c : cases) {
    reset_daemon();
    for (const std::string& h : c.hex_words) {
      event("DECLARE a 3 " + h);
    }
    AppRecord* a = app("a");
    ASSERT_NE(a, nullptr) << c.what;
    ASSERT_EQ(a->route_count, static_cast<int>(c.routes.size())) << c.what;
    for (std::size_t i = 0; i < c.routes.size(); ++i) {
      EXPECT_EQ(a->routes[i].key, c.routes[i].key) << c.what;
      EXPECT_EQ(a->routes[i].chain, c.routes[i].chain) << c.what;
    }
    EXPECT_EQ(log_texts().back(),
              "DECLARE a n=3 routes=" + std::to_string(c.routes.size()))
        << c.what;
  }
}

TEST_F(EventsTest, DeclareMakesAStoppedRecordUnlessTheTableIsFull) {
  event("DECLARE fresh two " + hex("home=a;b") + " extra words");
  AppRecord* a = app("fresh");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->run_state, 0);
  EXPECT_STREQ(a->name, "fresh");
  EXPECT_STREQ(a->exec, "?");
  EXPECT_EQ(a->route_count, 1);
  EXPECT_EQ(log_texts().back(), "DECLARE fresh n=two routes=1");

  for (int i = 1; i < MAX_APPS; ++i) {
    find_or_add_app(d->registry, "q" + std::to_string(i));
  }
  std::string log_before = read_file(log_path);
  event("DECLARE late 1 " + hex("home=x"));
  EXPECT_EQ(app("late"), nullptr);
  EXPECT_EQ(read_file(log_path), log_before);
}

TEST(PickerLine, WordsNumbersAndValue) {
  struct Case {
    std::string line;
    int rc;
    PickerLine::Kind kind;
    std::string caller;
    std::uint32_t req;
    std::string action;
    std::int32_t code;
    std::string value;
  };
  const std::string long_hex = hex(std::string(300, 'v'));
  const Case cases[] = {
    { "PICKER_CALL demo 7 share", 0, PickerLine::kCall, "demo", 7, "share", 0,
      "" },
    { "PICKER_CALL  demo  7  share more words", 0, PickerLine::kCall, "demo", 7,
      "share", 0, "" },
    { "PICKER_CALL demo -1 share", 0, PickerLine::kCall, "demo", 4294967295u,
      "share", 0, "" },
    { "PICKER_CALL demo 99999999999 share", 0, PickerLine::kCall, "demo",
      2147483647u, "share", 0, "" },
    { "PICKER_CALL demo x share", 0, PickerLine::kCall, "demo", 0, "share", 0,
      "" },
    { "PICKER_RESULT 7 share 0 " + hex("hello"), 0, PickerLine::kResult, "", 7,
      "share", 0, "hello" },
    { "PICKER_RESULT 7 share -3 zz", 0, PickerLine::kResult, "", 7, "share", -3,
      "" },
    { "PICKER_RESULT 7 share 1 " + hex(std::string("hi\0there", 8)), 0,
      PickerLine::kResult, "", 7, "share", 1, "hi" },
    { "PICKER_RESULT 7 share 99999999999 " + long_hex, 0, PickerLine::kResult,
      "", 7, "share", kMax32, std::string(255, 'v') },
    { "PICKER_CALL demo 7", -1, PickerLine::kCall, "", 0, "", 0, "" },
    { "PICKER_RESULT 7 share 0", -1, PickerLine::kCall, "", 0, "", 0, "" },
    { "PICKER_CALLX demo 7 share", -1, PickerLine::kCall, "", 0, "", 0, "" },
    { "PICKER_FOO a b c d", -1, PickerLine::kCall, "", 0, "", 0, "" },
  };
  for (const Case& c : cases) {
    PickerLine p;
    ASSERT_EQ(parse_picker_line(c.line, p), c.rc) << c.line;
    if (c.rc != 0) {
      continue;
    }
    EXPECT_EQ(p.kind, c.kind) << c.line;
    EXPECT_EQ(p.caller, c.caller) << c.line;
    EXPECT_EQ(p.req, c.req) << c.line;
    EXPECT_EQ(p.action, c.action) << c.line;
    EXPECT_EQ(p.code, c.code) << c.line;
    EXPECT_EQ(p.value(), c.value) << c.line;
  }
}

}  // namespace
