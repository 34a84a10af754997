// Start, kill and picker requests, run whole: the daemon against a scripted
// launcher that answers as told, and against the stand-in launcher that
// really runs the apps and reports them back.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/fake_peers.h"
#include "tests/e2e/harness.h"
#include "tests/support/hex.h"
#include "tests/support/sleeper.h"

namespace {

using namespace e2e;

constexpr int kWaitMs = 20000;
constexpr auto npos = std::string::npos;

std::string binary(const char* env, const char* built) {
  const char* v = std::getenv(env);
  return v && *v ? v : built;
}

bool can_connect(const std::string& path) {
  Conn c(path);
  return c.ok();
}

std::string text_of(const char* slot, std::size_t n) {
  return std::string(slot, strnlen(slot, n));
}

template <std::size_t N>
std::string text_of(const char (&slot)[N]) {
  return text_of(slot, N);
}

// All capture files of one app, concatenated.
std::string captured(const Amsd& a, const std::string& pkg) {
  std::string all;
  std::string dir = a.logs + "/" + pkg;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* de = readdir(d)) {
      if (de->d_name[0] != '.') {
        all += read_file(dir + "/" + de->d_name);
      }
    }
    closedir(d);
  }
  return all;
}

// A child of the test that sleeps until a signal ends it.
class Sleeper {
 public:
  Sleeper() : pid_(spawn_sleeper()) {}
  ~Sleeper() {
    if (pid_ > 0 && !reaped_) {
      reap(pid_, Millis(0));  // kills it when it still runs
    }
  }
  pid_t pid() const { return pid_; }
  // The signal that ended it, or 0 when it still runs at the deadline (it is
  // then killed).
  int end_signal() {
    int st = reap(pid_, kDeadline);
    reaped_ = true;
    return st >= 0 && WIFSIGNALED(st) ? WTERMSIG(st) : 0;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

class StartKillE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    make_app(a.apps, "demo");
    make_app(a.apps, "gallery", "{ \"picker.share\": \"pick;view\" }");
  }

  // Starts the daemon with the scripted launcher at its IPC socket.
  void start_scripted() {
    launcher = std::make_unique<fake::FakeLauncher>(a.ipc_sock);
    ASSERT_TRUE(launcher->ok());
    ASSERT_TRUE(a.start());
    peer = std::make_unique<Conn>(a.sock);
    ASSERT_TRUE(peer->ok());
  }

  // An event line on the kept peer connection, taken once its log line
  // shows.
  void report(const std::string& line, const std::string& logged) {
    ASSERT_TRUE(peer->send(line + "\n"));
    ASSERT_TRUE(a.wait_log(logged)) << line;
  }

  std::string last_log() const {
    std::vector<std::string> all = a.log_texts();
    return all.empty() ? "" : all.back();
  }

  TempDir dir;
  Amsd a{ dir };
  std::unique_ptr<fake::FakeLauncher> launcher;
  std::unique_ptr<Conn> peer;
};

TEST_F(StartKillE2e, StartOverAScriptedLauncher) {
  start_scripted();
  EXPECT_EQ(a.command("start demo/Main extra"), "OK demo/Main\n");
  ASSERT_EQ(launcher->frame_count(), 1u);
  fake::RecordedFrame f = launcher->frames()[0];
  EXPECT_EQ(f.header.kind, MSG_START);
  EXPECT_EQ(f.header.length, 160u);
  EXPECT_EQ(text_of(f.start().pkg), "demo");
  EXPECT_EQ(text_of(f.start().activity), "Main");
  EXPECT_EQ(f.start().from_picker, 0u);
  EXPECT_EQ(last_log(), "AMS start demo/Main forwarded to launcher");

  struct Case {
    const char* name;
    std::vector<fake::FakeReply> replies;
    std::size_t frames;
    const char* log;
  };
  const Case cases[] = {
    { "busy",
      { fake::FakeReply::result(8) },
      1,
      "AMS start demo -> BUSY (app running)" },
    { "refused",
      { fake::FakeReply::result(5) },
      1,
      "AMS start demo -> launcher offline" },
    { "error frame",
      { fake::FakeReply::error() },
      1,
      "AMS start demo -> launcher offline" },
    { "garbage",
      { fake::FakeReply::raw(
            fake::frame_bytes(REPLY_RESULT, 4, { 0, 0, 0, 0 }, IPC_MAGIC, 2)),
        fake::FakeReply::raw(fake::frame_bytes(4, 4, { 0, 0, 0, 0 })) },
      2,
      "AMS start demo -> launcher offline" },
    { "closed early",
      { fake::FakeReply::cut(10), fake::FakeReply::cut(0) },
      2,
      "AMS start demo -> launcher offline" },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const fake::FakeReply& r : c.replies) {
      launcher->push(r);
    }
    std::size_t frames = launcher->frame_count();
    EXPECT_EQ(a.command("start demo"), "ERR demo/(default)\n");
    EXPECT_EQ(launcher->frame_count(), frames + c.frames);
    EXPECT_EQ(last_log(), c.log);
  }
  // Only the accepted start is in the history.
  std::string history = a.command("history demo");
  EXPECT_EQ(count_of(history, " ams_start demo intent (forwarded)\n"), 1)
      << history;
  EXPECT_EQ(a.command("start nosuch/Main"), "ERR pkg not registered: nosuch\n");
}

TEST_F(StartKillE2e, SilentLauncherHoldsTheDaemonForTwoAttemptsOnly) {
  start_scripted();
  report("EV LAUNCH demo Main - 4242", "LAUNCH demo Main  pid=4242");
  launcher->push(fake::FakeReply::silent());
  launcher->push(fake::FakeReply::silent());
  auto t0 = std::chrono::steady_clock::now();
  auto start = std::async(std::launch::async,
                          [this] { return a.command("start demo"); });
  // Another client comes while the daemon waits for the launcher; it is
  // answered once the start has given up.
  ASSERT_TRUE(launcher->wait_frames(1, kWaitMs));
  Conn other = a.connect();
  ASSERT_TRUE(other.ok());
  ASSERT_TRUE(other.send("list\n"));
  EXPECT_EQ(start.get(), "ERR demo/(default)\n");
  auto took =
      std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - t0)
          .count();
  // Two receive time-outs of 1.2 s and the pause between them.
  EXPECT_GE(took, 2400);
  EXPECT_LT(took, 10000);
  EXPECT_EQ(launcher->frame_count(), 2u);
  std::string list = other.read_all();
  EXPECT_TRUE(list.starts_with("# amd register+state\n")) << list;
  EXPECT_NE(list.find("APP demo demo fg 4242 1 0 clean 0\n"), npos) << list;
  EXPECT_EQ(last_log(), "AMS start demo -> launcher offline");
  // The kept event connection still works.
  report("EV EXIT demo exit 0", "EXIT demo exit=0 dur=0 abnormal=0");
  EXPECT_TRUE(peer->open_and_quiet());
}

TEST_F(StartKillE2e, KillOverAScriptedLauncherAndWithoutOne) {
  start_scripted();
  EXPECT_EQ(a.command("kill demo"), "ERR not running: demo\n");
  EXPECT_EQ(a.command("kill nosuch"), "ERR pkg not registered: nosuch\n");
  EXPECT_EQ(launcher->frame_count(), 0u);

  Sleeper app;
  ASSERT_GT(app.pid(), 0);
  report("EV LAUNCH demo Main - " + std::to_string(app.pid()),
         "LAUNCH demo Main  pid=" + std::to_string(app.pid()));
  launcher->push(fake::FakeReply::result(7));
  EXPECT_EQ(a.command("kill demo"), "ERR launcher refused: demo (code=7)\n");
  EXPECT_EQ(last_log(), "AMS kill demo -> launcher refused code=7");
  EXPECT_EQ(a.command("kill demo"), "OK terminate demo\n");
  ASSERT_EQ(launcher->frame_count(), 2u);
  fake::RecordedFrame f = launcher->frames()[1];
  EXPECT_EQ(f.header.kind, MSG_KILL);
  EXPECT_EQ(f.header.length, 32u);
  EXPECT_EQ(text_of(f.kill().pkg), "demo");
  EXPECT_EQ(last_log(), "AMS kill demo -> terminate");

  // No launcher: the daemon ends the recorded process itself.
  launcher.reset();
  EXPECT_EQ(a.command("kill demo"), "OK terminate demo\n");
  EXPECT_EQ(app.end_signal(), SIGTERM);
  std::vector<std::string> log = a.log_texts();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2],
            "AMS kill demo -> direct SIGTERM (launcher offline)");
  EXPECT_EQ(log.back(), "AMS kill demo -> terminate");
  std::string history = a.command("history demo");
  EXPECT_EQ(count_of(history, " ams_kill demo terminate (via launcher)\n"), 2)
      << history;
  // Run state waits for the exit report.
  EXPECT_NE(a.command("status").find("RUN demo fg "), npos);
}

TEST_F(StartKillE2e, FallbackNeverSignalsTheDaemonItself) {
  // Init is left to the unit tests: a broken guard here would signal the
  // machine's own init.
  ASSERT_TRUE(a.start());
  peer = std::make_unique<Conn>(a.sock);
  std::string self = std::to_string(a.process().pid());
  report("EV LAUNCH demo Main - " + self, "LAUNCH demo Main  pid=" + self);
  EXPECT_EQ(a.command("kill demo"), "ERR launcher offline\n");
  EXPECT_EQ(last_log(), "AMS kill demo -> launcher offline");
  EXPECT_TRUE(a.process().running());
  EXPECT_EQ(a.command("history demo").find("ams_kill"), std::string::npos);
}

TEST_F(StartKillE2e, PickerOverAScriptedLauncher) {
  start_scripted();
  EXPECT_EQ(a.command("picker share"), "OK pending 1 gallery\n");
  ASSERT_EQ(launcher->frame_count(), 1u);
  StartRequest r = launcher->frames()[0].start();
  EXPECT_EQ(text_of(r.pkg), "gallery");
  EXPECT_EQ(text_of(r.activity), "pick;view");
  EXPECT_EQ(load_le32(&r.from_picker), 1u);
  EXPECT_EQ(load_le32(&r.req), 1u);
  EXPECT_EQ(text_of(r.action), "share");
  EXPECT_EQ(text_of(r.caller), "");

  EXPECT_EQ(a.command("picker nosuch"),
            "ERR no picker handler for action: nosuch\n");
  launcher->push(fake::FakeReply::result(4));
  EXPECT_EQ(a.command("picker share"),
            "ERR launcher refused: gallery (code=4)\n");
  launcher->push(fake::FakeReply::error());
  EXPECT_EQ(a.command("picker share"), "ERR launcher offline\n");

  report("PICKER_CALL camera 50 share",
         "AMS picker share -> gallery (req=50, caller=camera)");
  report("PICKER_RESULT 50 share 0 " + hex("picked"),
         "picker result: req=50 action=share code=0 value=picked");
  EXPECT_EQ(a.command("picker-status"),
            "# amd picker status\n"
            "PICK 1 share gallery -1 pending\n"
            "PICK 3 share gallery -1 pending\n"
            "PICK 50 share gallery 0 picked\n");
  EXPECT_EQ(a.command("picker-status 4"), "# amd picker status\n(none)\n");
  EXPECT_NE(a.command("history gallery")
                .find(" picker_result gallery req=50 caller=camera act=share "
                      "code=0 val=picked\n"),
            std::string::npos);
}

// The daemon together with the stand-in launcher, which runs real apps.
class StandInRoundTrip : public StartKillE2e {
 protected:
  void start_both() {
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(launcher_proc.spawn(
        { binary("QUOR_LAUNCHER_BIN", QUOR_LAUNCHER_BIN), "--ipc-sock",
          a.ipc_sock, "--sock", a.sock, "--apps", a.apps },
        { "QUOR_CTL_BIN=" + binary("QUOR_CTL_BIN", QUOR_CTL_BIN) },
        dir.file("launcher.out"), dir.file("launcher.err"), dir.path()));
    ASSERT_TRUE(wait_until([&] { return can_connect(a.ipc_sock); }))
        << read_file(dir.file("launcher.err"));
  }
  void TearDown() override { launcher_proc.terminate(); }

  bool wait_reply(const std::string& line, const std::string& part) {
    return wait_until(
        [&] { return a.command(line).find(part) != std::string::npos; });
  }

  void add_script(const std::string& pkg, const std::string& script) {
    ASSERT_TRUE(write_file(a.apps + "/" + pkg + "/quor", script));
    ASSERT_EQ(chmod((a.apps + "/" + pkg + "/quor").c_str(), 0755), 0);
  }

  Process launcher_proc;
};

TEST_F(StandInRoundTrip, StartRunKillStop) {
  add_script("demo", "#!/bin/sh\necho \"hello $1\"\nexec sleep 60\n");
  start_both();
  EXPECT_EQ(a.command("start demo/Main"), "OK demo/Main\n");
  ASSERT_TRUE(wait_reply("status", "RUN demo fg "))
      << read_file(dir.file("launcher.err"));
  std::string status = a.command("status");
  EXPECT_TRUE(status.ends_with(" Main\n")) << status;
  ASSERT_TRUE(wait_until([&] {
    return captured(a, "demo").find("] hello Main\n") != npos;
  })) << captured(a, "demo");
  EXPECT_EQ(a.command("start demo"), "ERR demo/(default)\n");
  EXPECT_EQ(last_log(), "AMS start demo -> BUSY (app running)");

  EXPECT_EQ(a.command("kill demo"), "OK terminate demo\n");
  ASSERT_TRUE(wait_reply("list", "APP demo demo stop 0 1 1 sig 15\n"))
      << a.command("list");
  EXPECT_EQ(a.command("status"),
            "# amd status (running apps)\n(none running)\n");
  EXPECT_EQ(a.command("kill demo"), "ERR not running: demo\n");
  std::string history = a.command("history demo");
  for (const char* kind : { " ams_start demo ", " launch demo act=Main ",
                            " ams_kill demo ", " crash demo sig=15 " }) {
    EXPECT_EQ(count_of(history, kind), 1) << kind << "\n" << history;
  }
}

TEST_F(StandInRoundTrip, PickerHandlerAnswersThroughTheControlSocket) {
  add_script("gallery",
             "#!/bin/sh\n"
             "echo \"req=$QUOR_PICKER_REQ action=$QUOR_PICKER_ACTION"
             " caller=$QUOR_PICKER_CALLER arg=$1\"\n"
             "exec \"$QUOR_CTL_BIN\" PICKER_RESULT \"$QUOR_PICKER_REQ\""
             " \"$QUOR_PICKER_ACTION\" 0 " +
                 hex("picked") + "\n");
  start_both();
  EXPECT_EQ(a.command("picker share"), "OK pending 1 gallery\n");
  ASSERT_TRUE(wait_reply("picker-status 1", "PICK 1 share gallery 0 "))
      << read_file(dir.file("launcher.err"));
  ASSERT_TRUE(wait_reply("list", "APP gallery gallery stop 0 1 0 clean 0\n"));

  // A peer's request names its caller, which the handler is told.
  Conn camera = a.connect();
  ASSERT_TRUE(camera.send("PICKER_CALL camera 50 share\n"));
  ASSERT_TRUE(wait_reply("picker-status 50", "PICK 50 share gallery 0 "))
      << a.command("picker-status");
  std::string out = captured(a, "gallery");
  EXPECT_NE(out.find("] req=1 action=share caller= arg=pick;view\n"), npos)
      << out;
  EXPECT_NE(out.find("] req=50 action=share caller=camera arg=pick;view\n"),
            npos)
      << out;
  // The answered request gave its slot to the new one.
  EXPECT_EQ(a.command("picker-status"),
            "# amd picker status\nPICK 50 share gallery 0 picked\n");
  std::string history = a.command("history gallery");
  EXPECT_EQ(count_of(history, " picker_result gallery "), 2) << history;
  EXPECT_NE(history.find(" picker_result gallery req=50 caller=camera "
                         "act=share code=0 val=picked\n"),
            npos)
      << history;
}

}  // namespace
