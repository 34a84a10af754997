#include "amsd/registry/scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "amsd/registry/manifest.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::string_literals;

// A registry, an apps directory and a service log that lands in a file of
// the test's own.
class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp.path().empty());
    apps = tmp.file("apps");
    ASSERT_EQ(mkdir(apps.c_str(), 0755), 0);
    uptime = tmp.file("uptime");
    ASSERT_TRUE(write_file(uptime, "42.50 10.00\n"));
    log.uptime_path = uptime.c_str();
    buffer = tmp.file("buffer.log");
    log.buffer_path = buffer.c_str();
    log_path = tmp.file("service.log");
    log.card_log_fd =
        open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(log.card_log_fd, 0);
    log.card_log_open = 1;
  }
  void TearDown() override { close(log.card_log_fd); }

  void scan(bool verbose) { registry_scan(*reg, log, apps.c_str(), verbose); }

  // The texts logged since the last call, without their time prefix.
  std::vector<std::string> take_log() {
    std::string all = read_file(log_path);
    EXPECT_EQ(ftruncate(log.card_log_fd, 0), 0);
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < all.size()) {
      std::size_t nl = all.find('\n', pos);
      std::string line = all.substr(pos, nl - pos);
      pos = nl == std::string::npos ? all.size() : nl + 1;
      std::size_t amsd = line.find(" 42 amsd ");
      EXPECT_NE(amsd, std::string::npos) << line;
      lines.push_back(line.substr(amsd + 9));
    }
    return lines;
  }

  void add_app(const std::string& name, const std::string& manifest) {
    std::string dir = apps + "/" + name;
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
    if (!manifest.empty()) {
      ASSERT_TRUE(write_file(dir + "/app.json", manifest));
    }
  }

  // Entry names in the order reading the directory gives them.
  std::vector<std::string> dir_order() {
    std::vector<std::string> names;
    DIR* d = opendir(apps.c_str());
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') {
        names.push_back(e->d_name);
      }
    }
    closedir(d);
    return names;
  }

  std::string summary(int dirs, int app_count) {
    return "registry scan: " + std::to_string(dirs) + " dir(s) from " + apps +
           ", " + std::to_string(app_count) + " app(s) registered";
  }

  TempDir tmp;
  std::string apps, uptime, log_path, buffer;
  ServiceLog log;
  std::unique_ptr<Registry> reg = std::make_unique<Registry>();
};

using Lines = std::vector<std::string>;

TEST_F(ScanTest, DirectoryWithoutManifestGetsDefaults) {
  add_app("demo", "");
  scan(true);
  ASSERT_EQ(reg->app_count, 1);
  const AppRecord& a = reg->apps[0];
  EXPECT_STREQ(a.pkg, "demo");
  EXPECT_STREQ(a.name, "demo");
  EXPECT_EQ(std::string(a.exec), apps + "/demo/quor");
  EXPECT_EQ(a.known, 1);
  EXPECT_EQ(take_log(),
            (Lines{ summary(1, 1), "  app demo name=demo exec=" + apps +
                                       "/demo/quor known=1 routes=0" }));
}

TEST_F(ScanTest, ManifestFillsRecordAndDump) {
  add_app("demo", R"({
  "name": "Demo App",
  "exec": "/opt/demo/run",
  "route.main": "ui;audio",
  "route.set": "cfg",
  "picker.share": "send;done"
})");
  scan(true);
  ASSERT_EQ(reg->app_count, 1);
  EXPECT_STREQ(reg->apps[0].name, "Demo App");
  EXPECT_STREQ(reg->apps[0].exec, "/opt/demo/run");
  EXPECT_EQ(take_log(), (Lines{
                            summary(1, 1),
                            "  app demo name=Demo App exec=/opt/demo/run "
                            "known=1 routes=2",
                            "    route main=ui;audio",
                            "    route set=cfg",
                            "  picker share -> demo (chain=send;done)",
                        }));
}

TEST_F(ScanTest, SkipsFilesDanglingLinksAndDotEntries) {
  add_app("real", "");
  add_app(".hidden", "");
  ASSERT_TRUE(write_file(apps + "/plain-file", "x"));
  ASSERT_EQ(symlink("/nonexistent/target", (apps + "/dangling").c_str()), 0);
  ASSERT_EQ(mkdir(tmp.file("elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(symlink(tmp.file("elsewhere").c_str(), (apps + "/linked").c_str()),
            0);
  scan(false);
  EXPECT_EQ(reg->app_count, 2);
  EXPECT_NE(find_app(*reg, "real"), nullptr);
  ASSERT_NE(find_app(*reg, "linked"), nullptr);
  EXPECT_EQ(std::string(find_app(*reg, "linked")->exec), apps + "/linked/quor");
  EXPECT_EQ(take_log(), (Lines{ summary(2, 2) }));
}

TEST_F(ScanTest, UnreachableDirectoryIsLoggedUntilFirstSeen) {
  std::string missing = tmp.file("missing");
  auto scan_missing = [&](bool verbose) {
    registry_scan(*reg, log, missing.c_str(), verbose);
  };
  const std::string line = "registry scan: " + missing +
                           " not reachable (No such file or directory)";
  scan_missing(true);
  scan_missing(false);
  scan_missing(false);
  EXPECT_EQ(take_log(), (Lines{ line, line, line }));
  EXPECT_EQ(reg->apps_dir_seen, 0);
  EXPECT_EQ(reg->last_scan[0], -1);

  ASSERT_EQ(mkdir(missing.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((missing + "/demo").c_str(), 0755), 0);
  scan_missing(false);
  EXPECT_EQ(reg->apps_dir_seen, 1);
  take_log();

  // Once seen, only a verbose scan says so, and nothing changes.
  ASSERT_EQ(rmdir((missing + "/demo").c_str()), 0);
  ASSERT_EQ(rmdir(missing.c_str()), 0);
  scan_missing(false);
  EXPECT_EQ(take_log(), Lines{});
  scan_missing(true);
  EXPECT_EQ(take_log(), (Lines{ line }));
  EXPECT_EQ(reg->apps[0].known, 1);
  EXPECT_EQ(reg->last_scan[0], 1);
}

TEST_F(ScanTest, AppsPathThatIsAFileIsNotReachable) {
  std::string file = tmp.file("file");
  ASSERT_TRUE(write_file(file, "x"));
  registry_scan(*reg, log, file.c_str(), false);
  EXPECT_EQ(take_log(), (Lines{ "registry scan: " + file +
                                " not reachable (Not a directory)" }));
  EXPECT_EQ(reg->app_count, 0);
}

TEST_F(ScanTest, QuietScansLogOnlyChangedCounts) {
  scan(false);  // the first completed scan always reports
  EXPECT_EQ(take_log(), (Lines{ summary(0, 0) }));
  scan(false);
  EXPECT_EQ(take_log(), Lines{});
  add_app("demo", "");
  scan(false);
  EXPECT_EQ(take_log(), (Lines{ summary(1, 1) }));
  ASSERT_EQ(write_file(apps + "/demo/app.json", R"("picker.view": "v")"), true);
  scan(false);
  EXPECT_EQ(take_log(), (Lines{ summary(1, 1) }));
  scan(false);
  EXPECT_EQ(take_log(), Lines{});
}

TEST_F(ScanTest, FullCardSkipsNewDirectoriesUncounted) {
  for (int i = 0; i < MAX_APPS + 1; ++i) {
    add_app("app" + std::to_string(i), R"({"name": "N"})");
  }
  scan(false);
  EXPECT_EQ(reg->app_count, MAX_APPS);
  EXPECT_EQ(take_log(), (Lines{ summary(MAX_APPS, MAX_APPS) }));
  // The one left out is the last the directory returned.
  std::vector<std::string> order = dir_order();
  ASSERT_EQ(order.size(), 65u);
  EXPECT_EQ(find_app(*reg, order.back()), nullptr);
  for (int i = 0; i < MAX_APPS; ++i) {
    EXPECT_STREQ(reg->apps[i].pkg, order[i].c_str());
    EXPECT_STREQ(reg->apps[i].name, "N");
  }
  // Known apps are still refreshed once the table is full.
  ASSERT_TRUE(write_file(apps + "/" + order[0] + "/app.json", R"("name":"M")"));
  scan(false);
  EXPECT_EQ(reg->app_count, MAX_APPS);
  EXPECT_STREQ(reg->apps[0].name, "M");
  EXPECT_EQ(take_log(), Lines{});
}

TEST_F(ScanTest, NamesSharingThe31BytePrefixShareOneRecord) {
  const std::string prefix(31, 'p');
  add_app(prefix + "_one", R"({"name": "One", "exec": "/one"})");
  add_app(prefix + "_two", R"({"name": "Two"})");
  scan(false);
  scan(true);
  ASSERT_EQ(reg->app_count, 1);
  const AppRecord& a = reg->apps[0];
  EXPECT_EQ(std::string(a.pkg), prefix);
  std::vector<std::string> order = dir_order();
  bool two_last = order.back() == prefix + "_two";
  EXPECT_STREQ(a.name, two_last ? "Two" : "One");
  // An exec, once given, stays when the later manifest names none.
  EXPECT_STREQ(a.exec, "/one");
  EXPECT_EQ(reg->last_scan[0], 2);
}

TEST_F(ScanTest, LaterAppInDirectoryOrderHandlesASharedAction) {
  add_app("alpha", R"({"picker.share": "from-alpha"})");
  add_app("beta", R"({"picker.share": "from-beta"})");
  scan(false);
  ASSERT_EQ(reg->picker_count, 1);
  std::string last = dir_order().back();
  EXPECT_EQ(std::string(reg->pickers[0].handler), last);
  EXPECT_EQ(std::string(reg->pickers[0].chain), "from-" + last);
}

TEST_F(ScanTest, RescanKeepsRoutesAndRecordsButDropsPickers) {
  add_app("demo", R"({"route.old": "a;b", "picker.share": "s"})");
  add_app("gone", "");
  scan(false);
  take_log();
  AppRecord& demo = *find_app(*reg, "demo");
  demo.run_state = 1;
  demo.pid = 7;
  record_event(demo, "launch", "x", 1, 2);

  ASSERT_TRUE(write_file(apps + "/demo/app.json", R"({"route.new": "c"})"));
  ASSERT_EQ(rmdir((apps + "/gone").c_str()), 0);
  scan(true);
  EXPECT_EQ(demo.route_count, 2);
  EXPECT_STREQ(demo.routes[0].key, "old");
  EXPECT_STREQ(demo.routes[0].chain, "a;b");
  EXPECT_STREQ(demo.routes[1].key, "new");
  EXPECT_EQ(demo.pid, 7);
  EXPECT_EQ(demo.history_count, 1);
  EXPECT_EQ(reg->picker_count, 1);
  EXPECT_EQ(reg->pickers[0].active, 0);
  const AppRecord& gone = *find_app(*reg, "gone");
  EXPECT_EQ(gone.known, 0);
  EXPECT_EQ(std::string(gone.exec), apps + "/gone/quor");

  Lines lines = take_log();
  EXPECT_EQ(lines.front(), summary(1, 2));
  // The inactive picker is left out of the dump.
  for (const std::string& l : lines) {
    EXPECT_EQ(l.find("picker"), std::string::npos) << l;
  }
}

TEST_F(ScanTest, NameIsCutAtACharacterBoundary) {
  // 47 ASCII bytes, then a two-byte character across byte 48.
  std::string name = std::string(47, 'n') + "\xC3\xA9" + std::string(11, 'm');
  add_app("demo", "{\"name\": \"" + name + "\"}");
  scan(false);
  EXPECT_EQ(std::string(reg->apps[0].name), std::string(47, 'n'));
}

TEST_F(ScanTest, LauncherAddedRecordGetsTheDefaultExec) {
  find_or_add_app(*reg, "demo");
  add_app("demo", "");
  scan(false);
  ASSERT_EQ(reg->app_count, 1);
  EXPECT_EQ(std::string(reg->apps[0].exec), apps + "/demo/quor");
}

TEST_F(ScanTest, DefaultExecThatWouldBeCutIsNotStored) {
  apps = tmp.file(std::string(120, 'd'));
  ASSERT_EQ(mkdir(apps.c_str(), 0755), 0);
  add_app("demo", "");
  scan(false);
  ASSERT_EQ(reg->app_count, 1);
  EXPECT_STREQ(reg->apps[0].exec, "");
  EXPECT_EQ(reg->apps[0].known, 1);
}

TEST_F(ScanTest, OnlyTheHeadOfTheManifestIsRead) {
  const std::string entry = R"("name": "Late")";  // 14 bytes
  // The closing quote is the 2048th byte: just out of reach.
  add_app("late", "{" + std::string(MANIFEST_TEXT_MAX - 14, ' ') + entry);
  // The closing quote is the 2047th byte, the last one read.
  add_app("edge", "{" + std::string(MANIFEST_TEXT_MAX - 15, ' ') + entry);
  add_app("nul", "{\"x\": 1}\0{\"name\": \"Hidden\"}"s);
  scan(false);
  EXPECT_STREQ(find_app(*reg, "late")->name, "late");
  EXPECT_STREQ(find_app(*reg, "edge")->name, "Late");
  EXPECT_STREQ(find_app(*reg, "nul")->name, "nul");
}

TEST_F(ScanTest, ManifestThatIsNotAFileGivesDefaults) {
  add_app("fifo", "");
  ASSERT_EQ(mkfifo((apps + "/fifo/app.json").c_str(), 0644), 0);
  add_app("dir", "");
  ASSERT_EQ(mkdir((apps + "/dir/app.json").c_str(), 0755), 0);
  scan(false);  // returns at all: a FIFO must not block the daemon
  EXPECT_STREQ(find_app(*reg, "fifo")->name, "fifo");
  EXPECT_STREQ(find_app(*reg, "dir")->name, "dir");
}

}  // namespace
