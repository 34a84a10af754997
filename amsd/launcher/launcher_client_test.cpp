#include "amsd/launcher/launcher_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "amsd/launcher/frame.h"
#include "tests/e2e/fake_peers.h"
#include "tests/support/temp_dir.h"

namespace {

using fake::FakeLauncher;
using fake::FakeReply;
using fake::frame_bytes;

constexpr std::uint32_t kUntouched = 0xDEADBEEF;

struct Call {
  int result;
  std::uint32_t code;
  long elapsed_ms;
};

Call call_start(const std::string& path,
                const StartRequest& req = make_start_request("demo", "Main")) {
  Call c{ 0, kUntouched, 0 };
  auto t0 = std::chrono::steady_clock::now();
  c.result = launcher_call(path.c_str(), MSG_START, &req, sizeof req, &c.code);
  c.elapsed_ms =
      static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - t0)
                            .count());
  return c;
}

std::vector<std::uint8_t> bytes_of(const void* p, std::size_t n) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  return std::vector<std::uint8_t>(b, b + n);
}

class LauncherCall : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.file("ipc.sock");
};

TEST_F(LauncherCall, AcceptedStartSendsOneWholeFrame) {
  FakeLauncher fl(path);
  ASSERT_TRUE(fl.ok());
  StartRequest req = make_start_request("demo", "Main", 1, 7, "pick", "cam");
  Call c = call_start(path, req);
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.code, 0u);
  ASSERT_EQ(fl.frame_count(), 1u);
  const fake::RecordedFrame f = fl.frames()[0];
  EXPECT_EQ(f.header.magic, IPC_MAGIC);
  EXPECT_EQ(f.header.version, IPC_VERSION);
  EXPECT_EQ(f.header.kind, MSG_START);
  EXPECT_EQ(f.header.reserved, 0u);
  EXPECT_EQ(f.header.length, sizeof req);
  EXPECT_EQ(f.payload, bytes_of(&req, sizeof req));
}

TEST_F(LauncherCall, KillFrameAndRefusalCode) {
  FakeLauncher fl(path);
  ASSERT_TRUE(fl.ok());
  fl.set_default(FakeReply::result(3));
  KillRequest req = make_kill_request("demo");
  std::uint32_t code = kUntouched;
  EXPECT_EQ(launcher_call(path.c_str(), MSG_KILL, &req, sizeof req, &code), 0);
  EXPECT_EQ(code, 3u);
  ASSERT_EQ(fl.frame_count(), 1u);
  EXPECT_EQ(fl.frames()[0].header.kind, MSG_KILL);
  EXPECT_EQ(fl.frames()[0].header.length, 32u);
  EXPECT_EQ(std::string(fl.frames()[0].kill().pkg), "demo");
}

TEST_F(LauncherCall, BusyCodeIsAResult) {
  FakeLauncher fl(path);
  ASSERT_TRUE(fl.ok());
  fl.set_default(FakeReply::result(LAUNCH_BUSY));
  Call c = call_start(path);
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.code, LAUNCH_BUSY);
  EXPECT_EQ(fl.frame_count(), 1u);
}

// Every invalid reply fails the attempt; the request goes out a second time
// and, answered the same way, the call gives -1 without touching the code.
TEST_F(LauncherCall, InvalidRepliesAreRetriedOnceThenFail) {
  const std::vector<std::uint8_t> code0 = { 0, 0, 0, 0 };
  struct Case {
    const char* name;
    FakeReply reply;
  };
  const Case cases[] = {
    { "wrong magic",
      FakeReply::raw(frame_bytes(REPLY_RESULT, 4, code0, 0x514F5202)) },
    { "version 2",
      FakeReply::raw(frame_bytes(REPLY_RESULT, 4, code0, IPC_MAGIC, 2)) },
    { "kind 1", FakeReply::raw(frame_bytes(1, 4, code0)) },
    { "kind 4", FakeReply::raw(frame_bytes(4, 4, code0)) },
    { "closed after 10 header bytes", FakeReply::cut(10) },
    { "closed inside the body", FakeReply::cut(18) },
    { "result body of 2 bytes",
      FakeReply::raw(frame_bytes(REPLY_RESULT, 2, { 0, 0 })) },
    { "result without body", FakeReply::raw(frame_bytes(REPLY_RESULT, 0, {})) },
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    FakeLauncher fl(path);
    ASSERT_TRUE(fl.ok());
    fl.set_default(k.reply);
    Call c = call_start(path);
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.code, kUntouched);
    ASSERT_EQ(fl.frame_count(), 2u);
    EXPECT_EQ(fl.frames()[0].payload, fl.frames()[1].payload);
    EXPECT_GE(c.elapsed_ms, LAUNCHER_RETRY_PAUSE_MS);
  }
}

TEST_F(LauncherCall, SecondAttemptCanSucceed) {
  FakeLauncher fl(path);
  ASSERT_TRUE(fl.ok());
  fl.push(FakeReply::raw(
      frame_bytes(REPLY_RESULT, 4, { 0, 0, 0, 0 }, IPC_MAGIC, 2)));
  fl.push(FakeReply::result(0));
  Call c = call_start(path);
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.code, 0u);
  ASSERT_EQ(fl.frame_count(), 2u);
  EXPECT_EQ(fl.frames()[0].payload, fl.frames()[1].payload);
}

TEST_F(LauncherCall, ErrorFrameEndsTheCallAtOnce) {
  FakeLauncher fl(path);
  ASSERT_TRUE(fl.ok());
  fl.set_default(FakeReply::error());
  Call c = call_start(path);
  EXPECT_EQ(c.result, LAUNCHER_REPLY_ERROR);
  EXPECT_EQ(c.code, kUntouched);
  EXPECT_EQ(fl.frame_count(), 1u);
  EXPECT_EQ(fl.connection_count(), 1u);
}

// The peer announces 100 body bytes but sends only 64 and waits: reading
// one byte more than 64 would run into the time-out.
TEST_F(LauncherCall, ReadsOnlyTheFirst64BodyBytes) {
  FakeLauncher fl(path);
  ASSERT_TRUE(fl.ok());
  std::vector<std::uint8_t> body(64, 0xEE);
  store_le32(body.data(), 5);
  fl.set_default(FakeReply::raw(frame_bytes(REPLY_RESULT, 100, body)));
  Call c = call_start(path);
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.code, 5u);
  EXPECT_EQ(fl.frame_count(), 1u);
  EXPECT_LT(c.elapsed_ms, LAUNCHER_IO_TIMEOUT_MS);
}

TEST_F(LauncherCall, SilentPeerTimesOutTwice) {
  FakeLauncher fl(path);
  ASSERT_TRUE(fl.ok());
  fl.set_default(FakeReply::silent());
  Call c = call_start(path);
  EXPECT_EQ(c.result, -1);
  EXPECT_EQ(c.code, kUntouched);
  EXPECT_EQ(fl.frame_count(), 2u);
  EXPECT_GE(c.elapsed_ms,
            2 * LAUNCHER_IO_TIMEOUT_MS + LAUNCHER_RETRY_PAUSE_MS - 50);
  EXPECT_LT(c.elapsed_ms, 2 * LAUNCHER_ATTEMPT_MS + 1000);
}

// A reply trickled one byte every 300 ms would take 6 s to arrive; each
// attempt gives up at its own deadline instead.
TEST_F(LauncherCall, TricklingPeerIsCutOffAtTheAttemptDeadline) {
  FakeLauncher fl(path);
  ASSERT_TRUE(fl.ok());
  fl.set_default(FakeReply::trickle(fake::result_bytes(0), 300));
  Call c = call_start(path);
  EXPECT_EQ(c.result, -1);
  EXPECT_EQ(c.code, kUntouched);
  EXPECT_EQ(fl.frame_count(), 2u);
  EXPECT_GE(c.elapsed_ms, 2 * LAUNCHER_ATTEMPT_MS - 50);
  EXPECT_LT(c.elapsed_ms, 2 * LAUNCHER_ATTEMPT_MS + 1000);
}

TEST_F(LauncherCall, NoListenerGivesTwoQuickAttempts) {
  Call c = call_start(path);
  EXPECT_EQ(c.result, -1);
  EXPECT_EQ(c.code, kUntouched);
  EXPECT_GE(c.elapsed_ms, LAUNCHER_RETRY_PAUSE_MS);
  EXPECT_LT(c.elapsed_ms, LAUNCHER_IO_TIMEOUT_MS);
}

TEST_F(LauncherCall, MissingArgumentsFailWithoutConnecting) {
  FakeLauncher fl(path);
  ASSERT_TRUE(fl.ok());
  std::uint32_t code = kUntouched;
  EXPECT_EQ(launcher_call(nullptr, MSG_KILL, "x", 1, &code), -1);
  EXPECT_EQ(launcher_call(path.c_str(), MSG_KILL, nullptr, 32, &code), -1);
  EXPECT_EQ(code, kUntouched);
  EXPECT_EQ(fl.connection_count(), 0u);
}

}  // namespace
