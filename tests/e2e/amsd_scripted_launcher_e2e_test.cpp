// The daemon's start, kill and picker commands against a launcher that
// answers as each case tells it, including garbage, silence, early close and
// no launcher at all. Whatever the launcher does, each command is answered
// within the bound of the launcher link, a client that came meanwhile is
// served right after, and the daemon keeps its state.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "amsd/launcher/launcher_client.h"
#include "tests/e2e/harness.h"
#include "tests/support/fake_peers.h"

namespace {

using namespace e2e;
using fake::DeadEnd;
using fake::FakeReply;
using Clock = std::chrono::steady_clock;

// Two attempts and the pause between them; the rest is slack for a loaded
// machine.
constexpr Millis LINK_BOUND(2 * LAUNCHER_ATTEMPT_MS + LAUNCHER_RETRY_PAUSE_MS);
constexpr Millis SLACK = 1500ms;
constexpr int OFFLINE = -1;

enum class Side { kFake, kRefused, kBacklogFull };

struct Row {
  const char* name;
  Side side;
  FakeReply reply;
  std::size_t attempts;  // connections the fake launcher takes per command
  int code;              // the launcher's answer, or OFFLINE
};

// Names the row in test names and messages.
void PrintTo(const Row& r, std::ostream* os) {
  *os << r.name;
}

std::vector<std::uint8_t> random_bytes(std::size_t n) {
  std::mt19937 gen(11);
  std::vector<std::uint8_t> out(n);
  for (std::uint8_t& b : out) {
    b = static_cast<std::uint8_t>(gen());
  }
  return out;
}

// A result accepting the request, announcing a body of 4 GiB and sending
// 4 KiB of it.
std::vector<std::uint8_t> huge_body() {
  return fake::frame_bytes(REPLY_RESULT, 0xFFFFFFFF,
                           std::vector<std::uint8_t>(4096, 0));
}

std::vector<Row> rows() {
  const std::vector<std::uint8_t> code0 = { 0, 0, 0, 0 };
  return {
    { "Accept", Side::kFake, FakeReply::result(0), 1, 0 },
    { "Busy", Side::kFake, FakeReply::result(8), 1, 8 },
    { "Refuse", Side::kFake, FakeReply::result(3), 1, 3 },
    { "Refused", Side::kRefused, {}, 0, OFFLINE },
    { "BacklogFull", Side::kBacklogFull, {}, 0, OFFLINE },
    { "AcceptAndSilence", Side::kFake, FakeReply::silent(), 2, OFFLINE },
    { "CloseAtOnce", Side::kFake, FakeReply::close_at_once(), 2, OFFLINE },
    { "RandomBytes", Side::kFake, FakeReply::raw(random_bytes(40)), 2,
      OFFLINE },
    { "CloseAfter10HeaderBytes", Side::kFake, FakeReply::cut(10), 2, OFFLINE },
    { "ResultWith2ByteBody", Side::kFake,
      FakeReply::raw(fake::frame_bytes(REPLY_RESULT, 2, { 0, 0 })), 2,
      OFFLINE },
    { "Version2", Side::kFake,
      FakeReply::raw(fake::frame_bytes(REPLY_RESULT, 4, code0, IPC_MAGIC, 2)),
      2, OFFLINE },
    { "WrongMagic", Side::kFake,
      FakeReply::raw(fake::frame_bytes(REPLY_RESULT, 4, code0, 0x514F5202)), 2,
      OFFLINE },
    { "ErrorFrame", Side::kFake, FakeReply::error(), 1, OFFLINE },
    { "HugeBodyAnnounced", Side::kFake, FakeReply::raw(huge_body()), 1, 0 },
    { "OneByteEvery500ms", Side::kFake,
      FakeReply::trickle(fake::result_bytes(0), 500), 2, OFFLINE },
  };
}

// An unreachable launcher: kill falls back to SIGTERM itself.
std::string start_reply(int code) {
  return code == 0 ? "OK demo/Main\n" : "ERR demo/Main\n";
}
std::string kill_reply(int code) {
  return code > 0 ? "ERR launcher refused: demo (code=" + std::to_string(code) +
                        ")\n"
                  : "OK terminate demo\n";
}
std::string picker_reply(int code) {
  if (code == OFFLINE) {
    return "ERR launcher offline\n";
  }
  return code == 0
             ? "OK pending 1 gallery\n"
             : "ERR launcher refused: gallery (code=" + std::to_string(code) +
                   ")\n";
}

// Sends line, and "status" from another client right behind it while the
// daemon may still wait on the launcher.
void expect_answer(const Amsd& a, const std::string& line,
                   const std::string& want) {
  SCOPED_TRACE(line);
  auto t0 = Clock::now();
  Conn c = a.connect();
  ASSERT_TRUE(c.send(line + "\n"));
  Conn other = a.connect();
  ASSERT_TRUE(other.send("status\n"));
  EXPECT_EQ(c.read_all(), want);
  EXPECT_LE(Clock::now() - t0, LINK_BOUND + SLACK);
  EXPECT_TRUE(
      other.read_all(2s).starts_with("# amd status (running apps)\nRUN demo"));
}

class LauncherFault : public ::testing::TestWithParam<Row> {};

TEST_P(LauncherFault, EveryCommandIsAnsweredInTimeAndNothingIsLost) {
  const Row& r = GetParam();
  TempDir dir;
  Amsd a(dir);
  make_app(a.apps, "demo");
  make_app(a.apps, "gallery", R"({"picker.share":"pick;view"})");
  std::unique_ptr<fake::FakeLauncher> launcher;
  std::unique_ptr<DeadEnd> dead;
  if (r.side == Side::kFake) {
    launcher = std::make_unique<fake::FakeLauncher>(a.ipc_sock);
    for (int i = 0; i < 6; ++i) {
      launcher->push(r.reply);
    }
  } else {
    dead = std::make_unique<DeadEnd>(a.ipc_sock, r.side == Side::kRefused
                                                     ? DeadEnd::kRefused
                                                     : DeadEnd::kBacklogFull);
    ASSERT_TRUE(dead->ok());
  }
  ASSERT_TRUE(a.start());
  // A real process stands behind the reported pid, for the fallback.
  Process app;
  ASSERT_TRUE(app.spawn({ "/bin/sleep", "60" }, {}, dir.file("app.out"),
                        dir.file("app.err"), dir.path()));
  Conn peer = a.connect();
  peer.send("EV LAUNCH demo Main - " + std::to_string(app.pid()) + "\n");
  ASSERT_TRUE(a.wait_log("LAUNCH demo Main  pid="));

  expect_answer(a, "start demo/Main", start_reply(r.code));
  expect_answer(a, "kill demo", kill_reply(r.code));
  expect_answer(a, "picker share", picker_reply(r.code));
  if (launcher) {
    EXPECT_EQ(launcher->connection_count(), 3 * r.attempts);
  }
  // Only the fallback, with no launcher to reach, signals the app itself.
  if (r.code == OFFLINE) {
    EXPECT_EQ(app.wait_exit(), -1) << "the app died by its SIGTERM";
  } else {
    EXPECT_TRUE(app.running());
  }
  // The launcher's reports still arrive, the views still answer.
  EXPECT_TRUE(peer.open_and_quiet());
  peer.send("EV EXIT demo sig 15 5\n");
  EXPECT_TRUE(wait_until([&] {
    return a.command("list").find("APP demo demo stop 0 1 1 sig 15\n") !=
           std::string::npos;
  }));
  EXPECT_EQ(a.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, LauncherFault, ::testing::ValuesIn(rows()),
                         [](const auto& p) { return p.param.name; });

}  // namespace
