#include "amsd/protocol/rescan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/protocol_fixture.h"

namespace {

using Lines = std::vector<std::string>;

// What a scan logs; what it stores is the registry's to test.
class RescanLog : public ProtocolTest {
 protected:
  void scan(bool verbose) {
    rescan_logged(d->registry, d->log, dir.c_str(), verbose);
  }
  Lines take_log() {
    Lines l = log_texts();
    clear_log();
    return l;
  }
  void add_app(const std::string& name, const std::string& manifest) {
    ASSERT_EQ(mkdir((dir + "/" + name).c_str(), 0755), 0) << name;
    ASSERT_TRUE(write_file(dir + "/" + name + "/app.json", manifest));
  }
  std::string summary(int dirs, int app_count) {
    return "registry scan: " + std::to_string(dirs) + " dir(s) from " + dir +
           ", " + std::to_string(app_count) + " app(s) registered";
  }

  std::string dir = tmp.file("scanned");
};

TEST_F(RescanLog, VerboseScanDumpsTheActiveTables) {
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  add_app("full", R"({ "name": "Demo App", "exec": "/opt/demo/run",
                       "route.main": "ui;audio", "picker.share": "s;d" })");
  scan(true);
  const Lines dump = {
    summary(1, 1),
    "  app full name=Demo App exec=/opt/demo/run known=1 routes=1",
    "    route main=ui;audio", "  picker share -> full (chain=s;d)"
  };
  EXPECT_EQ(take_log(), dump);
  // A picker no longer declared is left out.
  ASSERT_TRUE(write_file(dir + "/full/app.json",
                         R"({ "name": "Demo App", "exec": "/opt/demo/run",
                              "route.main": "ui;audio" })"));
  scan(true);
  EXPECT_EQ(take_log(), (Lines{ dump[0], dump[1], dump[2] }));
}

TEST_F(RescanLog, QuietScansLogChangesAndAnUnreachableDirectoryUntilSeen) {
  const std::string gone =
      "registry scan: " + dir + " not reachable (No such file or directory)";
  scan(true);
  scan(false);
  EXPECT_EQ(take_log(), (Lines{ gone, gone }));
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  scan(false);
  scan(false);
  EXPECT_EQ(take_log(), (Lines{ summary(0, 0) }));
  add_app("demo", "{}");
  scan(false);
  EXPECT_EQ(take_log(), (Lines{ summary(1, 1) }));
  ASSERT_TRUE(write_file(dir + "/demo/app.json", R"("picker.view": "v")"));
  scan(false);  // one picker more
  EXPECT_EQ(take_log(), (Lines{ summary(1, 1) }));
  // Once seen, only a verbose scan says the directory is away.
  ASSERT_EQ(unlink((dir + "/demo/app.json").c_str()), 0);
  ASSERT_EQ(rmdir((dir + "/demo").c_str()), 0);
  ASSERT_EQ(rmdir(dir.c_str()), 0);
  scan(false);
  EXPECT_EQ(take_log(), Lines{});
  scan(true);
  EXPECT_EQ(take_log(), (Lines{ gone }));
  // A directory that cannot be read changes nothing.
  EXPECT_TRUE(d->registry.apps[0].known);
}
}  // namespace
