// quor_amsd start-up, options, shutdown and the connection framing, run as
// the real program against scratch directories.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;

const std::string USAGE =
    "usage: " + Amsd::binary() +
    " [--sock <p>] [--ipc-sock <p>] [--apps <dir>] [--card <p>] "
    "[--crash-sock <p>]\n";

bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

std::string unknown(const std::string& word) {
  return "ERR unknown cmd: " + word + "\n";
}

// CPU time (user + system, in clock ticks) the process has used.
long cpu_ticks(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), {});
  std::size_t p = s.rfind(')');
  if (p == std::string::npos) {
    return -1;
  }
  std::vector<std::string> fields;
  std::size_t i = p + 2;
  while (i < s.size()) {
    std::size_t sp = s.find(' ', i);
    fields.push_back(s.substr(i, sp - i));
    if (sp == std::string::npos) {
      break;
    }
    i = sp + 1;
  }
  // utime and stime are fields 14 and 15 of the line, 12 and 13 here.
  return std::stol(fields.at(11)) + std::stol(fields.at(12));
}

TEST(AmsdOptions, HelpAndBadOptionsStopBeforeAnythingElse) {
  TempDir dir;
  Amsd a(dir);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const Case cases[] = {
    { { "-h" }, 0, USAGE },
    { { "--help" }, 0, USAGE },
    { { "--sock", a.sock, "word", "-h", "--bogus" }, 0, USAGE },
    { { "-hx" }, 2, "bad option -hx\n" },
    { { "--sock=x" }, 2, "bad option --sock=x\n" },
    { { "--bogus", "-h" }, 2, "bad option --bogus\n" },
    { { "--apps", a.apps, "--sock" }, 2, "bad option --sock\n" },
    { { "--crash-sock" }, 2, "bad option --crash-sock\n" },
  };
  for (const Case& c : cases) {
    Exit e = a.run(c.args);
    EXPECT_EQ(e.status, c.status) << c.args[0];
    EXPECT_EQ(e.err, c.err) << c.args[0];
  }
  EXPECT_FALSE(exists(a.sock));
}

TEST(AmsdOptions, StartUpLineShowsTheConfiguration) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  std::string err = a.err();
  std::string want = "[quor_amsd] up: sock=" + a.sock + " ipc=" + a.ipc_sock +
                     " apps=" + a.apps + " card=" + a.card + " bootts=";
  ASSERT_EQ(err.substr(0, want.size()), want);
  EXPECT_NE(err.find(" log=card\n"), std::string::npos) << err;
  struct stat st;
  ASSERT_EQ(stat(a.sock.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  EXPECT_EQ(a.stop(), 0);
  EXPECT_NE(a.err().find("\n[quor_amsd] shutdown\n"), std::string::npos);
  EXPECT_FALSE(exists(a.sock));
}

TEST(AmsdOptions, LaterOptionsWinAndTheEnvironmentWinsOverBoth) {
  TempDir dir;
  Amsd a(dir);
  std::string x = dir.file("x.sock"), y = dir.file("y.sock");
  ASSERT_TRUE(a.start({ "--sock", x, "plainword", "--sock", y }));
  EXPECT_NE(a.err().find("sock=" + y + " "), std::string::npos);
  EXPECT_EQ(unix_command(y, "hi"), unknown("hi"));
  EXPECT_EQ(a.stop(), 0);

  std::string e = dir.file("env.sock");
  ASSERT_TRUE(a.start(
      {}, { "QUOR_AMS_SOCK=" + e, "QUOR_IPC_SOCK=/i", "QUOR_AMSD_APPS=/ap",
            "QUOR_AMSD_CARD=" + a.card, "QUOR_CRASH_SOCK=/c" }));
  EXPECT_NE(a.err().find("sock=" + e + " ipc=/i apps=/ap card=" + a.card),
            std::string::npos)
      << a.err();
  EXPECT_EQ(unix_command(e, "hi"), unknown("hi"));
  EXPECT_EQ(a.stop(), 0);

  // Set but empty: the option stands.
  ASSERT_TRUE(a.start({}, { "QUOR_AMS_SOCK=" }));
  EXPECT_EQ(a.command("hi"), unknown("hi"));
  EXPECT_EQ(a.stop(), 0);
}

TEST(AmsdOptions, AValueMayBeginWithADash) {
  TempDir dir;
  Amsd a(dir);
  // "-h" after "--sock" is the socket path, relative to the working dir.
  std::vector<std::string> args = a.path_options();
  args.push_back("--sock");
  args.push_back("-h");
  Process& p = a.process();
  std::vector<std::string> argv = program(Amsd::binary());
  argv.insert(argv.end(), args.begin(), args.end());
  ASSERT_TRUE(
      p.spawn(argv, {}, dir.file("o"), dir.file("amsd.err"), dir.path()));
  ASSERT_TRUE(a.wait_err("up: sock=-h "));
  EXPECT_EQ(unix_command(dir.file("-h"), "hi"), unknown("hi"));
  EXPECT_EQ(a.stop(), 0);
  EXPECT_FALSE(exists(dir.file("-h")));
}

TEST(AmsdOptions, OverlongSocketPathIsCutTo107Bytes) {
  TempDir dir;
  Amsd a(dir);
  std::string full = dir.path() + "/" + std::string(200, 's');
  std::string cut = full.substr(0, 107);
  ASSERT_TRUE(a.start({ "--sock", full }));
  EXPECT_NE(a.err().find("sock=" + cut + " "), std::string::npos);
  EXPECT_EQ(unix_command(cut, "hi"), unknown("hi"));
  EXPECT_EQ(a.stop(), 0);
  EXPECT_FALSE(exists(cut));
}

TEST(AmsdOptions, BindFailureExitsWithStatus1) {
  TempDir dir;
  Amsd a(dir);
  std::string bad = dir.file("no/such/dir/s.sock");
  Exit e = a.run({ "--sock", bad, "--card", a.card, "--apps", a.apps });
  EXPECT_EQ(e.status, 1);
  EXPECT_TRUE(e.err.starts_with("[quor_amsd] bind " + bad + ": ")) << e.err;
  EXPECT_EQ(e.err.find("up:"), std::string::npos);
}

TEST(AmsdLifecycle, SignalsEndTheDaemonInOrderAtAnyPoint) {
  TempDir dir;
  Amsd a(dir);
  // As soon as the socket exists the handler is installed; a signal from
  // then on, whether start-up has finished or not, ends in an orderly exit.
  for (int sig : { SIGTERM, SIGINT }) {
    Process& p = a.process();
    std::vector<std::string> argv = program(Amsd::binary());
    std::vector<std::string> opts = a.path_options();
    argv.insert(argv.end(), opts.begin(), opts.end());
    ASSERT_TRUE(
        p.spawn(argv, {}, dir.file("o"), dir.file("amsd.err"), dir.path()));
    ASSERT_TRUE(wait_until([&] { return exists(a.sock); }, DEADLINE));
    kill(p.pid(), sig);
    EXPECT_EQ(p.wait_exit(), 0);
    std::string err = a.err();
    EXPECT_NE(err.find("[quor_amsd] up: "), std::string::npos);
    EXPECT_NE(err.find("[quor_amsd] shutdown\n"), std::string::npos);
    EXPECT_FALSE(exists(a.sock));
  }
}

TEST(AmsdFraming, ReplyThenCloseWithOrWithoutANewline) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  {
    Conn c = a.connect();  // keeps its side open
    c.send("hello\n");
    EXPECT_EQ(c.read_all(), unknown("hello"));
    EXPECT_TRUE(c.closed_by_peer());
  }
  {
    Conn c = a.connect();  // no newline: the end of input ends the line
    c.send("hello");
    c.shutdown_write();
    EXPECT_EQ(c.read_all(), unknown("hello"));
  }
  {
    Conn c = a.connect();
    c.send("\n\n\r\none\n\n\ntwo\r\n\n");
    EXPECT_EQ(c.read_all(), unknown("one") + unknown("two"));
  }
  {
    Conn c = a.connect();  // a later command finds the connection closed
    c.send("first\n");
    EXPECT_EQ(c.read_all(), unknown("first"));
    c.send("second\n");
    EXPECT_EQ(c.read_all(1s), "");
  }
}

TEST(AmsdFraming, ALineSplitAcrossReadsIsDispatchedOnce) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  Conn c = a.connect();
  c.send("hel");
  // A round trip on another connection lets the daemon read the first half.
  EXPECT_EQ(a.command("sync"), unknown("sync"));
  EXPECT_TRUE(c.open_and_quiet());
  c.send("lo\n");
  EXPECT_EQ(c.read_all(), unknown("hello"));
}

TEST(AmsdFraming, EventLinesGetNoReplyAndKeepTheConnectionOpen) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  Conn c = a.connect();
  c.send("EV FOO\nEV \nDECLARE x\nPICKER_FOO a b c\n");
  EXPECT_EQ(a.command("sync"), unknown("sync"));
  EXPECT_TRUE(c.open_and_quiet());
  c.send("EV BAR\n");
  EXPECT_EQ(a.command("sync"), unknown("sync"));
  EXPECT_TRUE(c.open_and_quiet());
  // Words that only look like event lines are commands.
  c.send("EV\nDECLARE\n");
  EXPECT_EQ(c.read_all(), unknown("EV") + unknown("DECLARE"));
}

TEST(AmsdFraming, RepliesOfOneReadShareOneBufferOf511Bytes) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  std::string many;
  std::string want;
  for (int i = 0; i < 40; ++i) {
    std::string w = "word" + std::to_string(i);
    many += w + "\n";
    want += unknown(w);
  }
  Conn c = a.connect();
  c.send(many);
  std::string got = c.read_all();
  EXPECT_EQ(got, want.substr(0, 511));
}

TEST(AmsdFraming, ThirtyThirdConnectionIsClosedAtOnce) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  std::vector<Conn> held;
  for (int i = 0; i < 32; ++i) {
    held.push_back(a.connect());
    // Reporters: never put out for a newcomer, however long they stay.
    held.back().send("EV EXIT none exit 0\n");
  }
  // Each holder is in a slot once the daemon has served a command after it.
  EXPECT_TRUE(wait_until([&] {
    Conn probe = a.connect();
    probe.send("probe\n");
    return probe.read_all(2s).empty();
  }));
  Conn extra = a.connect();
  EXPECT_TRUE(extra.closed_by_peer());
  for (Conn& c : held) {
    EXPECT_TRUE(c.open_and_quiet());
  }
  held[5].send("five\n");
  EXPECT_EQ(held[5].read_all(), unknown("five"));
  EXPECT_EQ(a.command("again"), unknown("again"));
}

TEST(AmsdFraming, AFullLineBufferNeitherSpinsNorBlocksOthers) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  Conn c = a.connect();
  // 100 KiB without a newline: 2047 bytes are held, the rest stays unread.
  c.send(std::string(2047, 'a'));
  std::string more(100 * 1024, 'b');
  ASSERT_EQ(fcntl(c.fd(), F_SETFL, O_NONBLOCK), 0);
  write(c.fd(), more.data(), more.size());  // as much as the socket takes
  EXPECT_EQ(a.command("other"), unknown("other"));
  long before = cpu_ticks(a.process().pid());
  std::this_thread::sleep_for(1s);  // measures spinning, not a sync
  long used = cpu_ticks(a.process().pid()) - before;
  EXPECT_LT(used, 30) << "the loop spins on a full connection";
  EXPECT_EQ(a.command("still"), unknown("still"));
  ASSERT_EQ(fcntl(c.fd(), F_SETFL, 0), 0);
  c.shutdown_write();
  // The held bytes run as one line; the reply is cut at 511 bytes.
  std::string want = unknown(std::string(2047, 'a')).substr(0, 511);
  EXPECT_EQ(c.read_all(), want);
}

TEST(AmsdFraming, GarbageNeverHurtsTheDaemon) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  std::string junk;
  for (int i = 0; i < 4096; ++i) {
    junk += static_cast<char>((i * 131 + 7) % 256);
  }
  for (int round = 0; round < 3; ++round) {
    Conn c = a.connect();
    c.send(junk);
    c.shutdown_write();
    c.read_all(5s);
  }
  {
    Conn c = a.connect();  // a NUL inside a line ends the line's text
    c.send(std::string("abc\0def\n", 8));
    EXPECT_EQ(c.read_all(), unknown("abc"));
  }
  {
    Conn c = a.connect();  // a line that starts with NUL is empty
    c.send(std::string("\0xyz", 4));
    c.shutdown_write();
    EXPECT_EQ(c.read_all(), "");
  }
  {
    Conn c = a.connect();  // closed without a word
    c.send("   \n");
    c.shutdown_write();
    EXPECT_EQ(c.read_all(), "");
  }
  EXPECT_EQ(a.command("alive"), unknown("alive"));
  EXPECT_EQ(a.stop(), 0);
}

TEST(AmsdLogs, CardLogOpensAtStartUpAndRetentionRunsBeforeTheLoop) {
  TempDir dir;
  Amsd a(dir);
  mkdir(a.logs.c_str(), 0755);
  // Two sparse old logs over the limit: the older one goes at start-up.
  for (auto [name, mtime] : { std::pair{ "ams_old.log", 1000 },
                              std::pair{ "stdout_1_2.log", 2000 } }) {
    std::string p = a.logs + "/" + name;
    int fd = open(p.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, 600L * 1024 * 1024), 0);
    close(fd);
    struct timespec t[2] = { { mtime, 0 }, { mtime, 0 } };
    utimensat(AT_FDCWD, p.c_str(), t, 0);
  }
  ASSERT_TRUE(a.start());
  EXPECT_NE(a.err().find("[quor_amsd] log_cleanup deleted 1 old log(s)\n"
                         "[quor_amsd] up: "),
            std::string::npos)
      << a.err();
  EXPECT_FALSE(exists(a.logs + "/ams_old.log"));
  EXPECT_TRUE(exists(a.logs + "/stdout_1_2.log"));
  // The card log of this boot was opened first and is never pruned.
  int card_logs = 0;
  if (DIR* d = opendir(a.logs.c_str())) {
    while (struct dirent* de = readdir(d)) {
      card_logs += std::string(de->d_name).starts_with("ams_");
    }
    closedir(d);
  }
  EXPECT_EQ(card_logs, 1);
}

}  // namespace
