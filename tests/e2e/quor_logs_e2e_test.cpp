// quor_logs run whole: following an app from launch to launch and a boot's
// log across a card pull, against files written as the daemon writes them;
// then reading what the real daemon and launcher left on a card.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;

constexpr auto npos = std::string::npos;
constexpr char BUFFER[] = "/tmp/quor_ams.log";

void append(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  close(fd);
}

// The value of key in a JSON line of quor_logs: a string without its
// quotes (the tests' texts hold no escapes), or a number.
std::string field(const std::string& line, const std::string& key) {
  std::size_t at = line.find("\"" + key + "\":");
  if (at == npos) {
    return "";
  }
  at += key.size() + 3;
  if (line[at] == '"') {
    return line.substr(at + 1, line.find('"', at + 1) - at - 1);
  }
  return line.substr(at, line.find_first_of(",}", at) - at);
}

// Each JSON line's text, with its pid for captured output and a mark for
// lines not yet on the card.
std::vector<std::string> texts(const std::string& json) {
  std::vector<std::string> out;
  for (const std::string& line : lines_of(json)) {
    std::string t = field(line, "text");
    if (!field(line, "pid").empty()) {
      t += " [" + field(line, "pid") + "]";
    }
    if (field(line, "pending") == "true") {
      t += " (tmp)";
    }
    out.push_back(t);
  }
  return out;
}

// A card in a scratch directory and quor_logs run on it.
class QuorLogsE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    card = dir.file("card");
    logs = card + "/QuorOS/logs";
    ASSERT_EQ(system(("mkdir -p " + logs + "/app").c_str()), 0);
  }
  void TearDown() override { logs_proc.terminate(); }

  static std::string binary() { return built("QUOR_LOGS_BIN", QUOR_LOGS_BIN); }

  Exit run(const std::vector<std::string>& args,
           const std::vector<std::string>& env = {}) {
    return run_program(binary(), args, dir, env);
  }

  void follow(const std::vector<std::string>& args,
              const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = program(binary());
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(logs_proc.spawn(argv, env, dir.file("follow.out"),
                                dir.file("follow.err"), dir.path()));
  }

  std::string followed() const { return read_file(dir.file("follow.out")); }

  bool wait_followed(const std::string& text) {
    return wait_until([&] { return followed().find(text) != npos; });
  }

  TempDir dir;
  std::string card;
  std::string logs;
  Process logs_proc;
};

TEST_F(QuorLogsE2e, FollowsAnAppAcrossRotationAndRelaunch) {
  std::string cap1 = logs + "/app/stdout_100_1.log";
  std::string cap2 = logs + "/app/stdout_110_2.log";
  std::string boot = logs + "/ams_b.log";
  append(cap1, "[100|up=1] one\n");
  append(boot,
         "100 1 amsd LAUNCH app   pid=1\n100 1 amsd stdout session "
         "open: app (pid=1) -> " +
             cap1 + "\n");
  follow({ "--card", card, "--app", "app", "-f", "--json" });
  ASSERT_TRUE(wait_followed("\"one\"")) << read_file(dir.file("follow.err"));

  append(cap1, "[101|up=2] two\n");
  ASSERT_TRUE(wait_followed("\"two\""));
  // Rotation: the file moves to ".1" and a new one takes its name.
  append(cap1, "[102|up=3] three\n");
  ASSERT_EQ(rename(cap1.c_str(), (cap1 + ".1").c_str()), 0);
  append(cap1, "[103|up=4] four\n");
  ASSERT_TRUE(wait_followed("\"four\""));
  // Relaunch: a new capture file, announced in the log.
  append(cap2, "[111|up=6] five\n");
  append(boot,
         "110 5 amsd EXIT app exit=0 dur=10000 abnormal=0\n"
         "110 5 amsd LAUNCH app   pid=2\n110 5 amsd stdout session "
         "open: app (pid=2) -> " +
             cap2 + "\n");
  ASSERT_TRUE(wait_followed("\"five\""));
  append(cap2, "[112|up=7] six\n");
  ASSERT_TRUE(wait_followed("\"six\""));
  EXPECT_EQ(logs_proc.terminate(), 0);
  const std::vector<std::string> want = {
    "LAUNCH app   pid=1",
    "stdout session open: app (pid=1) -> " + cap1,
    "one [1]",
    "two [1]",
    "three [1]",
    "four [1]",
    "EXIT app exit=0 dur=10000 abnormal=0",
    "LAUNCH app   pid=2",
    "stdout session open: app (pid=2) -> " + cap2,
    "five [2]",
    "six [2]",
  };
  EXPECT_EQ(texts(followed()), want) << followed();
}

// On the device: the card log, the /tmp buffer while the card is away, and
// the card again once the buffer is moved onto it, each line once.
TEST_F(QuorLogsE2e, FollowsTheBootOntoTheTmpBufferAndBack) {
  SavedFile saved(BUFFER);
  std::string boot = logs + "/ams_b.log";
  append(boot, "100 1 amsd a\n");
  follow({ "-f", "--json" }, { "QUOR_AMSD_CARD=" + card });
  ASSERT_TRUE(wait_followed("\"a\"")) << read_file(dir.file("follow.err"));
  append(boot, "101 2 amsd b\n");
  ASSERT_TRUE(wait_followed("\"b\""));
  // Pulled: "b" never reached the card, and goes to the buffer again.
  ASSERT_EQ(rename(boot.c_str(), (boot + ".gone").c_str()), 0);
  append(BUFFER, "101 2 amsd b\n102 3 amsd c\n");
  ASSERT_TRUE(wait_followed("\"c\""));
  append(BUFFER, "103 4 amsd d\n");
  ASSERT_TRUE(wait_followed("\"d\""));
  // Back: the buffer is moved onto the card, then deleted.
  append(boot, "100 1 amsd a\n" + read_file(BUFFER));
  ASSERT_EQ(unlink(BUFFER), 0);
  append(boot, "104 5 amsd e\n");
  ASSERT_TRUE(wait_followed("\"e\""));
  EXPECT_EQ(logs_proc.terminate(), 0);
  const std::vector<std::string> want = { "a", "b", "c (tmp)", "d (tmp)", "e" };
  EXPECT_EQ(texts(followed()), want) << followed();
}

// The real daemon and launcher: an app run twice, each launch's output
// under its own pid, merged with the daemon's lines; the boot ends clean.
TEST_F(QuorLogsE2e, ReadsWhatTheDaemonAndLauncherWrote) {
  Amsd a(dir);
  make_app(a.apps, "talk");
  ASSERT_TRUE(write_file(a.apps + "/talk/quor",
                         "#!/bin/sh\necho \"hello $1\"\necho bye\n"));
  ASSERT_EQ(chmod((a.apps + "/talk/quor").c_str(), 0755), 0);
  ASSERT_TRUE(a.start());
  Process launcher;
  std::vector<std::string> argv =
      program(built("QUOR_LAUNCHER_BIN", QUOR_LAUNCHER_BIN));
  argv.insert(argv.end(),
              { "--ipc-sock", a.ipc_sock, "--sock", a.sock, "--apps", a.apps });
  ASSERT_TRUE(launcher.spawn(argv, {}, dir.file("launcher.out"),
                             dir.file("launcher.err"), dir.path()));
  ASSERT_TRUE(wait_until([&] { return Conn(a.ipc_sock).ok(); }));
  for (int launch = 1; launch <= 2; ++launch) {
    // A second apart, so that time order puts the launches apart too.
    std::time_t started = std::time(nullptr);
    ASSERT_EQ(a.command("start talk/x"), "OK talk/x\n");
    ASSERT_TRUE(wait_until([&] {
      std::string list = a.command("list");
      return list.find("APP talk talk stop 0 " + std::to_string(launch)) !=
             npos;
    })) << a.command("list");
    ASSERT_TRUE(wait_until([&] { return std::time(nullptr) > started; }));
  }
  launcher.terminate();
  ASSERT_EQ(a.stop(), 0);

  Exit e = run({ "--card", a.card, "--list-boots", "--json" });
  ASSERT_EQ(e.status, 0) << e.err;
  std::vector<std::string> boots = lines_of(e.out);
  ASSERT_EQ(boots.size(), 1u);
  EXPECT_EQ(boots[0].find("{\"index\":0,\"stamp\":"), 0u) << boots[0];
  EXPECT_NE(boots[0].find(",\"clean\":true}"), npos) << boots[0];

  e = run({ "--card", a.card, "--app", "talk", "--json" });
  ASSERT_EQ(e.status, 0) << e.err;
  std::string pid;
  std::vector<std::string> seen;
  for (const std::string& line : lines_of(e.out)) {
    std::string text = field(line, "text");
    if (text.starts_with("LAUNCH talk ")) {
      pid = text.substr(text.find(" pid=") + 5);
      seen.push_back("launch");
    } else if (field(line, "source") == "stdout") {
      EXPECT_EQ(field(line, "pid"), pid) << line;
      seen.push_back(text);
    }
  }
  const std::vector<std::string> want = { "launch", "hello x", "bye",
                                          "launch", "hello x", "bye" };
  EXPECT_EQ(seen, want) << e.out;

  EXPECT_EQ(run({ "--card", dir.file("nothing") }).status, 1);
  EXPECT_EQ(run({ "--card", a.card, "--boot", "-1" }).status, 1);
  EXPECT_EQ(run({ "--card", a.card, "--since", "yesterday" }).status, 2);
}

}  // namespace
