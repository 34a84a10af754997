#include "amsd/protocol/events.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "amsd/base/clock.h"
#include "amsd/base/text.h"
#include "tests/support/hex.h"
#include "tests/support/protocol_fixture.h"

namespace {

// A crash listener on the test's own thread: the daemon's connect completes
// into the backlog, so the notice can be accepted after the event returns.
class Listener {
 public:
  explicit Listener(const std::string& path, int backlog = 8) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    copy_text(addr.sun_path, path);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          listen(fd_, backlog) == 0;
  }
  ~Listener() { close(fd_); }
  bool ok() const { return ok_; }

  // Everything sent on the next pending connection; "" when none is there.
  std::string take() {
    struct pollfd p = { fd_, POLLIN, 0 };
    int c = poll(&p, 1, 0) == 1 ? accept(fd_, nullptr, nullptr) : -1;
    std::string out;
    char buf[512];
    for (ssize_t n; c >= 0 && (n = read(c, buf, sizeof buf)) > 0;) {
      out.append(buf, static_cast<std::size_t>(n));
    }
    close(c);
    return out;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

class EventsTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProtocolTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(make_card());
  }

  AppRecord* app(std::string_view pkg) { return find_app(d->registry, pkg); }

  // Handles line, then tells app a's run state, counters, last event (its
  // ts "now" when taken from the clock meanwhile) and the first log line
  // the event wrote.
  std::string outcome(std::string_view line) {
    std::size_t logged = log_texts().size();
    std::int32_t before = wall_seconds();
    event(line);
    std::int32_t after = wall_seconds();
    const AppRecord* a = app("a");
    if (!a || a->history_count == 0) {
      return "no record";
    }
    const HistoryEvent& e = history_at(*a, a->history_count - 1);
    bool now = e.ts >= before && e.ts <= after;
    auto n = [](long v) { return std::to_string(v); };
    return "run=" + n(static_cast<int>(a->run_state)) + " pid=" + n(a->pid) +
           " act=" + a->activity + " chain=" + a->chain +
           " n=" + n(a->launch_count) + "/" + n(a->crash_count) +
           " exit=" + n(static_cast<int>(a->exit_kind)) + "/" +
           n(a->exit_code) + " | " + e.kind + " " + e.detail + " @" +
           (now ? "now" : n(e.ts)) + "/" + n(e.up) + " | " +
           log_texts().at(logged);
  }
};

TEST(HexDecode, PairsUntilTheFirstBadOneOrTheRoom) {
  struct Case {
    std::string_view in;
    std::size_t cap;
    std::string out;
  };
  const Case cases[] = {
    { "414", 64, "A" },    { "41zz42", 64, "A" },
    { "4A4a", 64, "JJ" },  { "0041", 64, std::string("\0A", 2) },
    { "414243", 3, "AB" },
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

TEST_F(EventsTest, LaunchForms) {
  const std::string c200(200, 'c'), c159(159, 'c'), c64(64, 'c');
  const std::pair<std::string, std::string> cases[] = {
    { "EV LAUNCH a main - 42",
      "run=1 pid=42 act=main chain= n=1/0 exit=0/0 | launch act=main chain= "
      "pid=42 @now/42 | LAUNCH a main  pid=42" },
    { "EV LAUNCH a main 42 1000 15",
      "run=1 pid=42 act=main chain= n=1/0 exit=0/0 | launch act=main chain= "
      "pid=42 @1000/15 | LAUNCH a main  pid=42" },
    { "EV LAUNCH a - c1;c2 42 1000 15 extra words",
      "run=1 pid=42 act= chain=c1;c2 n=1/0 exit=0/0 | launch act= chain=c1;c2 "
      "pid=42 @1000/15 | LAUNCH a  c1;c2 pid=42" },
    { "EV LAUNCH a m " + c200 + " 1 2 3",
      "run=1 pid=1 act=m chain=" + c159 +
          " n=1/0 exit=0/0 | launch act=m chain=" + c64 +
          " pid=1 @2/3 | LAUNCH a m " + c159 + " pid=1" },
  };
  for (const auto& [line, want] : cases) {
    reset_tables();
    EXPECT_EQ(outcome(line), want);
    EXPECT_NE(app("a")->start_ms, 0u) << line;
  }
}

TEST_F(EventsTest, CountsGrowAcrossRunsAndALaunchResetsTheLastExit) {
  event("EV LAUNCH a main - 42 1000 1");
  event("EV EXIT a sig 9");
  // Applied by package, running or not.
  EXPECT_EQ(outcome("EV EXIT a exit 2"),
            "run=0 pid=0 act=main chain= n=1/2 exit=1/2 | crash exit=2 dur=0ms "
            "crash=2 @now/42 | EXIT a exit=2 dur=0 abnormal=1");
  event("EV LAUNCH a other - 43 1002 3");
  // No exit came between.
  EXPECT_EQ(outcome("EV LAUNCH a third - 44 1003 4"),
            "run=1 pid=44 act=third chain= n=3/2 exit=0/0 | launch act=third "
            "chain= pid=44 @1003/4 | LAUNCH a third  pid=44");
  const char* kinds[] = { "launch", "crash", "crash", "launch", "launch" };
  ASSERT_EQ(app("a")->history_count, 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_STREQ(history_at(*app("a"), i).kind, kinds[i]);
  }
}

TEST_F(EventsTest, ExitClassificationRecordAndCrashNotice) {
  const std::pair<std::string, std::string> cases[] = {
    { "EV EXIT a exit 0 99999999999999999999999",
      "run=0 pid=0 act=main chain= n=1/0 exit=0/0 | exit exit=0 "
      "dur=9223372036854775807ms @now/42 | EXIT a exit=0 "
      "dur=9223372036854775807 abnormal=0 | " },
    { "EV EXIT a exit 3 10 2000 30",
      "run=0 pid=0 act=main chain= n=1/1 exit=1/3 | crash exit=3 dur=10ms "
      "crash=1 @2000/30 | EXIT a exit=3 dur=10 abnormal=1 | SVC a exit 3 "
      "2000 30\n" },
    { "EV EXIT a sig 0 1 2001",
      "run=0 pid=0 act=main chain= n=1/1 exit=2/0 | crash sig=0 dur=1ms "
      "crash=1 @2001/42 | EXIT a sig=0 dur=1 abnormal=1 | SVC a sig 0 2001 "
      "42\n" },
    { "EV EXIT a stopped 9",
      "run=0 pid=0 act=main chain= n=1/0 exit=1/9 | exit stopped=9 dur=0ms "
      "@now/42 | EXIT a stopped=9 dur=0 abnormal=0 | " },
  };
  Listener listener(crash);
  ASSERT_TRUE(listener.ok());
  for (const auto& [line, want] : cases) {
    reset_tables();
    event("EV LAUNCH a main - 42 1000 1");
    std::string got = outcome(line);
    EXPECT_EQ(got + " | " + listener.take(), want);
  }
}

TEST_F(EventsTest, CrashNoticeWaitsOnlyBriefly) {
  event("EV LAUNCH a main - 42");
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
  auto t0 = std::chrono::steady_clock::now();
  event("EV EXIT a exit 1");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(app("a")->crash_count, 1);
  EXPECT_EQ(log_texts().back(), "EXIT a exit=1 dur=0 abnormal=1");
  for (int fd : fillers) {
    close(fd);
  }
}

TEST_F(EventsTest, MalformedLinesLeaveNoTrace) {
  event("EV LAUNCH a main - 42 1000 1");
  event("DECLARE a 1 " + hex(std::string("home=x\0", 7)));
  ASSERT_EQ(d->capture.active, 1);
  const std::string capture = card + "/QuorOS/logs/a/stdout_1000_42.log";
  const char* lines[] = {
    "EV LAUNCH b main chainx",
    "EV launch b main - 42",
    "EV EXIT a exit",
    "EV EXIT b sig 9 1 2 3",
    "EV OUT a 42",
    "EV FOO a b c d e f",
    "DECLARE a 1",
    "DECLAREa 1 686f6d653d7900",
    "PICKER_CALL a 1",
    "PICKER_RESULT 1 act 0",
    "PICKER_FOO a b c d e",
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
  }
}

TEST_F(EventsTest, LaunchFloodBeyondTheTableLeavesTheRestAlone) {
  for (int i = 0; i < MAX_APPS + 6; ++i) {
    event("EV LAUNCH p" + std::to_string(i) + " main - " +
          std::to_string(100 + i) + " 1000 1");
  }
  EXPECT_EQ(d->registry.app_count, MAX_APPS);
  EXPECT_EQ(find_app(d->registry, "p64"), nullptr);
  // Each launch that fitted logged its LAUNCH and capture lines.
  EXPECT_EQ(log_texts().size(), 2u * MAX_APPS);
  // The capture still follows the last launch that fitted.
  event("EV OUT p63 163 1001 2 still here");
  EXPECT_EQ(read_file(card + "/QuorOS/logs/p63/stdout_1000_163.log"),
            "[1001|up=2] still here\n");
  struct stat st;
  EXPECT_NE(stat((card + "/QuorOS/logs/p64").c_str(), &st), 0);
  // Nor does a declaration make a record.
  std::string log_before = read_file(log_path);
  event("DECLARE late 1 " + hex("home=x"));
  EXPECT_EQ(app("late"), nullptr);
  EXPECT_EQ(read_file(log_path), log_before);
}

TEST_F(EventsTest, DeclareMergesRoutes) {
  std::string nine, eight;
  for (int i = 0; i < 9; ++i) {
    std::string n = std::to_string(i);
    nine += "k" + n + "=c" + n + '\0';
    eight += i < 8 ? " k" + n + "=c" + n : "";
  }
  std::string updated = eight;
  updated.replace(updated.find("k3=c3"), 5, "k3=new");
  const std::string x(1019, 'x');
  // The hex words of one or more DECLARE lines, and the routes then held.
  const std::pair<std::vector<std::string>, std::string> cases[] = {
    { { hex(std::string("home=x;y\0home=z\0\0", 17)) }, " home=z" },
    { { hex(nine) }, eight },
    { { hex(nine), hex(std::string("k3=new\0k9=no\0", 13)) }, updated },
    // Entries without a key are skipped; an empty entry ends the list.
    { { hex(std::string("noeq\0=v\0ok=1\0\0b=2", 17)) }, " ok=1" },
    // The last entry needs no NUL, and a value may hold '='.
    { { hex("a=b=c") }, " a=b=c" },
    // Keys compare after their cut to 15 bytes.
    { { hex(std::string("abcdefghijklmnopXX=1\0abcdefghijklmnoYY=2", 40)) },
      " abcdefghijklmno=2" },
    // Only 1023 bytes are decoded; the value is cut to 159.
    { { hex("a=" + x + std::string("\0b=1", 4)) }, " a=" + x.substr(0, 159) },
  };
  for (const auto& [words, want] : cases) {
    reset_tables();
    for (const std::string& h : words) {
      event("DECLARE a 3 " + h);
    }
    AppRecord* a = app("a");
    ASSERT_NE(a, nullptr) << want;
    std::string routes;
    for (int i = 0; i < a->route_count; ++i) {
      routes += std::string(" ") + a->routes[i].key + "=" + a->routes[i].chain;
    }
    EXPECT_EQ(routes, want);
    EXPECT_EQ(log_texts().back(),
              "DECLARE a n=3 routes=" + std::to_string(a->route_count));
  }
}

}  // namespace
