#include "tools/logs/card.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace {

std::string lines_from(int ts, int count, const std::string& text) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    out += std::to_string(ts + i) + " " + std::to_string(i) + " amsd " + text +
           "\n";
  }
  return out;
}

TEST(BootList, OldestFirstFromTheHeadAndTailOfEachLog) {
  TempDir dir;
  std::string logs = dir.path();
  // Named against their order: the first line's time decides.
  ASSERT_TRUE(write_file(dir.file("ams_b.log"),
                         lines_from(2000, 3, "x") + "2010 9 amsd shutdown\n"));
  ASSERT_TRUE(write_file(dir.file("ams_a.log"),
                         lines_from(3000, 2, "y") + "3005 7 amsd LAUNCH c"));
  std::string big = lines_from(1000, 4000, std::string(40, 'z'));
  ASSERT_TRUE(
      write_file(dir.file("ams_c.log"), big + "1000 1 amsd shutdown\n"));
  ASSERT_TRUE(write_file(dir.file("ams_x.txt"), "1 1 amsd not a log\n"));
  ASSERT_EQ(mkdir(dir.file("ams_d.log").c_str(), 0755), 0);

  static BootList list;
  ASSERT_EQ(boot_list_read(logs.c_str(), list), 0);
  ASSERT_EQ(list.count, 3);
  const BootInfo& c = list.boots[0];
  const BootInfo& b = list.boots[1];
  const BootInfo& a = list.boots[2];
  EXPECT_STREQ(c.stamp, "c");
  EXPECT_STREQ(b.stamp, "b");
  EXPECT_STREQ(a.stamp, "a");
  EXPECT_TRUE(b.clean);
  EXPECT_FALSE(a.clean);  // torn last line: the boot never said shutdown
  EXPECT_TRUE(c.clean);
  EXPECT_EQ(b.lines, 4);
  EXPECT_FALSE(b.lines_estimated);
  EXPECT_EQ(a.lines, 3);
  EXPECT_EQ(a.first_ts, 3000);
  EXPECT_EQ(a.last_ts, 3001);  // the last whole line's
  EXPECT_EQ(c.first_ts, 1000);
  EXPECT_EQ(c.last_ts, 1000);
  EXPECT_TRUE(c.lines_estimated);
  EXPECT_NEAR(static_cast<double>(c.lines), 4001.0, 4001 * 0.02);

  EXPECT_EQ(boot_position(list, 0), 2);
  EXPECT_EQ(boot_position(list, -2), 0);
  EXPECT_EQ(boot_position(list, 1), 0);
  EXPECT_EQ(boot_position(list, -3), -1);
  EXPECT_EQ(boot_position(list, 4), -1);
  EXPECT_EQ(boot_index(list, 0), -2);
}

TEST(CaptureList, OneEntryPerLaunchInLaunchOrder) {
  struct Name {
    const char* name;
    bool ok;
    long long ts;
    long long pid;
    bool old;
  } names[] = {
    { "stdout_1000_42.log", true, 1000, 42, false },
    { "stdout_1000_42.log.1", true, 1000, 42, true },
    { "stdout_-5_7.log", true, -5, 7, false },
    { "stdout_1000.log", false, 0, 0, false },
    { "stdout_1000_4x.log", false, 0, 0, false },
    { "stdout_1000_42.txt", false, 0, 0, false },
    { "ams_1000_42.log", false, 0, 0, false },
  };
  for (const Name& n : names) {
    CaptureFile f;
    bool old = false;
    ASSERT_EQ(parse_capture_name(n.name, f, old), n.ok) << n.name;
    if (n.ok) {
      EXPECT_EQ(f.ts, n.ts);
      EXPECT_EQ(f.pid, n.pid);
      EXPECT_EQ(old, n.old);
    }
  }
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("app").c_str(), 0755), 0);
  for (const char* f :
       { "stdout_2000_9.log", "stdout_1000_42.log.1", "stdout_1000_42.log",
         "stdout_1000_7.log.1", "stdout_30_5.log", "notes" }) {
    ASSERT_TRUE(write_file(dir.file(std::string("app/") + f), "x\n"));
  }
  static CaptureList list;
  ASSERT_EQ(capture_list_read(dir.path().c_str(), "app", list), 0);
  ASSERT_EQ(list.count, 4);
  EXPECT_EQ(list.files[0].ts, 30);
  EXPECT_EQ(list.files[1].pid, 7);
  EXPECT_TRUE(list.files[1].has_old);
  EXPECT_FALSE(list.files[1].has_log);
  EXPECT_EQ(list.files[2].pid, 42);
  EXPECT_TRUE(list.files[2].has_old && list.files[2].has_log);
  EXPECT_EQ(list.files[3].ts, 2000);
  EXPECT_EQ(capture_list_read(dir.path().c_str(), "none", list), 0);
  EXPECT_EQ(list.count, 0);
}

}  // namespace
