// The app registry as clients see it: apps scanned from a card of real
// directories and manifests, through the daemon's real socket.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;

bool has_line(const std::vector<std::string>& lines, const std::string& l) {
  return std::find(lines.begin(), lines.end(), l) != lines.end();
}

TEST(AmsdRegistry, StartUpScanRegistersTheCardAndLogsTheDump) {
  TempDir dir;
  Amsd a(dir);
  make_app(a.apps, "demo",
           R"({ "name": "Demo App", "exec": "/bin/demo",
                "route.main": "a;b;c", "route.empty": "",
                "picker.pick": "demo/Main" })");
  make_app(a.apps, "plain");
  make_app(a.apps, ".hidden");
  write_file(a.apps + "/notadir", "x");
  ASSERT_TRUE(a.start());
  std::string list = a.command("list");
  EXPECT_NE(list.find("# amd register+state\n"), std::string::npos);
  EXPECT_NE(list.find("APP demo Demo App stop 0 0 0 clean 0\n"),
            std::string::npos)
      << list;
  EXPECT_NE(list.find("APP plain plain stop 0 0 0 clean 0\n"),
            std::string::npos);
  EXPECT_EQ(list.find("hidden"), std::string::npos);
  EXPECT_EQ(list.find("notadir"), std::string::npos);

  std::vector<std::string> log = a.log_texts();
  EXPECT_TRUE(has_line(
      log, "registry scan: 2 dir(s) from " + a.apps + ", 2 app(s) registered"));
  EXPECT_TRUE(has_line(log,
                       "  app demo name=Demo App exec=/bin/demo "
                       "known=1 routes=2"));
  EXPECT_TRUE(has_line(log, "    route main=a;b;c"));
  EXPECT_TRUE(has_line(log, "    route empty="));
  EXPECT_TRUE(has_line(log, "  app plain name=plain exec=" + a.apps +
                                "/plain/quor known=1 routes=0"));
  EXPECT_TRUE(has_line(log, "  picker pick -> demo (chain=demo/Main)"));
}

TEST(AmsdRegistry, ResolveAndHistoryViews) {
  TempDir dir;
  Amsd a(dir);
  make_app(a.apps, "demo", R"({"route.main":"a;b;c","route.empty":""})");
  make_app(a.apps, "plain");
  ASSERT_TRUE(a.start());
  struct Case {
    const char* line;
    std::string reply;
  };
  // The replies' every byte is pinned by the dispatcher's unit tests; here
  // only that the real daemon's views see the scanned card.
  const Case cases[] = {
    { "resolve demo main", "CHAIN demo main 3 a;b;c\n" },
    { "resolve demo empty", "CHAIN demo empty 0 \n" },
    { "resolve demo other", "ERR resolve demo/other failed (-2)\n" },
    { "resolve plain anything x", "CHAIN plain anything 1 anything\n" },
    { "history demo", "# amd history demo\n" },
    { "history nosuch", "# amd history nosuch\n(no such app nosuch)\n" },
  };
  for (const Case& c : cases) {
    EXPECT_EQ(a.command(c.line), c.reply) << c.line;
  }
}

TEST(AmsdRegistry, RescanPicksUpChangesAndKeepsGoneApps) {
  TempDir dir;
  Amsd a(dir);
  make_app(a.apps, "one", R"({"route.home":"x","picker.view":"v"})");
  ASSERT_TRUE(a.start());
  make_app(a.apps, "two", R"({"name":"Second"})");
  write_file(a.apps + "/one/app.json", R"({"name":"First"})");
  EXPECT_EQ(a.command("rescan"), "OK rescan 2 app(s)\n");
  std::string list = a.command("list");
  EXPECT_NE(list.find("APP one First stop"), std::string::npos);
  EXPECT_NE(list.find("APP two Second stop"), std::string::npos);
  // The route stays after the manifest stopped naming it.
  EXPECT_EQ(a.command("resolve one home"), "CHAIN one home 1 x\n");
  // A removed app stays registered.
  unlink((a.apps + "/two/app.json").c_str());
  rmdir((a.apps + "/two").c_str());
  EXPECT_EQ(a.command("rescan"), "OK rescan 2 app(s)\n");
  EXPECT_TRUE(has_line(a.log_texts(), "  app two name=Second exec=" + a.apps +
                                          "/two/quor known=0 "
                                          "routes=0"));
}

TEST(AmsdRegistry, SixtyFourAppsFillTheTableAndTheListIsCut) {
  TempDir dir;
  Amsd a(dir);
  for (int i = 0; i < 66; ++i) {
    char pkg[32];
    snprintf(pkg, sizeof pkg, "app%02d", i);
    make_app(a.apps, pkg);
  }
  ASSERT_TRUE(a.start());
  EXPECT_EQ(a.command("rescan"), "OK rescan 64 app(s)\n");
  std::string list = a.command("list");
  EXPECT_EQ(list.size(), 511u);
  EXPECT_TRUE(list.starts_with("# amd register+state\nAPP app"));
}

TEST(AmsdRegistry, DirectoriesSharingA31BytePrefixShareOneRecord) {
  TempDir dir;
  Amsd a(dir);
  std::string prefix(31, 'p');
  make_app(a.apps, prefix + "A", R"({"name":"A"})");
  make_app(a.apps, prefix + "B", R"({"name":"B"})");
  ASSERT_TRUE(a.start());
  EXPECT_EQ(a.command("rescan"), "OK rescan 1 app(s)\n");
  EXPECT_EQ(a.command("rescan"), "OK rescan 1 app(s)\n");
  std::string list = a.command("list");
  EXPECT_EQ(count_of(list, "APP " + prefix + " "), 1) << list;
}

TEST(AmsdRegistry, MissingAppsDirectoryIsRetriedEvery3SecondsUntilSeen) {
  TempDir dir;
  Amsd a(dir);
  rmdir(a.apps.c_str());
  ASSERT_TRUE(a.start());
  std::string line =
      "registry scan: " + a.apps + " not reachable (No such file or directory)";
  // The start-up scan, then quiet rescans about every 3 seconds.
  EXPECT_TRUE(wait_until(
      [&] {
        std::vector<std::string> l = a.log_texts();
        return std::count(l.begin(), l.end(), line) >= 3;
      },
      30s));
  mkdir(a.apps.c_str(), 0755);
  make_app(a.apps, "late");
  EXPECT_TRUE(wait_until(
      [&] { return a.command("list").find("APP late ") != std::string::npos; },
      30s));
  // Seen once: a quiet rescan no longer reports it gone.
  rmdir((a.apps + "/late").c_str());
  rmdir(a.apps.c_str());
  std::vector<std::string> before = a.log_texts();
  EXPECT_EQ(a.command("rescan"), "OK rescan 1 app(s)\n");
  std::vector<std::string> after = a.log_texts();
  EXPECT_EQ(std::count(after.begin(), after.end(), line),
            std::count(before.begin(), before.end(), line) + 1);
}

TEST(AmsdRegistry, ForeignManifestsNeverHurtTheDaemon) {
  TempDir dir;
  Amsd a(dir);
  std::string junk;
  for (int i = 0; i < 5000; ++i) {
    junk += static_cast<char>((i * 7919 + 13) % 256);
  }
  make_app(a.apps, "junk", junk);
  make_app(a.apps, "quotes", "\"name\": \"unterminated\n\"route.");
  make_app(a.apps, "big", std::string(100000, '{') + "\"name\":\"x\"");
  make_app(a.apps, "fifo");
  ASSERT_EQ(mkfifo((a.apps + "/fifo/app.json").c_str(), 0644), 0);
  symlink("/nonexistent", (a.apps + "/dangling").c_str());
  ASSERT_TRUE(a.start());
  EXPECT_EQ(a.command("rescan"), "OK rescan 4 app(s)\n");
  EXPECT_NE(a.command("list").find("APP big big stop"), std::string::npos);
  EXPECT_EQ(a.command("status"),
            "# amd status (running apps)\n(none running)\n");
}

}  // namespace
