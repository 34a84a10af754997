#include "amsd/log/clock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>

#include "tests/support/temp_dir.h"

namespace {

std::string local_stamp(time_t t) {
  struct tm tmv;
  localtime_r(&t, &tmv);
  char buf[BOOT_STAMP_SIZE];
  strftime(buf, sizeof buf, "%Y%m%d_%H%M%S", &tmv);
  return buf;
}

// The computed stamp of a call made between before and after.
bool computed_between(const char* stamp, time_t before, time_t after) {
  for (time_t t = before - 1; t <= after; ++t) {
    if (local_stamp(t) == stamp) {
      return true;
    }
  }
  return false;
}

struct StampCase {
  const char* file;  // nullptr: no file
  const char* want;  // nullptr: the computed form
};

TEST(BootStamp, TakesTheFileByteForByteElseComputesIt) {
  const StampCase cases[] = {
    { "quor_20250314_093005", "20250314_093005" },
    { "20250314_093005", "20250314_093005" },
    { "20250314_093005\n", "20250314_093005\n" },
    { "quor_quor_x", "quor_x" },
    { "quor_", nullptr },
    { "", nullptr },
    { nullptr, nullptr },
    // A stamp that names a path would put the card log elsewhere.
    { "quor_../x", nullptr },
    { "/etc", nullptr },
  };
  for (const StampCase& c : cases) {
    TempDir dir;
    std::string bootts = dir.file("bootts");
    if (c.file) {
      ASSERT_TRUE(write_file(bootts, c.file));
    }
    ASSERT_TRUE(write_file(dir.file("uptime"), "0.5 1.0\n"));
    char out[BOOT_STAMP_SIZE];
    time_t before = time(nullptr);
    make_boot_stamp(out, bootts.c_str(), dir.file("uptime").c_str(),
                    dir.file("no-stat").c_str());
    if (c.want) {
      EXPECT_STREQ(out, c.want) << c.file;
      continue;
    }
    // Computed with an uptime of 0: the local time of the call.
    EXPECT_TRUE(computed_between(out, before, time(nullptr))) << out;
  }
}

TEST(BootStamp, AFifoAtThePathDoesNotStallTheStart) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("bootts").c_str(), 0644), 0);
  char out[BOOT_STAMP_SIZE];
  time_t before = time(nullptr);
  make_boot_stamp(out, dir.file("bootts").c_str(), dir.file("none").c_str(),
                  dir.file("none").c_str());
  EXPECT_TRUE(computed_between(out, before, time(nullptr))) << out;
}

TEST(BootStamp, ReadsOnlyTheFirst63Bytes) {
  TempDir dir;
  std::string long_stamp(100, 'x');
  ASSERT_TRUE(write_file(dir.file("bootts"), long_stamp));
  char out[BOOT_STAMP_SIZE];
  make_boot_stamp(out, dir.file("bootts").c_str(), dir.file("none").c_str());
  EXPECT_EQ(std::string(out), std::string(63, 'x'));
}

TEST(BootStamp, SubtractsTheUptimeFromTheWallClock) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("uptime"), "86400.00 1.0\n"));
  char out[BOOT_STAMP_SIZE];
  time_t before = time(nullptr);
  make_boot_stamp(out, dir.file("none").c_str(), dir.file("uptime").c_str(),
                  dir.file("none").c_str());
  EXPECT_TRUE(computed_between(out, before - 86400, time(nullptr) - 86400))
      << out;
}

TEST(BootStamp, TheKernelsBootTimeGivesEveryStartTheSameStamp) {
  TempDir dir;
  std::string stat = dir.file("stat");
  // The interrupt line is long on real machines: the key sits behind it.
  std::string intr = "intr " + std::string(5000, '7') + "\n";
  const std::pair<std::string, std::int64_t> cases[] = {
    { "cpu 1 2\n" + intr + "btime 1700000000\nprocs 3\n", 1700000000 },
    { "btime 42", 42 },
    { "xbtime 42\nbtime_ 5\n", -1 },
    { "btime x\n", -1 },
    { "", -1 },
  };
  for (const auto& [text, want] : cases) {
    ASSERT_TRUE(write_file(stat, text));
    EXPECT_EQ(boot_time_seconds(stat.c_str()), want) << text.substr(0, 20);
  }
  EXPECT_EQ(boot_time_seconds(dir.file("none").c_str()), -1);
  EXPECT_GT(boot_time_seconds(), 0);  // this machine's kernel

  ASSERT_TRUE(write_file(stat, "btime 1700000000\n"));
  ASSERT_TRUE(write_file(dir.file("uptime"), "86400.99 1.0\n"));
  char out[BOOT_STAMP_SIZE];
  make_boot_stamp(out, dir.file("none").c_str(), dir.file("uptime").c_str(),
                  stat.c_str());
  EXPECT_EQ(out, local_stamp(1700000000));
}

TEST(Uptime, TruncatesTheFirstFieldAndFallsBackToZero) {
  TempDir dir;
  const std::pair<const char*, long> cases[] = {
    { "75.99 123.45\n", 75 },
    { "0.01 1\n", 0 },
    { "12345", 12345 },
    { "", 0 },
    { "abc", 0 },
    { "1e300", 0 },
    { "nan", 0 },
  };
  for (auto [text, want] : cases) {
    ASSERT_TRUE(write_file(dir.file("uptime"), text));
    EXPECT_EQ(uptime_seconds(dir.file("uptime").c_str()), want) << text;
  }
  EXPECT_EQ(uptime_seconds(dir.file("missing").c_str()), 0);
  EXPECT_GT(uptime_seconds(), 0);  // the real clock of this machine
}

}  // namespace
