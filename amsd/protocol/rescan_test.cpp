#include "amsd/protocol/rescan.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "amsd/registry/manifest.h"
#include "tests/support/protocol_fixture.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

class ScanTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  }

  void scan(bool verbose) {
    rescan_logged(reg(), d->log, dir.c_str(), verbose);
  }
  // The texts logged since the last call.
  Lines take_log() {
    Lines l = log_texts();
    clear_log();
    return l;
  }
  void add_app(const std::string& name, const std::string& manifest = "") {
    ASSERT_EQ(mkdir((dir + "/" + name).c_str(), 0755), 0) << name;
    if (!manifest.empty()) {
      ASSERT_TRUE(write_file(dir + "/" + name + "/app.json", manifest));
    }
  }
  // Of the entries a and b, the one that reading the directory gives later
  // ("" for a that is not there: the last entry of all).
  std::string later(const std::string& a = "", const std::string& b = "") {
    std::string last;
    DIR* listing = opendir(dir.c_str());
    while (struct dirent* e = readdir(listing)) {
      if (e->d_name[0] != '.' &&
          (a.empty() || e->d_name == a || e->d_name == b)) {
        last = e->d_name;
      }
    }
    closedir(listing);
    return last;
  }
  std::string summary(int dirs, int app_count) {
    return "registry scan: " + std::to_string(dirs) + " dir(s) from " + dir +
           ", " + std::to_string(app_count) + " app(s) registered";
  }
  AppRecord& app(const std::string& pkg) { return *find_app(reg(), pkg); }
  Registry& reg() { return d->registry; }

  std::string dir = apps;
};

// One verbose scan over entries of every kind; its dump shows what each
// became. Directory order is the file system's, so the dump is sorted.
TEST_F(ScanTest, RegistersEachDirectoryByTheRules) {
  add_app("plain");
  // A FIFO must not block the daemon, nor a directory break the scan.
  add_app("dir");
  ASSERT_EQ(mkdir((dir + "/dir/app.json").c_str(), 0755), 0);
  add_app("fifo");
  ASSERT_EQ(mkfifo((dir + "/fifo/app.json").c_str(), 0644), 0);
  // A record the launcher added has "?" for exec, which a scan replaces.
  find_or_add_app(reg(), "added");
  add_app("added");
  // Followed: a link to a directory. Skipped: dot entries, files, dangling
  // links.
  ASSERT_EQ(mkdir(tmp.file("elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(symlink(tmp.file("elsewhere").c_str(), (dir + "/linked").c_str()),
            0);
  add_app(".hidden");
  ASSERT_TRUE(write_file(dir + "/plain-file", "x"));
  ASSERT_EQ(symlink("/nonexistent/target", (dir + "/dangling").c_str()), 0);
  // Only the head of the manifest counts: up to a zero byte, and 2047
  // bytes, so the closing quote of "late" at byte 2048 is out of reach.
  add_app("nul", "{\"x\": 1}\0{\"name\": \"Hidden\"}"s);
  const std::string entry = R"("name": "Late")";  // 14 bytes
  add_app("late", "{" + std::string(MANIFEST_TEXT_MAX - 14, ' ') + entry);
  add_app("edge", "{" + std::string(MANIFEST_TEXT_MAX - 15, ' ') + entry);
  // 47 ASCII bytes, then a two-byte character across byte 48.
  add_app("utf", "{\"name\": \"" + std::string(47, 'n') + "\xC3\xA9mm\"}");
  add_app("full", R"({ "name": "Demo App", "exec": "/opt/demo/run",
                       "route.main": "ui;audio", "picker.share": "s;d" })");
  scan(true);
  Lines want = { summary(10, 10),
                 "  app full name=Demo App exec=/opt/demo/run known=1 routes=1",
                 "    route main=ui;audio",
                 "  picker share -> full (chain=s;d)" };
  const std::string cut(47, 'n');
  const std::pair<std::string, const char*> named[] = {
    { "plain", "plain" }, { "dir", "dir" },   { "fifo", "fifo" },
    { "added", "added" }, { "nul", "nul" },   { "linked", "linked" },
    { "late", "late" },   { "edge", "Late" }, { "utf", cut.c_str() },
  };
  for (const auto& [pkg, name] : named) {
    want.push_back("  app " + pkg + " name=" + name + " exec=" + dir + "/" +
                   pkg + "/quor known=1 routes=0");
  }
  Lines got = take_log();
  // The route line follows its app.
  auto full = std::find(got.begin(), got.end(), want[1]);
  ASSERT_LT(full + 1, got.end());
  EXPECT_EQ(full[1], want[2]);
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

TEST_F(ScanTest, UnreachableDirectoryIsLoggedUntilFirstSeen) {
  dir = tmp.file("missing");
  const std::string line =
      "registry scan: " + dir + " not reachable (No such file or directory)";
  scan(true);
  scan(false);
  scan(false);
  EXPECT_EQ(take_log(), (Lines{ line, line, line }));
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  add_app("demo");
  scan(false);
  EXPECT_EQ(take_log(), (Lines{ summary(1, 1) }));
  // Once seen, only a verbose scan says so, and nothing changes.
  ASSERT_EQ(rmdir((dir + "/demo").c_str()), 0);
  ASSERT_EQ(rmdir(dir.c_str()), 0);
  scan(false);
  EXPECT_EQ(take_log(), Lines{});
  scan(true);
  EXPECT_EQ(take_log(), (Lines{ line }));
  EXPECT_EQ(reg().apps[0].known, 1);
}

TEST_F(ScanTest, QuietScansLogOnlyChangedCounts) {
  scan(false);  // the first completed scan always reports
  EXPECT_EQ(take_log(), (Lines{ summary(0, 0) }));
  scan(false);
  EXPECT_EQ(take_log(), Lines{});
  add_app("demo");
  scan(false);
  EXPECT_EQ(take_log(), (Lines{ summary(1, 1) }));
  ASSERT_TRUE(write_file(dir + "/demo/app.json", R"("picker.view": "v")"));
  scan(false);
  EXPECT_EQ(take_log(), (Lines{ summary(1, 1) }));
  scan(false);
  EXPECT_EQ(take_log(), Lines{});
}

TEST_F(ScanTest, FullCardSkipsNewDirectoriesUncounted) {
  for (int i = 0; i < MAX_APPS + 1; ++i) {
    add_app("app" + std::to_string(i));
  }
  scan(false);
  EXPECT_EQ(take_log(), (Lines{ summary(MAX_APPS, MAX_APPS) }));
  // The one left out is the last the directory returned.
  EXPECT_EQ(find_app(reg(), later()), nullptr);
  // Known apps are still refreshed once the table is full.
  std::string first = reg().apps[0].pkg;
  ASSERT_TRUE(write_file(dir + "/" + first + "/app.json", R"("name":"M")"));
  scan(false);
  EXPECT_STREQ(app(first).name, "M");
  EXPECT_EQ(take_log(), Lines{});
}

// Directories whose names agree in their first 31 bytes share one record;
// of several manifests, and several apps declaring one picker action, the
// one read later wins.
TEST_F(ScanTest, LaterDirectoriesWin) {
  const std::string prefix(31, 'p');
  add_app(prefix + "_one", R"({"name": "one", "exec": "/one"})");
  add_app(prefix + "_two", R"({"name": "two"})");
  scan(false);
  scan(true);
  ASSERT_EQ(reg().app_count, 1);
  EXPECT_EQ(std::string(reg().apps[0].pkg), prefix);
  EXPECT_EQ(prefix + "_" + reg().apps[0].name,
            later(prefix + "_one", prefix + "_two"));
  // An exec, once given, stays when the later manifest names none.
  EXPECT_STREQ(reg().apps[0].exec, "/one");

  add_app("alpha", R"({"picker.share": "from-alpha"})");
  add_app("beta", R"({"picker.share": "from-beta"})");
  scan(false);
  ASSERT_EQ(reg().picker_count, 1);
  std::string last = later("alpha", "beta");
  EXPECT_EQ(std::string(reg().pickers[0].handler), last);
  EXPECT_EQ(std::string(reg().pickers[0].chain), "from-" + last);
}

TEST_F(ScanTest, RescanKeepsRoutesAndRecordsButDropsPickers) {
  add_app("demo", R"({"route.old": "a;b", "picker.share": "s"})");
  add_app("gone");
  scan(false);
  AppRecord& demo = app("demo");
  demo.pid = 7;
  record_event(demo, "launch", "x", 1, 2);
  ASSERT_TRUE(write_file(dir + "/demo/app.json", R"({"route.new": "c"})"));
  ASSERT_EQ(rmdir((dir + "/gone").c_str()), 0);
  take_log();
  scan(true);
  ASSERT_EQ(demo.route_count, 2);
  EXPECT_STREQ(demo.routes[0].key, "old");
  EXPECT_STREQ(demo.routes[0].chain, "a;b");
  EXPECT_STREQ(demo.routes[1].key, "new");
  EXPECT_EQ(demo.pid, 7);
  EXPECT_EQ(demo.history_count, 1);
  ASSERT_EQ(reg().picker_count, 1);
  EXPECT_EQ(reg().pickers[0].active, 0);
  EXPECT_EQ(app("gone").known, 0);
  Lines lines = take_log();
  EXPECT_EQ(lines.front(), summary(1, 2));
  // The inactive picker is left out of the dump.
  for (const std::string& l : lines) {
    EXPECT_EQ(l.find("picker"), std::string::npos) << l;
  }
}

TEST_F(ScanTest, DefaultExecKeepsTheDirectoryWhenQuorDoesNotFit) {
  dir = tmp.file(std::string(120, 'd'));
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  add_app("demo");
  scan(false);
  ASSERT_EQ(reg().app_count, 1);
  EXPECT_EQ(std::string(reg().apps[0].exec), (dir + "/demo").substr(0, 128));
  EXPECT_EQ(reg().apps[0].known, 1);
}
}  // namespace
