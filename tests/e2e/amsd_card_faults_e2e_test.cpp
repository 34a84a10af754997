// quor_amsd on a card that fails under it: one that fills up, one pulled
// while the log is open, one mounted read-only. Each test runs in a mount
// namespace of its own, with private tmpfs mounts on /tmp (so the daemon's
// fixed /tmp files are the test's own) and on the card. Needs root.
//
// The card job runs once a minute: a test that changes no mount waits for
// one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;

constexpr char BUFFER[] = "/tmp/quor_ams.log";
constexpr char MOVED[] = "[quor_amsd] /tmp buffered log moved to card\n";
// A card job and then some.
constexpr Millis CARD_JOB_WAIT = std::chrono::seconds(150);

// The daemon's directory, opened before /tmp is covered: the build may lie
// there. Once per process, so later tests find it through the first one.
std::string daemon_via_fd() {
  static const std::string path = [] {
    std::string bin = Amsd::binary();
    std::size_t slash = bin.rfind('/');
    int dir =
        open(bin.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return "/proc/self/fd/" + std::to_string(dir) + bin.substr(slash);
  }();
  return path;
}

// Without its card the mount point is an empty directory, as on the device.
// The card is filled beside it and moved in whole: the daemon looks at the
// mount as soon as it appears, and a real card holds its QuorOS by then.
int mount_card(const std::string& at) {
  rmdir((at + "/QuorOS").c_str());
  const std::string staged = at + ".new";
  if (mkdir(staged.c_str(), 0755) != 0 && errno != EEXIST) {
    return -1;
  }
  if (mount("card", staged.c_str(), "tmpfs", 0, "size=256k") != 0 ||
      mkdir((staged + "/QuorOS").c_str(), 0755) != 0) {
    return -1;
  }
  return mount(staged.c_str(), at.c_str(), nullptr, MS_MOVE, nullptr);
}

int remount_card(const std::string& at, unsigned long flags) {
  return mount(nullptr, at.c_str(), nullptr, MS_REMOUNT | flags, nullptr);
}

// Logs one line through the daemon (DECLARE is logged and not answered);
// returns its text as the log holds it.
std::string mark(Conn& c, const std::string& name) {
  c.send("DECLARE mark " + name + " 00\n");
  return "DECLARE mark n=" + name + " routes=0";
}

class CardFaults : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root for a private mount namespace";
    }
    std::string bin = daemon_via_fd();
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmp", "/tmp", "tmpfs", 0, "size=16m") != 0) {
      GTEST_SKIP() << "no private mount namespace with /tmp: "
                   << std::strerror(errno);
    }
    setenv("QUOR_AMSD_BIN", bin.c_str(), 1);
    setenv("TMPDIR", "/tmp", 1);
    dir_ = std::make_unique<TempDir>();
    a_ = std::make_unique<Amsd>(*dir_);
  }

  Amsd& a() { return *a_; }

  // The buffer held texts and was moved onto the card log at its path; a
  // later line follows them there, and every line is whole.
  void expect_moved_back(Conn& c, std::vector<std::string> texts) {
    ASSERT_TRUE(a().wait_err(MOVED, CARD_JOB_WAIT)) << a().err();
    EXPECT_EQ(count_of(a().err(), "moved to card"), 1);
    EXPECT_EQ(read_file(BUFFER), "");
    texts.push_back(mark(c, "later"));
    ASSERT_TRUE(a().wait_log(texts.back())) << a().service_log();
    static const std::regex whole(R"(\d{1,10} \d+ amsd \S.*)");
    std::size_t next = 0;
    for (const std::string& line : lines(a().service_log())) {
      EXPECT_TRUE(std::regex_match(line, whole) &&
                  count_of(line, " amsd ") == 1)
          << line;
      std::size_t tag = line.find(" amsd ");
      std::string text = tag == std::string::npos ? "" : line.substr(tag + 6);
      next += next < texts.size() && text == texts[next];
    }
    EXPECT_EQ(next, texts.size())
        << "missing on the card: " << texts[next] << "\n"
        << a().service_log();
  }

  static std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    for (std::size_t nl; (nl = text.find('\n', pos)) != std::string::npos;
         pos = nl + 1) {
      out.push_back(text.substr(pos, nl - pos));
    }
    if (pos < text.size()) {
      out.push_back(text.substr(pos) + " <no newline>");
    }
    return out;
  }

  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<Amsd> a_;
};

// App output line i as sent and as its capture file holds it.
std::string out_event(int i) {
  return "EV OUT demo 42 1000 " + std::to_string(i) + " out" +
         std::to_string(i) + " " + std::string(80, 'o') + "\n";
}
std::string out_line(int i) {
  return "[1000|up=" + std::to_string(i) + "] out" + std::to_string(i) + " " +
         std::string(80, 'o');
}

TEST_F(CardFaults, AFullCardBuffersTheLogAndCaptureKeepsWholeLines) {
  ASSERT_EQ(mount_card(a().card), 0) << std::strerror(errno);
  ASSERT_TRUE(a().start());
  Conn ev = a().connect();
  ev.send("EV LAUNCH demo main - 42 1000 1\n" + out_event(1));
  std::string capture = a().logs + "/demo/stdout_1000_42.log";
  ASSERT_TRUE(wait_until([&] { return read_file(capture) != ""; }));

  std::string filler = a().card + "/filler";
  int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  char block[4096] = {};
  while (write(fd, block, sizeof block) > 0) {
  }
  close(fd);
  // More than the last page of either file can take.
  std::vector<std::string> texts;
  for (int i = 2; i < 80; ++i) {
    ev.send(out_event(i));
    texts.push_back(
        mark(ev, "full" + std::to_string(i) + "-" + std::string(60, 'x')));
  }
  ASSERT_TRUE(wait_until([&] {
    return read_file(BUFFER).find(texts.back()) != std::string::npos;
  })) << a().service_log();
  EXPECT_NE(a().command("status").find("RUN demo fg "), std::string::npos);

  std::vector<std::string> kept = lines(read_file(capture));
  EXPECT_LT(kept.size(), 79u);
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i], out_line(static_cast<int>(i) + 1));
  }

  ASSERT_EQ(unlink(filler.c_str()), 0);
  expect_moved_back(ev, texts);
  // The capture session goes on once there is room.
  ev.send(out_event(100));
  EXPECT_TRUE(wait_until(
      [&] { return read_file(capture).ends_with(out_line(100) + "\n"); }));
}

// The mount is noticed at once, not at the next card job; the capture file
// opens again at its path on the card that came back.
TEST_F(CardFaults, APulledCardIsTakenBackAsSoonAsItIsMounted) {
  ASSERT_EQ(mount_card(a().card), 0) << std::strerror(errno);
  ASSERT_TRUE(a().start());
  Conn c = a().connect();
  c.send("EV LAUNCH demo main - 42 1000 1\n" + out_event(1));
  std::vector<std::string> texts = { mark(c, "before") };
  ASSERT_TRUE(a().wait_log(texts[0]));
  const std::string capture = a().logs + "/demo/stdout_1000_42.log";

  ASSERT_EQ(umount2(a().card.c_str(), MNT_DETACH), 0);
  for (const char* name : { "pulled1", "pulled2" }) {
    texts.push_back(mark(c, name));
  }
  const std::string gone =
      "stdout " + capture + " gone: output lost until the card is back";
  EXPECT_TRUE(wait_until([&] {
    std::string buffered = read_file(BUFFER);
    return buffered.find(texts.back()) != std::string::npos &&
           buffered.find(gone) != std::string::npos;
  })) << "lines logged after the card was pulled are not in "
      << BUFFER;
  c.send(out_event(2));  // nowhere to go
  // Handled in order: once the mark is in, so is the dropped line.
  const std::string after_out = mark(c, "after-out");
  ASSERT_TRUE(wait_until(
      [&] { return read_file(BUFFER).find(after_out) != std::string::npos; }));

  ASSERT_EQ(mount_card(a().card), 0) << std::strerror(errno);
  auto mounted = std::chrono::steady_clock::now();
  ASSERT_TRUE(a().wait_err(MOVED, std::chrono::seconds(20))) << a().err();
  EXPECT_LT(std::chrono::steady_clock::now() - mounted,
            std::chrono::seconds(10));
  expect_moved_back(c, { texts[1], texts[2], gone, after_out });
  ASSERT_TRUE(a().wait_log("stdout session reopen: demo (pid=42) -> " +
                           capture + ", 1 line(s) lost"))
      << a().service_log();
  c.send(out_event(3));
  EXPECT_TRUE(
      wait_until([&] { return read_file(capture) == out_line(3) + "\n"; }));
}

// A mount with a file open for writing cannot be made read-only, so the card
// is read-only before the daemon opens anything on it.
TEST_F(CardFaults, AReadOnlyCardBuffersUntilRemountedReadWrite) {
  ASSERT_EQ(mount_card(a().card), 0) << std::strerror(errno);
  ASSERT_EQ(remount_card(a().card, MS_RDONLY), 0) << std::strerror(errno);
  ASSERT_TRUE(a().start());
  EXPECT_NE(a().err().find(" log=/tmp/quor_ams.log\n"), std::string::npos);
  Conn ev = a().connect();
  ev.send("EV LAUNCH demo main - 42 1000 1\n");
  std::vector<std::string> texts = { mark(ev, "readonly") };
  ASSERT_TRUE(wait_until(
      [&] { return read_file(BUFFER).find(texts[0]) != std::string::npos; }));
  EXPECT_NE(read_file(BUFFER).find(" stdout open fail "), std::string::npos);

  ASSERT_EQ(remount_card(a().card, 0), 0) << std::strerror(errno);
  expect_moved_back(ev, texts);
}

}  // namespace
