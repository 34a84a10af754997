#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "amsd/base/text.h"
#include "amsd/log/capture.h"
#include "tests/support/protocol_fixture.h"

namespace {

// -1 when there is no such file.
long file_size(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::vector<std::string> g_seen;

int note(const char* path, const struct stat*, int, struct FTW*) {
  g_seen.push_back(path);
  return 0;
}

// dir and every path below it, links not followed, sorted.
std::vector<std::string> tree(const std::string& dir) {
  g_seen.clear();
  nftw(dir.c_str(), note, 16, FTW_PHYS);
  std::sort(g_seen.begin(), g_seen.end());
  return g_seen;
}

class CaptureTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProtocolTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(make_card());
  }

  void open(std::string_view pkg, std::int32_t pid, std::int32_t ts) {
    stdout_session_open(d->capture, d->log, d->card_root, pkg, pid, ts);
  }

  std::string file(std::string_view pkg, long ts, long pid) const {
    return logs + "/" + std::string(pkg) + "/stdout_" + std::to_string(ts) +
           "_" + std::to_string(pid) + ".log";
  }

  // The app's directory made beforehand, so a test can plant files in it.
  void make_app_dir(const char* pkg) {
    mkdir(logs.c_str(), 0755);
    ASSERT_EQ(mkdir((logs + "/" + pkg).c_str(), 0755), 0);
  }

  const std::string logs = card + "/QuorOS/logs";
};

TEST_F(CaptureTest, OpensOneFilePerLaunchAndAppendsLines) {
  open("a", 42, 1000);
  const std::string path = file("a", 1000, 42);
  ASSERT_EQ(d->capture.active, 1);
  EXPECT_EQ(d->capture.size, 0);
  EXPECT_EQ(log_texts(), std::vector<std::string>{
                             "stdout session open: a (pid=42) -> " + path });
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);

  // The text is the rest of the line after the up word's one space, kept
  // byte for byte: spacing, tabs and any number of words.
  std::string words200;
  for (int i = 0; i < 200; ++i) {
    words200 += (i ? " w" : "w") + std::to_string(i);
  }
  const std::pair<std::string, std::string> lines[] = {
    { "EV OUT a 42 1001 7    hello   world  ",
      "[1001|up=7]    hello   world  \n" },
    { "EV OUT a 42 1001 7", "[1001|up=7] \n" },
    { "EV OUT a 42 1001 7 ", "[1001|up=7] \n" },
    { "EV OUT a 42 1002", "[1002|up=0] \n" },  // no up word: up 0
    { "EV OUT a 42 5 6 1 2 3 4 5 6 7 8 9 10 11 12 13 14",
      "[5|up=6] 1 2 3 4 5 6 7 8 9 10 11 12 13 14\n" },
    { "EV OUT a 42 5 6 " + words200, "[5|up=6] " + words200 + "\n" },
    { "EV  OUT  a  42  5  6 \t  at x  (f.c:12)\t",
      "[5|up=6] \t  at x  (f.c:12)\t\n" },
  };
  std::string want;
  for (const auto& [line, written] : lines) {
    event(line);
    want += written;
  }
  EXPECT_EQ(read_file(path), want);
  EXPECT_EQ(d->capture.size, static_cast<std::int64_t>(want.size()));

  // A text longer than a line can hold is cut, and the newline kept.
  open("a", 42, 2000);
  event("EV OUT a 42 1 2 " + std::string(3000, 'x') + " tail");
  std::string got = read_file(file("a", 2000, 42));
  ASSERT_EQ(got.size(), 2047u);
  EXPECT_EQ(got.substr(0, 9), "[1|up=2] ");
  EXPECT_EQ(got.back(), '\n');
  EXPECT_EQ(got.find_first_not_of('x', 9), 2046u);
}

TEST_F(CaptureTest, DropsLinesThatAreNotTheSessions) {
  open("a", 42, 1000);
  event("EV OUT a 43 1 1 other pid");
  event("EV OUT b 42 1 1 other app");
  event("EV OUT a 42");  // too few words
  event("EV OUT A 42 1 1 case matters");
  event("EV OUT a 42 1 1 mine");
  EXPECT_EQ(read_file(file("a", 1000, 42)), "[1|up=1] mine\n");

  // A launch of another app ends a's capture, though a still runs.
  event("EV LAUNCH b main - 7 1000 1");
  event("EV OUT a 42 2 2 late");
  EXPECT_EQ(read_file(file("a", 1000, 42)), "[1|up=1] mine\n");
  event("EV OUT b 7 2 2 mine");
  EXPECT_EQ(read_file(file("b", 1000, 7)), "[2|up=2] mine\n");

  // An exit report ends the capture of its own package only.
  event("EV EXIT a exit 0");
  EXPECT_EQ(d->capture.active, 1);
  event("EV EXIT b exit 0");
  EXPECT_EQ(d->capture.active, 0);
  event("EV OUT b 7 3 3 after");
  EXPECT_EQ(read_file(file("b", 1000, 7)), "[2|up=2] mine\n");
}

// Opening an existing file continues its count, so a relaunch with the same
// ts and pid rotates at the same size as one long run.
TEST_F(CaptureTest, RotatesAtExactlyOneMebibyte) {
  const std::string line = "[1|up=2] abc\n";  // 13 bytes
  const long line_len = static_cast<long>(line.size());
  ASSERT_NO_FATAL_FAILURE(make_app_dir("a"));
  const std::string path = file("a", 1000, 42);
  for (bool rotates : { false, true }) {
    long prefill = CAPTURE_ROTATE_BYTES - line_len + (rotates ? 1 : 0);
    const std::string old(static_cast<std::size_t>(prefill), 'o');
    ASSERT_TRUE(write_file(path, old));
    if (rotates) {
      // An earlier generation, which the rotation replaces.
      ASSERT_TRUE(write_file(path + ".1", "an older generation\n"));
    }
    open("a", 42, 1000);
    ASSERT_EQ(d->capture.size, prefill);
    event("EV OUT a 42 1 2 abc");
    if (rotates) {
      EXPECT_EQ(read_file(path + ".1"), old);
      EXPECT_EQ(read_file(path), line);
      EXPECT_EQ(d->capture.size, line_len);
      EXPECT_EQ(log_texts().back(), "stdout rotate -> " + path + ".1");
    } else {
      EXPECT_EQ(file_size(path + ".1"), -1);
      EXPECT_EQ(file_size(path), CAPTURE_ROTATE_BYTES);
      EXPECT_EQ(d->capture.size, CAPTURE_ROTATE_BYTES);
    }
  }
}

TEST_F(CaptureTest, UnsafePackageIdsNeverReachTheFileSystem) {
  const std::vector<std::string> before = tree(tmp.path());
  for (const char* id : { "", ".", "..", "../x" }) {
    open(id, 42, 1000);
    EXPECT_EQ(d->capture.active, 0) << id;
    EXPECT_EQ(d->capture.fd, -1) << id;
    EXPECT_EQ(tree(tmp.path()), before) << id;
  }
  EXPECT_TRUE(log_texts().empty());

  // The rest of such a launch goes on as for any other.
  event("EV LAUNCH ../evil main - 42 1000 1");
  AppRecord* a = find_app(d->registry, "../evil");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->run_state, RunState::kRunning);
  EXPECT_EQ(log_texts().back(), "LAUNCH ../evil main  pid=42");
  EXPECT_EQ(tree(tmp.path()), before);
  EXPECT_EQ(d->capture.active, 0);

  // It also ends the capture of the app launched before it.
  open("a", 1, 1);
  ASSERT_EQ(d->capture.active, 1);
  event("EV LAUNCH .. main - 42 1000 1");
  EXPECT_EQ(d->capture.active, 0);
}

TEST_F(CaptureTest, PlantedLinksAndFifosAreRefused) {
  ASSERT_NO_FATAL_FAILURE(make_app_dir("a"));
  const std::string outside = tmp.file("outside.txt");
  const std::string path = file("a", 1000, 42);

  // A link at the file's name.
  ASSERT_EQ(symlink(outside.c_str(), path.c_str()), 0);
  open("a", 42, 1000);
  EXPECT_EQ(d->capture.active, 0);
  EXPECT_EQ(file_size(outside), -1);
  EXPECT_EQ(log_texts().back(),
            "stdout open fail " + path + ": Too many levels of symbolic links");
  unlink(path.c_str());

  // A FIFO without a reader, then with one: neither may stall or be used.
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  open("a", 42, 1000);
  EXPECT_EQ(d->capture.active, 0);
  EXPECT_EQ(log_texts().back(),
            "stdout open fail " + path + ": No such device or address");
  int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  open("a", 42, 1000);
  EXPECT_EQ(d->capture.active, 0);
  EXPECT_EQ(log_texts().back(),
            "stdout open fail " + path + ": not a regular file");
  close(reader);
  unlink(path.c_str());

  // The app's directory itself a link to elsewhere.
  const std::string elsewhere = tmp.file("elsewhere");
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), (logs + "/b").c_str()), 0);
  open("b", 42, 1000);
  EXPECT_EQ(d->capture.active, 0);
  EXPECT_EQ(tree(elsewhere), std::vector<std::string>{ elsewhere });
}

TEST_F(CaptureTest, RotationDoesNotFollowALinkPlantedForTheDirectory) {
  ASSERT_NO_FATAL_FAILURE(make_app_dir("a"));
  const std::string path = file("a", 1000, 42);
  ASSERT_TRUE(write_file(path, std::string(1048570, 'n')));
  open("a", 42, 1000);
  ASSERT_EQ(d->capture.active, 1);
  const std::string elsewhere = tmp.file("elsewhere");
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
  ASSERT_EQ(rename((logs + "/a").c_str(), (logs + "/a.real").c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), (logs + "/a").c_str()), 0);

  event("EV OUT a 42 1 2 rotate now");
  EXPECT_EQ(d->capture.fd, -1);
  EXPECT_EQ(tree(elsewhere), std::vector<std::string>{ elsewhere });
  // With no file, the run's output is dropped until the next launch.
  event("EV OUT a 42 1 2 dropped");
  EXPECT_EQ(file_size(logs + "/a.real/stdout_1000_42.log"), 1048570);
  EXPECT_EQ(log_texts().back(), "stdout rotate -> " + path + ".1");
}

TEST_F(CaptureTest, PathsThatDoNotFitGiveNoSessionNorMessage) {
  open(std::string(600, 'p'), 42, 1000);
  EXPECT_EQ(d->capture.active, 0);
  EXPECT_TRUE(log_texts().empty());
  EXPECT_EQ(file_size(logs), -1);
}

}  // namespace
