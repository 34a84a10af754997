#include "amsd/log/retention.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

constexpr std::int64_t GIB = LOG_RETENTION_LIMIT;

struct CardLogs {
  TempDir dir;
  std::string logs = dir.file("QuorOS/logs");
  int card_log_fd = -1;  // the card log in use

  CardLogs() {
    mkdir(dir.file("QuorOS").c_str(), 0755);
    mkdir(logs.c_str(), 0755);
  }
  // A sparse file of the given size and modification time.
  void add(const std::string& name, std::int64_t size, time_t mtime) {
    std::string p = logs + "/" + name;
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << p;
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    struct timespec t[2] = { { mtime, 0 }, { mtime, 0 } };
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), t, 0), 0);
  }
  bool has(const std::string& name) const {
    return access((logs + "/" + name).c_str(), F_OK) == 0;
  }
  int cleanup() {
    testing::internal::CaptureStderr();
    int n = log_cleanup(dir.path().c_str(), card_log_fd);
    console = testing::internal::GetCapturedStderr();
    return n;
  }
  std::string console;
};

TEST(LogRetention, LeavesExactlyOneGiBAloneAndDeletesTheOldestBeyondIt) {
  CardLogs c;
  c.add("ams_a.log", GIB / 2, 1000);
  c.add("ams_b.log", GIB / 2, 2000);
  EXPECT_EQ(c.cleanup(), 0);
  EXPECT_EQ(c.console, "");
  c.add("stdout_x.log", 1, 3000);
  EXPECT_EQ(c.cleanup(), 1);
  EXPECT_EQ(c.console, "[quor_amsd] log_cleanup deleted 1 old log(s)\n");
  EXPECT_FALSE(c.has("ams_a.log"));
  EXPECT_TRUE(c.has("ams_b.log"));
  EXPECT_TRUE(c.has("stdout_x.log"));
}

TEST(LogRetention, DeletesOnlyAsManyOldFilesAsNeeded) {
  CardLogs c;
  c.add("ams_3.log", GIB / 4, 3000);
  c.add("ams_1.log", GIB / 4, 1000);
  c.add("stdout_1_2.log.1", GIB / 4, 2000);
  c.add("ams_4.log", GIB / 4, 4000);
  c.add("ams_5.log", GIB / 4 + 10, 5000);
  c.add("ams_6.log", GIB / 4, 6000);
  EXPECT_EQ(c.cleanup(), 3);
  EXPECT_FALSE(c.has("ams_1.log"));
  EXPECT_FALSE(c.has("stdout_1_2.log.1"));
  EXPECT_FALSE(c.has("ams_3.log"));
  EXPECT_TRUE(c.has("ams_4.log"));
  EXPECT_TRUE(c.has("ams_5.log"));
  EXPECT_TRUE(c.has("ams_6.log"));
}

TEST(LogRetention, IgnoresOtherNamesAndEverythingInSubdirectories) {
  CardLogs c;
  c.add("other.log", GIB, 100);
  c.add("xams_1.log", GIB, 100);
  mkdir((c.logs + "/stdout_dir").c_str(), 0755);
  mkdir((c.logs + "/demo").c_str(), 0755);
  c.add("demo/stdout_1_1.log", GIB, 100);
  c.add("stdout_dir/ams_x.log", GIB, 100);
  c.add("ams_new.log", GIB / 2, 5000);
  EXPECT_EQ(c.cleanup(), 0);
  EXPECT_TRUE(c.has("other.log"));
  EXPECT_TRUE(c.has("xams_1.log"));
  EXPECT_TRUE(c.has("demo/stdout_1_1.log"));
  EXPECT_TRUE(c.has("stdout_dir/ams_x.log"));
}

TEST(LogRetention, NeverDeletesTheCardLogInUse) {
  CardLogs c;
  c.add("ams_old.log", GIB / 2, 1000);
  c.add("ams_current.log", GIB, 5000);
  c.card_log_fd = open((c.logs + "/ams_current.log").c_str(), O_WRONLY);
  ASSERT_GE(c.card_log_fd, 0);
  EXPECT_EQ(c.cleanup(), 1);
  EXPECT_FALSE(c.has("ams_old.log"));
  EXPECT_TRUE(c.has("ams_current.log"));
  close(c.card_log_fd);
}

TEST(LogRetention, NeverDeletesThroughANameCutToFit) {
  CardLogs c;
  std::string long_name = "ams_" + std::string(120, 'L') + ".log";
  c.add(long_name, GIB + 1, 1000);
  // What the name cut to 95 bytes points at: no candidate itself (a link
  // to a directory), so only a delete through the cut name could remove it.
  std::string cut = c.logs + "/" + long_name.substr(0, 95);
  mkdir((c.logs + "/sub").c_str(), 0755);
  ASSERT_EQ(symlink("sub", cut.c_str()), 0);
  EXPECT_EQ(c.cleanup(), 0);
  struct stat st;
  EXPECT_EQ(lstat(cut.c_str(), &st), 0);
  EXPECT_TRUE(c.has(long_name));
}

TEST(LogRetention, MissingDirectoryDoesNothing) {
  TempDir dir;
  EXPECT_EQ(log_cleanup(dir.path().c_str(), -1), 0);
  std::string root(600, 'r');
  EXPECT_EQ(log_cleanup(root.c_str(), -1), 0);
}

TEST(LogRetention, SortsOldestFirstByExchange) {
  LogFileEntry e[5] = {};
  const std::int64_t times[] = { 50, 10, 50, 30, 10 };
  for (int i = 0; i < 5; ++i) {
    e[i].mtime = times[i];
    e[i].size = i;  // remembers the directory position
  }
  sort_oldest_first(e, 5);
  std::vector<std::int64_t> order;
  for (const LogFileEntry& x : e) {
    order.push_back(x.mtime * 10 + x.size);
  }
  // The exchange order moves entries of equal time past each other.
  EXPECT_EQ(order, (std::vector<std::int64_t>{ 101, 104, 303, 500, 502 }));
}

}  // namespace
