#include "amsd/log/service_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "amsd/log/card.h"
#include "tests/support/scratch.h"

namespace {

TEST(ServiceLog, WritesPrefixedLinesToTheBufferWithoutACard) {
  ScratchLog f;
  amsd_log(f.log, "registry scan: %d dir(s)", 3);
  amsd_log(f.log, "%s", "");  // empty text: no line
  amsd_log(f.log, "second");
  EXPECT_EQ(without_wall_clock(read_file(f.buffer)),
            "42 amsd registry scan: 3 dir(s)\n42 amsd second\n");
}

TEST(ServiceLog, DropsLinesOf2048BytesOrMore) {
  ScratchLog f;
  ASSERT_EQ(open_card_log(f.sd, f.log), 0);
  // Prefix: wall clock (10 digits until 2286), " 42 amsd ".
  std::string prefix = std::to_string(time(nullptr)) + " 42 amsd ";
  std::string fits(2047 - prefix.size(), 'a');
  amsd_log(f.log, "%s", (fits + "b").c_str());
  amsd_log(f.log, "%s", fits.c_str());
  std::string text = f.card_log();
  EXPECT_EQ(text.size(), 2048u);
  EXPECT_EQ(text.find('b'), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
}

TEST(ServiceLog, FailedCardWriteFallsBackToTheBuffer) {
  ScratchLog f;
  // A read-only descriptor stands in for a card that went away.
  f.log.card_log_fd = open(f.bootts.c_str(), O_RDONLY);
  f.log.card_log_open = 1;
  amsd_log(f.log, "kept");
  EXPECT_EQ(f.log.card_log_fd, -1);
  EXPECT_EQ(f.log.card_log_open, 0);
  EXPECT_EQ(without_wall_clock(read_file(f.buffer)), "42 amsd kept\n");
}

// Lines the card took since its last good sync reach the buffer before the
// next line when the card goes; synced ones are not written twice. (A sync
// that fails takes the same way; the device tests see it.)
TEST(ServiceLog, LinesNotYetSyncedGoToTheBufferWhenTheCardGoes) {
  ScratchLog f;
  ASSERT_EQ(open_card_log(f.sd, f.log), 0);
  amsd_log(f.log, "synced");
  service_log_tick(f.log, LOG_SYNC_MS);
  // More than the kept lines can hold: they are synced early.
  for (int i = 0; i < 40; ++i) {
    amsd_log(f.log, "%s", std::string(2000, 'a').c_str());
  }
  amsd_log(f.log, "one");
  amsd_log(f.log, "two");
  ASSERT_GE(f.log.card_log_fd, 0);
  ASSERT_EQ(unlink(f.log.card_log_path), 0);
  amsd_log(f.log, "three");
  EXPECT_EQ(f.log.card_log_fd, -1);
  const std::string buffered = without_wall_clock(read_file(f.buffer));
  EXPECT_TRUE(buffered.ends_with("42 amsd one\n42 amsd two\n42 amsd three\n"))
      << buffered;
  EXPECT_EQ(buffered.find("synced"), std::string::npos);
  EXPECT_LT(buffered.size(), LOG_KEEP_BYTES);
}

TEST(ServiceLog, BufferPastItsCapDropsItsOldestLinesAndTheMoveSaysHowMany) {
  ScratchLog f;
  std::string lines;
  for (int i = 0; lines.size() < BUFFER_LOG_CAP - 200; ++i) {
    lines += "old " + std::to_string(i) + " " + std::string(90, 'o') + "\n";
  }
  lines +=
      "old last " + std::string(BUFFER_LOG_CAP - lines.size() - 10, 'o') + "\n";
  ASSERT_EQ(lines.size(), static_cast<size_t>(BUFFER_LOG_CAP));
  write_file(f.buffer, lines);
  // Exactly at the cap is not past it: appended to, past the cap by a line.
  amsd_log(f.log, "fits");
  ASSERT_EQ(f.log.buffer_dropped, 0);
  const std::string before = read_file(f.buffer);
  ASSERT_GT(before.size(), static_cast<size_t>(BUFFER_LOG_CAP));
  const std::string newest = " 42 amsd " + std::string(200, 'n') + "\n";
  amsd_log(f.log, "%s", std::string(200, 'n').c_str());
  const std::string after = read_file(f.buffer);
  ASSERT_TRUE(after.ends_with(newest));
  std::size_t newest_len =
      after.size() - after.rfind('\n', after.size() - 2) - 1;
  const std::string old_kept = after.substr(0, after.size() - newest_len);
  EXPECT_LE(after.size(), static_cast<size_t>(BUFFER_LOG_CAP * 3 / 4));
  EXPECT_EQ(old_kept.substr(0, 4), "old ");  // whole lines only
  EXPECT_TRUE(before.ends_with(old_kept)) << "the newest lines stay, in order";
  const long dropped = f.log.buffer_dropped;
  EXPECT_EQ(static_cast<size_t>(dropped) + old_kept.size(), before.size());

  ASSERT_EQ(open_card_log(f.sd, f.log), 0);
  testing::internal::CaptureStderr();
  move_buffer_to_card(f.log, open_buffer_for_move(f.log));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[quor_amsd] /tmp buffered log moved to card\n"
            "[quor_amsd] /tmp buffer: " +
                std::to_string(dropped) +
                " bytes dropped while the card was away\n");
  EXPECT_TRUE(
      f.card_log().ends_with(" 42 amsd tmp buffer: " + std::to_string(dropped) +
                             " bytes dropped while the card was away\n"));
  EXPECT_EQ(f.log.buffer_dropped, 0);
}

TEST(ServiceLog, BufferNeverFollowsAPlantedLinkOrHangsOnAFifo) {
  ScratchLog f;
  std::string victim = f.tmp.file("victim");
  write_file(victim, "precious\n");
  ASSERT_EQ(symlink(victim.c_str(), f.buffer.c_str()), 0);
  amsd_log(f.log, "line");
  EXPECT_EQ(read_file(victim), "precious\n");
  EXPECT_EQ(open_buffer_for_move(f.log), -1);

  unlink(f.buffer.c_str());
  ASSERT_EQ(mkfifo(f.buffer.c_str(), 0644), 0);
  amsd_log(f.log, "line");  // must return, not block in open()
  EXPECT_EQ(open_buffer_for_move(f.log), -1);
}

TEST(ServiceLog, MoveAppendsTheBufferToTheCardLogAndDeletesIt) {
  ScratchLog f;
  amsd_log(f.log, "buffered one");
  amsd_log(f.log, "%s", std::string(1500, 'z').c_str());  // spans reads
  ASSERT_EQ(open_card_log(f.sd, f.log), 0);
  amsd_log(f.log, "on card");
  int fd = open_buffer_for_move(f.log);
  ASSERT_GE(fd, 0);
  testing::internal::CaptureStderr();
  move_buffer_to_card(f.log, fd);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[quor_amsd] /tmp buffered log moved to card\n");
  amsd_log(f.log, "after");
  EXPECT_EQ(without_wall_clock(f.card_log()),
            "42 amsd on card\n42 amsd buffered one\n42 amsd " +
                std::string(1500, 'z') + "\n42 amsd after\n");
  EXPECT_NE(access(f.buffer.c_str(), F_OK), 0);
}

TEST(ServiceLog, MoveStopsOnAFailedWriteAndKeepsTheBuffer) {
  ScratchLog f;
  amsd_log(f.log, "buffered");
  f.log.card_log_fd = open(f.bootts.c_str(), O_RDONLY);
  f.log.card_log_open = 1;
  int fd = open_buffer_for_move(f.log);
  ASSERT_GE(fd, 0);
  testing::internal::CaptureStderr();
  move_buffer_to_card(f.log, fd);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(f.log.card_log_fd, -1);
  EXPECT_EQ(f.log.card_log_open, 0);
  EXPECT_EQ(without_wall_clock(read_file(f.buffer)), "42 amsd buffered\n");
}

// A file size limit stands in for a card that fills up: the write that
// reaches it is cut short, and later ones fail.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::size_t bytes) {
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &old_);
    struct rlimit lim = { bytes, old_.rlim_max };
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  struct rlimit old_;
  sighandler_t old_handler_;
};

TEST(ServiceLog, AFullCardKeepsOnlyWholeLinesAndMovesAllOrNothing) {
  ScratchLog f;
  ASSERT_EQ(open_card_log(f.sd, f.log), 0);
  amsd_log(f.log, "%s", std::string(1200, 'c').c_str());
  const std::string card = f.card_log();
  {
    FileSizeLimit full(card.size() + 10);
    amsd_log(f.log, "cut short");
  }
  EXPECT_EQ(f.log.card_log_fd, -1);
  EXPECT_EQ(f.card_log(), card);
  amsd_log(f.log, "%s", std::string(1500, 'b').c_str());  // spans reads
  const std::string buffered = read_file(f.buffer);
  ASSERT_EQ(without_wall_clock(buffered),
            "42 amsd cut short\n42 amsd " + std::string(1500, 'b') + "\n");

  // Room for the first chunk of the move only.
  ASSERT_EQ(open_card_log(f.sd, f.log), 0);
  {
    FileSizeLimit full(card.size() + 1100);
    move_buffer_to_card(f.log, open_buffer_for_move(f.log));
  }
  EXPECT_EQ(f.log.card_log_fd, -1);
  EXPECT_EQ(f.card_log(), card);
  EXPECT_EQ(read_file(f.buffer), buffered);

  ASSERT_EQ(open_card_log(f.sd, f.log), 0);
  testing::internal::CaptureStderr();
  move_buffer_to_card(f.log, open_buffer_for_move(f.log));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(f.card_log(), card + buffered);
}

TEST(ServiceLog, MoveStopsOnAReadErrorAndKeepsTheBufferForLater) {
  ScratchLog f;
  amsd_log(f.log, "buffered");
  ASSERT_EQ(open_card_log(f.sd, f.log), 0);
  // A descriptor that cannot be read stands in for a failing disk.
  int fd = open(f.buffer.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  testing::internal::CaptureStderr();
  move_buffer_to_card(f.log, fd);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(f.log.move_pending);
  EXPECT_GE(f.log.card_log_fd, 0);
  EXPECT_EQ(without_wall_clock(read_file(f.buffer)), "42 amsd buffered\n");
}

}  // namespace
