// quor_amsd with the fixed files in /tmp: the log buffer used while the card
// is away, and the boot stamp file. These tests run one at a time and put
// back whatever they found at those paths.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <thread>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;

constexpr char BUFFER[] = "/tmp/quor_ams.log";
constexpr char BOOTTS[] = "/tmp/quor_bootts";

TEST(AmsdTmpFiles, WithoutACardTheLogGoesToTheTmpBuffer) {
  SavedFile buffer(BUFFER);
  TempDir dir;
  Amsd a(dir);
  rmdir((a.card + "/QuorOS").c_str());
  ASSERT_TRUE(a.start());
  EXPECT_NE(a.err().find(" log=/tmp/quor_ams.log\n"), std::string::npos)
      << a.err();
  a.command("rescan");
  EXPECT_TRUE(wait_until([&] {
    return read_file(BUFFER).find(" amsd registry scan: ") != std::string::npos;
  }));
  EXPECT_EQ(a.stop(), 0);
}

TEST(AmsdTmpFiles, NoCardSwitchKeepsTheLogInTheBuffer) {
  SavedFile buffer(BUFFER);
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start({}, { "QUOR_AMSD_NOCARD=1" }));
  EXPECT_NE(a.err().find(" log=/tmp/quor_ams.log\n"), std::string::npos);
  a.command("rescan");
  EXPECT_TRUE(wait_until([&] {
    return read_file(BUFFER).find(" amsd registry scan: ") != std::string::npos;
  }));
  EXPECT_EQ(a.stop(), 0);

  ASSERT_TRUE(a.start({}, { "QUOR_AMSD_NOCARD=0" }));
  EXPECT_NE(a.err().find(" log=card\n"), std::string::npos);
  EXPECT_EQ(a.stop(), 0);
}

// This boot's stamp as the kernel's boot time gives it.
std::string kernel_stamp() {
  std::string stat = read_file("/proc/stat");
  std::size_t at = stat.find("\nbtime ");
  time_t boot = at == std::string::npos ? 0 : std::stol(stat.substr(at + 7));
  struct tm tmv;
  localtime_r(&boot, &tmv);
  char buf[64];
  strftime(buf, sizeof buf, "%Y%m%d_%H%M%S", &tmv);
  return buf;
}

TEST(AmsdTmpFiles, BootStampFileNamesTheCardLog) {
  SavedFile bootts(BOOTTS);
  // A stamp that names a path is not used: the log stays in its directory.
  const std::pair<const char*, std::string> cases[] = {
    { "quor_20250314_093005", "20250314_093005" },
    { "quor_../../escaped", kernel_stamp() },
    { nullptr, kernel_stamp() },
  };
  for (const auto& [file, stamp] : cases) {
    unlink(BOOTTS);
    if (file) {
      write_file(BOOTTS, file);
    }
    TempDir dir;
    Amsd a(dir);
    ASSERT_TRUE(a.start());
    EXPECT_NE(a.err().find(" bootts=" + stamp + " log=card\n"),
              std::string::npos)
        << a.err();
    a.command("rescan");
    // clang 14 cannot capture a structured binding: name the log first.
    std::string log = a.logs + "/ams_" + stamp + ".log";
    EXPECT_TRUE(wait_until([&] {
      return read_file(log).find(" amsd registry scan: ") != std::string::npos;
    })) << stamp;
    EXPECT_EQ(a.stop(), 0);
    struct stat st;
    EXPECT_NE(lstat(dir.file("escaped.log").c_str(), &st), 0);
  }
}

// The card job runs once a minute: this test waits for the next one.
TEST(AmsdTmpFiles, ACardLogGoneFromItsPathIsOpenedAfresh) {
  SavedFile buffer(BUFFER);
  SavedFile bootts(BOOTTS);
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  // The card is cleaned: the logs directory goes and comes back empty.
  std::string old_log = a.service_log();
  ASSERT_NE(old_log.find("registry scan"), std::string::npos);
  ASSERT_EQ(system(("rm -rf '" + a.logs + "'").c_str()), 0);
  ASSERT_EQ(mkdir(a.logs.c_str(), 0755), 0);
  ASSERT_TRUE(wait_until(
      [&] {
        a.command("rescan");
        std::this_thread::sleep_for(500ms);
        return a.service_log().find("registry scan") != std::string::npos;
      },
      std::chrono::seconds(90)));
  EXPECT_EQ(a.stop(), 0);
}

// The card job runs once a minute: this test waits for the second one.
TEST(AmsdTmpFiles, BufferMovesOntoTheCardWhenItAppears) {
  SavedFile buffer(BUFFER);
  SavedFile bootts(BOOTTS);
  write_file(BOOTTS, "quor_20250101_000000");
  TempDir dir;
  Amsd a(dir);
  rmdir((a.card + "/QuorOS").c_str());
  ASSERT_TRUE(a.start());
  a.command("rescan");
  ASSERT_TRUE(wait_until([&] {
    return read_file(BUFFER).find("registry scan") != std::string::npos;
  }));
  std::string buffered = read_file(BUFFER);
  mkdir((a.card + "/QuorOS").c_str(), 0755);
  ASSERT_TRUE(a.wait_err("[quor_amsd] /tmp buffered log moved to card\n",
                         std::chrono::seconds(90)));
  std::string card = read_file(a.logs + "/ams_20250101_000000.log");
  EXPECT_EQ(card.substr(0, buffered.size()), buffered);
  struct stat st;
  EXPECT_NE(lstat(BUFFER, &st), 0);
  // Later lines follow on the card.
  a.command("rescan");
  EXPECT_TRUE(wait_until([&] {
    return count_of(read_file(a.logs + "/ams_20250101_000000.log"),
                    "registry scan") > count_of(buffered, "registry scan");
  }));
  EXPECT_EQ(count_of(a.err(), "moved to card"), 1);
  EXPECT_EQ(a.stop(), 0);
}

}  // namespace
