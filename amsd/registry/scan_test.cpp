#include "amsd/registry/scan.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "amsd/registry/manifest.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::string_literals;

class ScanTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(dir.c_str(), 0755), 0); }

  ScanResult scan() { return registry_scan(reg, dir.c_str()); }
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
  AppRecord& app(const std::string& pkg) {
    AppRecord* a = find_app(reg, pkg);
    EXPECT_NE(a, nullptr) << pkg;
    return a ? *a : reg.apps[0];
  }

  TempDir tmp;
  std::string dir = tmp.file("apps");
  std::unique_ptr<Registry> owned = std::make_unique<Registry>();
  Registry& reg = *owned;
};

// One scan over entries of every kind; each record shows what its entry
// became.
TEST_F(ScanTest, RegistersEachDirectoryByTheRules) {
  add_app("plain");
  // A FIFO must not block the daemon, nor a directory break the scan.
  add_app("dir");
  ASSERT_EQ(mkdir((dir + "/dir/app.json").c_str(), 0755), 0);
  add_app("fifo");
  ASSERT_EQ(mkfifo((dir + "/fifo/app.json").c_str(), 0644), 0);
  // A record the launcher added has "?" for exec, which a scan replaces.
  find_or_add_app(reg, "added");
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
  ScanResult r = scan();
  EXPECT_TRUE(r.reached);
  EXPECT_EQ(r.dirs, 10);
  ASSERT_EQ(reg.app_count, 10);

  const std::string cut(47, 'n');
  const std::pair<std::string, const char*> named[] = {
    { "plain", "plain" }, { "dir", "dir" },   { "fifo", "fifo" },
    { "added", "added" }, { "nul", "nul" },   { "linked", "linked" },
    { "late", "late" },   { "edge", "Late" }, { "utf", cut.c_str() },
  };
  for (const auto& [pkg, name] : named) {
    const AppRecord& a = app(pkg);
    EXPECT_STREQ(a.name, name) << pkg;
    EXPECT_EQ(a.exec, dir + "/" + pkg + "/quor");
    EXPECT_TRUE(a.known) << pkg;
    EXPECT_EQ(a.route_count, 0) << pkg;
  }
  const AppRecord& full = app("full");
  EXPECT_STREQ(full.name, "Demo App");
  EXPECT_STREQ(full.exec, "/opt/demo/run");
  ASSERT_EQ(full.route_count, 1);
  EXPECT_STREQ(full.routes[0].key, "main");
  EXPECT_STREQ(full.routes[0].chain, "ui;audio");
  ASSERT_EQ(reg.picker_count, 1);
  EXPECT_STREQ(reg.pickers[0].action, "share");
  EXPECT_STREQ(reg.pickers[0].handler, "full");
  EXPECT_STREQ(reg.pickers[0].chain, "s;d");
}

TEST_F(ScanTest, FullCardSkipsNewDirectoriesUncounted) {
  for (int i = 0; i < MAX_APPS + 1; ++i) {
    add_app("app" + std::to_string(i));
  }
  EXPECT_EQ(scan().dirs, MAX_APPS);
  EXPECT_EQ(reg.app_count, MAX_APPS);
  // The one left out is the last the directory returned.
  EXPECT_EQ(find_app(reg, later()), nullptr);
  // Known apps are still refreshed once the table is full.
  std::string first = reg.apps[0].pkg;
  ASSERT_TRUE(write_file(dir + "/" + first + "/app.json", R"("name":"M")"));
  EXPECT_FALSE(scan().changed);
  EXPECT_STREQ(app(first).name, "M");
}

// Directories whose names agree in their first 31 bytes share one record;
// of several manifests, and several apps declaring one picker action, the
// one read later wins.
TEST_F(ScanTest, LaterDirectoriesWin) {
  const std::string prefix(31, 'p');
  add_app(prefix + "_one", R"({"name": "one", "exec": "/one"})");
  add_app(prefix + "_two", R"({"name": "two"})");
  scan();
  scan();
  ASSERT_EQ(reg.app_count, 1);
  EXPECT_EQ(std::string(reg.apps[0].pkg), prefix);
  EXPECT_EQ(prefix + "_" + reg.apps[0].name,
            later(prefix + "_one", prefix + "_two"));
  // An exec, once given, stays when the later manifest names none.
  EXPECT_STREQ(reg.apps[0].exec, "/one");

  add_app("alpha", R"({"picker.share": "from-alpha"})");
  add_app("beta", R"({"picker.share": "from-beta"})");
  scan();
  ASSERT_EQ(reg.picker_count, 1);
  std::string last = later("alpha", "beta");
  EXPECT_EQ(std::string(reg.pickers[0].handler), last);
  EXPECT_EQ(std::string(reg.pickers[0].chain), "from-" + last);
}

TEST_F(ScanTest, RescanKeepsRoutesAndRecordsButDropsPickers) {
  add_app("demo", R"({"route.old": "a;b", "picker.share": "s"})");
  add_app("gone");
  scan();
  AppRecord& demo = app("demo");
  demo.pid = 7;
  record_event(demo, "launch", "x", 1, 2);
  ASSERT_TRUE(write_file(dir + "/demo/app.json", R"({"route.new": "c"})"));
  ASSERT_EQ(rmdir((dir + "/gone").c_str()), 0);
  EXPECT_EQ(scan().dirs, 1);
  ASSERT_EQ(demo.route_count, 2);
  EXPECT_STREQ(demo.routes[0].key, "old");
  EXPECT_STREQ(demo.routes[0].chain, "a;b");
  EXPECT_STREQ(demo.routes[1].key, "new");
  EXPECT_EQ(demo.pid, 7);
  EXPECT_EQ(demo.history_count, 1);
  ASSERT_EQ(reg.picker_count, 1);
  EXPECT_FALSE(reg.pickers[0].active);
  EXPECT_FALSE(app("gone").known);
  EXPECT_EQ(reg.app_count, 2);
}

TEST_F(ScanTest, DefaultExecKeepsTheDirectoryWhenQuorDoesNotFit) {
  dir = tmp.file(std::string(120, 'd'));
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  add_app("demo");
  scan();
  ASSERT_EQ(reg.app_count, 1);
  EXPECT_EQ(std::string(reg.apps[0].exec), (dir + "/demo").substr(0, 128));
  EXPECT_TRUE(reg.apps[0].known);
}
}  // namespace
