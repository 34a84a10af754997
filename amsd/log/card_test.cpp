#include "amsd/log/card.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "amsd/log/capture.h"
#include "amsd/log/service_log.h"
#include "tests/support/scratch.h"

namespace {

TEST(CardLog, OpensThePerBootCardLogAndAppendsAcrossRestarts) {
  ScratchLog f;
  NoCardEnv env(nullptr);
  ASSERT_EQ(open_card_log(f.sd, f.log), 0);
  EXPECT_EQ(f.log.card_log_open, 1);
  EXPECT_EQ(open_card_log(f.sd, f.log), 0);  // already open
  amsd_log(f.log, "one");
  close_card_log(f.log);
  ASSERT_EQ(open_card_log(f.sd, f.log), 0);
  amsd_log(f.log, "two");
  EXPECT_EQ(without_wall_clock(f.card_log()), "42 amsd one\n42 amsd two\n");
  EXPECT_EQ(read_file(f.buffer), "");
  struct stat st;
  ASSERT_EQ(
      stat((f.card + "/QuorOS/logs/ams_20250314_093005.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(CardLog, CardIsRefusedWhenSwitchedOffOrUnusable) {
  {
    ScratchLog f;
    NoCardEnv env("1");
    EXPECT_EQ(open_card_log(f.sd, f.log), -1);
  }
  {
    ScratchLog f;
    NoCardEnv env("1yes");
    EXPECT_EQ(open_card_log(f.sd, f.log), -1);
  }
  {
    ScratchLog f;
    NoCardEnv env("0");
    EXPECT_EQ(open_card_log(f.sd, f.log), 0);
  }
  {
    ScratchLog f;  // no QuorOS directory: logs cannot be created
    NoCardEnv env(nullptr);
    rmdir((f.card + "/QuorOS").c_str());
    EXPECT_EQ(open_card_log(f.sd, f.log), -1);
    EXPECT_EQ(f.log.card_log_fd, -1);
    EXPECT_EQ(f.log.card_log_open, 0);
  }
  {
    ScratchLog f;  // card root too long for the path buffer
    NoCardEnv env(nullptr);
    std::string root(600, 'r');
    f.sd.root = root.c_str();
    EXPECT_EQ(open_card_log(f.sd, f.log), -1);
  }
}

TEST(CardLog, DefaultCardRootMustBeListedAsAMountPoint) {
  ScratchLog f;
  NoCardEnv env(nullptr);
  write_file(f.mounts,
             "/dev/root / ext4 rw 0 0\n"
             "/dev/sdx1 /usr/data/mnt/sd_0x vfat rw 0 0\n");
  EXPECT_FALSE(mount_point_listed(f.mounts.c_str(), paths::DEFAULT_CARD));
  f.sd.root = paths::DEFAULT_CARD;
  EXPECT_EQ(open_card_log(f.sd, f.log), -1);
  write_file(f.mounts, "/dev/mmcblk1p1 /usr/data/mnt/sd_0 vfat rw 0 0\n");
  EXPECT_TRUE(mount_point_listed(f.mounts.c_str(), paths::DEFAULT_CARD));
  EXPECT_FALSE(mount_point_listed(f.card.c_str(), paths::DEFAULT_CARD));
  EXPECT_FALSE(mount_point_listed(f.tmp.file("none").c_str(), "/x"));
}

// The card job on a card with no QuorOS directory at first.
TEST(CardJob, OpensTheCardAndMovesTheBufferOncePerMinute) {
  ScratchLog f;
  StdoutSession capture;
  rmdir((f.card + "/QuorOS").c_str());
  amsd_log(f.log, "while away");
  card_tick(f.sd, f.log, capture, 0, 60000);  // no QuorOS yet
  EXPECT_EQ(f.log.card_log_fd, -1);
  EXPECT_EQ(f.sd.last_job_ms, 60000u);
  mkdir((f.card + "/QuorOS").c_str(), 0755);
  card_tick(f.sd, f.log, capture, 0, 119999);
  EXPECT_EQ(f.log.card_log_fd, -1);
  testing::internal::CaptureStderr();
  card_tick(f.sd, f.log, capture, 0, 120000);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[quor_amsd] /tmp buffered log moved to card\n");
  EXPECT_GE(f.log.card_log_fd, 0);
  EXPECT_EQ(f.log.card_log_open, 1);
  EXPECT_NE(access(f.buffer.c_str(), F_OK), 0);
  // Already open: later jobs only prune.
  testing::internal::CaptureStderr();
  card_tick(f.sd, f.log, capture, 0, 180000);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(CardJob, ReopensALogGoneFromItsPathAndRetriesAMove) {
  ScratchLog f;
  StdoutSession capture;
  ASSERT_EQ(open_card_log(f.sd, f.log), 0);
  std::string path = f.log.card_log_path;
  ASSERT_EQ(unlink(path.c_str()), 0);  // the card was cleaned
  amsd_log(f.log, "buffered");         // still open: into the deleted file
  f.log.move_pending = true;           // and an earlier move failed to read
  ASSERT_TRUE(write_file(f.buffer, "from buffer\n"));
  testing::internal::CaptureStderr();
  card_tick(f.sd, f.log, capture, 0, 60000);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[quor_amsd] /tmp buffered log moved to card\n");
  EXPECT_EQ(read_file(path), "from buffer\n");
  EXPECT_FALSE(f.log.move_pending);
  EXPECT_TRUE(card_log_in_place(f.log));
}

}  // namespace
