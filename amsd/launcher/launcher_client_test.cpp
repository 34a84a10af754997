#include "amsd/launcher/launcher_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "amsd/launcher/frame.h"
#include "tests/support/fake_peers.h"
#include "tests/support/temp_dir.h"

namespace {

using fake::FakeReply;
using fake::frame_bytes;
using ms = std::chrono::milliseconds;

constexpr std::uint32_t UNTOUCHED = 0xDEADBEEF;

struct Call {
  int result;
  std::uint32_t code = UNTOUCHED;
  ms elapsed;
};

Call call(const std::string& path,
          const StartRequest& req = make_start_request("demo", "Main")) {
  Call c;
  auto t0 = std::chrono::steady_clock::now();
  c.result = launcher_call(path.c_str(), MSG_START, &req, sizeof req, &c.code);
  c.elapsed =
      std::chrono::duration_cast<ms>(std::chrono::steady_clock::now() - t0);
  return c;
}

class LauncherCall : public ::testing::Test {
 protected:
  // One MSG_START call; the fake answers with replies in turn, then accepts.
  Call call_with(const std::vector<FakeReply>& replies) {
    for (const FakeReply& r : replies) {
      fl.push(r);
    }
    return call(path);
  }

  TempDir dir;
  std::string path = dir.file("ipc.sock");
  fake::FakeLauncher fl{ path };
};

TEST_F(LauncherCall, SendsOneWholeFrameAndReturnsTheCode) {
  StartRequest req = make_start_request("demo", "Main", 1, 7, "pick", "cam");
  // Code 8 to a start (busy) is a result like any other.
  fl.push(FakeReply::result(LAUNCH_BUSY));
  Call c = call(path, req);
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.code, LAUNCH_BUSY);
  KillRequest kill = make_kill_request("demo");
  std::uint32_t code = UNTOUCHED;
  EXPECT_EQ(launcher_call(path.c_str(), MSG_KILL, &kill, sizeof kill, &code),
            0);
  EXPECT_EQ(code, LAUNCH_ACCEPTED);

  std::vector<fake::RecordedFrame> f = fl.frames();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].header.magic, IPC_MAGIC);
  EXPECT_EQ(f[0].header.version, IPC_VERSION);
  EXPECT_EQ(f[0].header.kind, MSG_START);
  EXPECT_EQ(f[0].header.length, sizeof req);
  ASSERT_EQ(f[0].payload.size(), sizeof req);
  EXPECT_EQ(std::memcmp(f[0].payload.data(), &req, sizeof req), 0);
  EXPECT_EQ(f[1].header.kind, MSG_KILL);
  EXPECT_EQ(f[1].header.length, 32u);
  ASSERT_EQ(f[1].payload.size(), sizeof kill);
  EXPECT_EQ(std::memcmp(f[1].payload.data(), &kill, sizeof kill), 0);
}

// Every invalid reply fails the attempt; the request goes out a second time
// and, answered the same way, the call gives -1 without touching the code.
TEST_F(LauncherCall, InvalidRepliesAreRetriedOnce) {
  const std::vector<std::uint8_t> code0 = { 0, 0, 0, 0 };
  const std::pair<const char*, FakeReply> cases[] = {
    { "wrong magic",
      FakeReply::raw(frame_bytes(REPLY_RESULT, 4, code0, 0x514F5202)) },
    { "version 2",
      FakeReply::raw(frame_bytes(REPLY_RESULT, 4, code0, IPC_MAGIC, 2)) },
    { "kind 1", FakeReply::raw(frame_bytes(1, 4, code0)) },
    { "kind 4", FakeReply::raw(frame_bytes(4, 4, code0)) },
    { "closed after 10 header bytes", FakeReply::cut(10) },
    { "closed inside the body", FakeReply::cut(18) },
    // Taking the missing bytes as zero would report a false acceptance.
    { "result body of 2 bytes",
      FakeReply::raw(frame_bytes(REPLY_RESULT, 2, { 0, 0 })) },
  };
  for (const auto& [name, reply] : cases) {
    SCOPED_TRACE(name);
    std::size_t before = fl.frame_count();
    Call c = call_with({ reply, reply });
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.code, UNTOUCHED);
    EXPECT_GE(c.elapsed, ms(LAUNCHER_RETRY_PAUSE_MS));
    std::vector<fake::RecordedFrame> f = fl.frames();
    ASSERT_EQ(f.size(), before + 2);
    EXPECT_EQ(f[before].payload, f[before + 1].payload);
  }
  // A valid second answer is taken.
  std::size_t before = fl.frame_count();
  Call c = call_with({ FakeReply::cut(10), FakeReply::result(0) });
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.code, 0u);
  EXPECT_EQ(fl.frame_count(), before + 2);
}

TEST_F(LauncherCall, ErrorFrameEndsTheCallAtOnce) {
  Call c = call_with({ FakeReply::error(), FakeReply::error() });
  EXPECT_EQ(c.result, LAUNCHER_REPLY_ERROR);
  EXPECT_EQ(c.code, UNTOUCHED);
  EXPECT_EQ(fl.frame_count(), 1u);
}

// The peer announces 100 body bytes but sends 64 and closes: reading one
// byte more than 64 would fail the attempt.
TEST_F(LauncherCall, ReadsOnlyTheFirst64BodyBytes) {
  std::vector<std::uint8_t> body(64, 0xEE);
  store_le32(body.data(), 5);
  Call c = call_with({ FakeReply::raw(frame_bytes(REPLY_RESULT, 100, body)) });
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.code, 5u);
  EXPECT_EQ(fl.frame_count(), 1u);
}

// Each attempt ends at the 1.2 s time-out; a reply trickled one byte every
// 300 ms (6 s in all) is cut off at the attempt's own deadline.
TEST_F(LauncherCall, SilentOrTricklingPeerTimesOutTwice) {
  const std::pair<FakeReply, int> cases[] = {
    { FakeReply::silent(),
      2 * LAUNCHER_IO_TIMEOUT_MS + LAUNCHER_RETRY_PAUSE_MS },
    { FakeReply::trickle(fake::result_bytes(0), 300), 2 * LAUNCHER_ATTEMPT_MS },
  };
  for (const auto& [reply, min_ms] : cases) {
    std::size_t before = fl.frame_count();
    Call c = call_with({ reply, reply });
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.code, UNTOUCHED);
    EXPECT_EQ(fl.frame_count(), before + 2);
    EXPECT_GE(c.elapsed, ms(min_ms - 50));
    EXPECT_LT(c.elapsed, ms(2 * LAUNCHER_ATTEMPT_MS + 1000));
  }
}

TEST(LauncherCallOffline, NoListenerGivesTwoQuickAttempts) {
  TempDir dir;
  Call c = call(dir.file("ipc.sock"));
  EXPECT_EQ(c.result, -1);
  EXPECT_EQ(c.code, UNTOUCHED);
  EXPECT_GE(c.elapsed, ms(LAUNCHER_RETRY_PAUSE_MS));
  EXPECT_LT(c.elapsed, ms(LAUNCHER_IO_TIMEOUT_MS));
}

}  // namespace
