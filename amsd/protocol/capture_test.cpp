#include "amsd/protocol/capture.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "amsd/core/daemon.h"
#include "amsd/core/text.h"
#include "tests/support/test_daemon.h"

namespace {

bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

long file_size(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

mode_t current_umask() {
  mode_t m = umask(0);
  umask(m);
  return m;
}

// Every path below dir, links not followed, sorted.
void list_tree(const std::string& dir, const std::string& rel,
               std::vector<std::string>& out) {
  DIR* d = opendir(dir.c_str());
  if (!d) {
    return;
  }
  while (struct dirent* de = readdir(d)) {
    std::string name = de->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    out.push_back(rel + name);
    struct stat st;
    std::string full = dir + "/" + name;
    if (lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      list_tree(full, rel + name + "/", out);
    }
  }
  closedir(d);
}

class CaptureTest : public DaemonTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DaemonTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(make_card());
  }

  void open(std::string_view pkg, std::int32_t pid, std::int32_t ts) {
    stdout_session_open(d->capture, d->log, d->cfg.card_root, pkg, pid, ts);
  }

  // One output line, given as the words after "OUT".
  void out(std::string_view words) {
    std::string_view w[64];
    int n = split_words(words, w, 64);
    stdout_session_append(d->capture, d->log, w, n);
  }

  std::string file(std::string_view pkg, long ts, long pid) const {
    return logs + "/" + std::string(pkg) + "/stdout_" + std::to_string(ts) +
           "_" + std::to_string(pid) + ".log";
  }

  std::vector<std::string> tree() const {
    std::vector<std::string> res;
    list_tree(tmp.path(), "", res);
    std::sort(res.begin(), res.end());
    return res;
  }

  const std::string logs = card + "/QuorOS/logs";
};

TEST_F(CaptureTest, OpensOneFilePerLaunchAndAppendsLines) {
  open("a", 42, 1000);
  const std::string path = file("a", 1000, 42);
  ASSERT_EQ(d->capture.active, 1);
  EXPECT_STREQ(d->capture.pkg, "a");
  EXPECT_EQ(d->capture.pid, 42);
  EXPECT_STREQ(d->capture.path, path.c_str());
  EXPECT_EQ(d->capture.size, 0);
  EXPECT_EQ(log_texts(), std::vector<std::string>{
                             "stdout session open: a (pid=42) -> " + path });
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~current_umask());

  out("a 42 1001 7 hello world");
  out("a 42 1001 7");
  out("a 42 1002");  // no up word: written with up 0
  out("a 42 -99999999999 99999999999 big");
  const std::string want =
      "[1001|up=7] hello world\n"
      "[1001|up=7] \n"
      "[1002|up=0] \n"
      "[-2147483648|up=2147483647] big\n";
  EXPECT_EQ(read_file(path), want);
  EXPECT_EQ(d->capture.size, static_cast<std::int64_t>(want.size()));
}

TEST_F(CaptureTest, DropsLinesThatAreNotTheSessions) {
  open("a", 42, 1000);
  out("a 43 1 1 other pid");
  out("b 42 1 1 other app");
  out("a 42");  // too few words
  out("A 42 1 1 case matters");
  out("a 42x 1 1 pid reads as 42");
  EXPECT_EQ(read_file(file("a", 1000, 42)), "[1|up=1] pid reads as 42\n");

  // A launch of another app ends a's capture, though a still runs.
  open("b", 7, 1000);
  out("a 42 2 2 late");
  EXPECT_EQ(read_file(file("a", 1000, 42)), "[1|up=1] pid reads as 42\n");
  out("b 7 2 2 mine");
  EXPECT_EQ(read_file(file("b", 1000, 7)), "[2|up=2] mine\n");
}

TEST_F(CaptureTest, CloseActsOnlyForTheSessionsPackage) {
  open("a", 42, 1000);
  stdout_session_close(d->capture, "b");
  EXPECT_EQ(d->capture.active, 1);
  stdout_session_close(d->capture, "a");
  EXPECT_EQ(d->capture.active, 0);
  EXPECT_EQ(d->capture.fd, -1);
  EXPECT_STREQ(d->capture.pkg, "");
  out("a 42 1 1 after close");
  EXPECT_EQ(read_file(file("a", 1000, 42)), "");

  // An exit report of the package, with any pid, ends it too.
  event("EV LAUNCH a main - 42 1000 1");
  event("EV OUT a 42 1 1 before");
  event("EV EXIT b exit 0");
  EXPECT_EQ(d->capture.active, 1);
  event("EV EXIT a exit 0");
  EXPECT_EQ(d->capture.active, 0);
  event("EV OUT a 42 1 1 after");
  EXPECT_EQ(read_file(file("a", 1000, 42)), "[1|up=1] before\n");
}

TEST_F(CaptureTest, ReopenContinuesTheCount) {
  open("a", 42, 1000);
  out("a 42 1 1 one");
  stdout_session_close(d->capture, "a");
  open("a", 42, 1000);
  EXPECT_EQ(d->capture.size, 13);
  out("a 42 1 1 two");
  EXPECT_EQ(read_file(file("a", 1000, 42)), "[1|up=1] one\n[1|up=1] two\n");
  EXPECT_EQ(d->capture.size, 26);
}

TEST_F(CaptureTest, RotatesAtExactlyOneMebibyte) {
  const std::string line = "[1|up=2] abc\n";  // 13 bytes
  const long line_len = static_cast<long>(line.size());
  struct Case {
    long prefill;
    bool rotates;
  };
  const Case cases[] = {
    { CAPTURE_ROTATE_BYTES - line_len, false },
    { CAPTURE_ROTATE_BYTES - line_len + 1, true },
    { 1048570, true },
    { CAPTURE_ROTATE_BYTES, true },
  };
  ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((logs + "/a").c_str(), 0755), 0);
  const std::string path = file("a", 1000, 42);
  for (const Case& c : cases) {
    unlink((path + ".1").c_str());
    const std::string old(static_cast<std::size_t>(c.prefill), 'o');
    ASSERT_TRUE(write_file(path, old));
    open("a", 42, 1000);
    ASSERT_EQ(d->capture.size, c.prefill);
    out("a 42 1 2 abc");
    if (c.rotates) {
      EXPECT_EQ(read_file(path + ".1"), old) << c.prefill;
      EXPECT_EQ(read_file(path), line) << c.prefill;
      EXPECT_EQ(d->capture.size, line_len) << c.prefill;
      EXPECT_EQ(log_texts().back(), "stdout rotate -> " + path + ".1");
    } else {
      EXPECT_FALSE(exists(path + ".1")) << c.prefill;
      EXPECT_EQ(file_size(path), CAPTURE_ROTATE_BYTES) << c.prefill;
      EXPECT_EQ(d->capture.size, CAPTURE_ROTATE_BYTES) << c.prefill;
    }
  }
}

TEST_F(CaptureTest, RotationReplacesTheEarlierGeneration) {
  ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((logs + "/a").c_str(), 0755), 0);
  const std::string path = file("a", 1000, 42);
  ASSERT_TRUE(write_file(path + ".1", "an older generation\n"));
  ASSERT_TRUE(write_file(path, std::string(1048570, 'n')));
  open("a", 42, 1000);
  out("a 42 1 2 x");
  EXPECT_EQ(file_size(path + ".1"), 1048570);
  EXPECT_EQ(read_file(path), "[1|up=2] x\n");
  out("a 42 1 2 y");
  EXPECT_EQ(read_file(path), "[1|up=2] x\n[1|up=2] y\n");
}

TEST_F(CaptureTest, UnsafePackageIdsNeverReachTheFileSystem) {
  const char* ids[] = { "..", ".", "../x", "a/b", "x/..", "/abs", "a/", "" };
  const std::vector<std::string> before = tree();
  for (const char* id : ids) {
    open(id, 42, 1000);
    EXPECT_EQ(d->capture.active, 0) << id;
    EXPECT_EQ(d->capture.fd, -1) << id;
    EXPECT_EQ(tree(), before) << id;
  }
  EXPECT_TRUE(log_texts().empty());

  // The rest of such a launch goes on as for any other.
  event("EV LAUNCH ../evil main - 42 1000 1");
  AppRecord* a = find_app(d->registry, "../evil");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->run_state, 1);
  EXPECT_EQ(log_texts().back(), "LAUNCH ../evil main  pid=42");
  EXPECT_EQ(tree(), before);
  EXPECT_EQ(d->capture.active, 0);

  // It also ends the capture of the app launched before it.
  open("a", 1, 1);
  ASSERT_EQ(d->capture.active, 1);
  event("EV LAUNCH .. main - 42 1000 1");
  EXPECT_EQ(d->capture.active, 0);
}

TEST_F(CaptureTest, PlantedLinksAndFifosAreRefused) {
  ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((logs + "/a").c_str(), 0755), 0);
  const std::string outside = tmp.file("outside.txt");
  const std::string path = file("a", 1000, 42);

  // A link at the file's name.
  ASSERT_EQ(symlink(outside.c_str(), path.c_str()), 0);
  open("a", 42, 1000);
  EXPECT_EQ(d->capture.active, 0);
  EXPECT_FALSE(exists(outside));
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
  std::vector<std::string> inside;
  list_tree(elsewhere, "", inside);
  EXPECT_TRUE(inside.empty());
}

TEST_F(CaptureTest, RotationDoesNotFollowALinkPlantedForTheDirectory) {
  ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((logs + "/a").c_str(), 0755), 0);
  const std::string path = file("a", 1000, 42);
  ASSERT_TRUE(write_file(path, std::string(1048570, 'n')));
  open("a", 42, 1000);
  ASSERT_EQ(d->capture.active, 1);
  const std::string elsewhere = tmp.file("elsewhere");
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
  ASSERT_EQ(rename((logs + "/a").c_str(), (logs + "/a.real").c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), (logs + "/a").c_str()), 0);

  out("a 42 1 2 rotate now");
  EXPECT_EQ(d->capture.fd, -1);
  std::vector<std::string> inside;
  list_tree(elsewhere, "", inside);
  EXPECT_TRUE(inside.empty());
  // With no file, the run's output is dropped until the next launch.
  out("a 42 1 2 dropped");
  EXPECT_EQ(file_size(logs + "/a.real/stdout_1000_42.log"), 1048570);
  EXPECT_EQ(log_texts().back(), "stdout rotate -> " + path + ".1");
}

TEST_F(CaptureTest, PathsThatDoNotFitOrOpenGiveNoSession) {
  const std::string long_pkg(600, 'p');
  open(long_pkg, 42, 1000);
  EXPECT_EQ(d->capture.active, 0);
  EXPECT_TRUE(log_texts().empty());
  EXPECT_FALSE(exists(logs));

  // No QuorOS directory on this card: the open fails and says so.
  const std::string bare = tmp.file("bare");
  ASSERT_EQ(mkdir(bare.c_str(), 0755), 0);
  copy_text(d->cfg.card_root, bare);
  open("a", 42, 1000);
  EXPECT_EQ(d->capture.active, 0);
  EXPECT_EQ(log_texts().back(),
            "stdout open fail " + bare +
                "/QuorOS/logs/a/stdout_1000_42.log: No such file or directory");
}

TEST_F(CaptureTest, TextWordsAreJoinedCountedAndCut) {
  event("EV LAUNCH a main - 42 1000 1");
  event("EV OUT a 42 5 6    two   spaced   words  ");
  event("EV OUT a 42 5 6 1 2 3 4 5 6 7 8 9 10 11 12 13 14");
  event("EV OUT a 42 5");  // no up word
  EXPECT_EQ(read_file(file("a", 1000, 42)),
            "[5|up=6] two spaced words\n"
            "[5|up=6] 1 2 3 4 5 6 7 8 9 10 11\n"
            "[5|up=0] \n");

  // A text longer than a line can hold is cut, and the newline kept.
  stdout_session_reset(d->capture);
  open("a", 42, 2000);
  out("a 42 1 2 " + std::string(3000, 'x') + " tail");
  std::string got = read_file(file("a", 2000, 42));
  ASSERT_EQ(got.size(), 2047u);
  EXPECT_EQ(got.substr(0, 9), "[1|up=2] ");
  EXPECT_EQ(got.back(), '\n');
  EXPECT_EQ(got.find_first_not_of('x', 9), 2046u);
}

}  // namespace
