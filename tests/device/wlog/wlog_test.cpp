#include "tests/device/wlog/wlog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

constexpr std::uint32_t SECTOR = 512;
constexpr std::uint64_t PART_SECTOR = 2048;  // the image starts at 1 MiB
constexpr std::uint64_t SHIFT = PART_SECTOR * SECTOR;

void put_le(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; i++) {
    out.push_back(static_cast<char>(v >> (8 * i) & 0xff));
  }
}

void pad_sector(std::string& out) {
  out.resize((out.size() + SECTOR - 1) / SECTOR * SECTOR, '\0');
}

// A log as the driver writes it: headers with data_len 0 for writes, the
// data from the next log sector on.
struct LogBuilder {
  std::string bytes;
  std::uint64_t entries = 0;

  void entry(std::uint64_t sector, std::uint64_t nr, std::uint64_t flags,
             std::string_view data, std::uint64_t data_len = 0) {
    put_le(bytes, sector, 8);
    put_le(bytes, nr, 8);
    put_le(bytes, flags, 8);
    put_le(bytes, data_len, 8);
    pad_sector(bytes);
    bytes.append(data);
    pad_sector(bytes);
    entries++;
  }
  std::string log(std::uint64_t magic = WLOG_MAGIC) const {
    std::string out;
    put_le(out, magic, 8);
    put_le(out, WLOG_VERSION, 8);
    put_le(out, entries, 8);
    put_le(out, SECTOR, 4);
    pad_sector(out);
    return out + bytes;
  }
};

std::string sectors(std::string_view fills) {
  std::string out;
  for (char c : fills) {
    out.append(SECTOR, c);
  }
  return out;
}

TEST(WriteLog, ReplaysEntriesOntoThePartition) {
  LogBuilder b;
  b.entry(0, 1, 0, sectors("M"));                  // the partition table
  b.entry(PART_SECTOR - 1, 3, 0, sectors("ABC"));  // from before the image
  b.entry(0, 0, WLOG_FLUSH, "");
  b.entry(PART_SECTOR + 1, 1, WLOG_FUA, sectors("D"));
  b.entry(0, 0, WLOG_MARK, "mark", 4);
  b.entry(PART_SECTOR, 1, WLOG_DISCARD, "");
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("log"), b.log()));
  ASSERT_TRUE(write_file(dir.file("image"), sectors("xx")));
  int log_fd = open(dir.file("log").c_str(), O_RDONLY);
  int image_fd = open(dir.file("image").c_str(), O_RDWR);
  WlogLog log;
  ASSERT_EQ(wlog_open(log, log_fd), 0);

  struct Point {
    std::uint64_t entry;
    std::string kind;
    std::string image;
  };
  const std::vector<Point> want = {
    { 1, "write", sectors("xx") },
    { 2, "write", sectors("BC") },
    { 3, "pre-flush", sectors("BC") },
    { 3, "post-flush", sectors("BC") },
    { 4, "write", sectors("BD") },
    { 6, "write", std::string(SECTOR, '\0') + sectors("D") },
  };
  std::vector<Point> got;
  WlogEntry e;
  WlogPointKind kinds[WLOG_MAX_ENTRY_POINTS];
  int rc;
  while ((rc = wlog_next(log, e)) == 1) {
    for (int i = 0; i < wlog_entry_points(e, kinds); i++) {
      if (kinds[i] == WLOG_POINT_WRITE) {
        ASSERT_EQ(wlog_apply(log, e, image_fd, SHIFT), 0);
      }
      got.push_back(
          { e.index, wlog_point_name(kinds[i]), read_file(dir.file("image")) });
    }
  }
  EXPECT_EQ(rc, 0);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(got[i].entry, want[i].entry) << "point " << i + 1;
    EXPECT_EQ(got[i].kind, want[i].kind) << "point " << i + 1;
    EXPECT_TRUE(got[i].image == want[i].image) << "point " << i + 1;
  }

  // Not a log; a log whose superblock counts an entry it does not hold.
  std::string cut = b.log();
  cut.resize(cut.size() - SECTOR);
  ASSERT_TRUE(write_file(dir.file("bad"), b.log(WLOG_MAGIC + 1)));
  ASSERT_TRUE(write_file(dir.file("cut"), cut));
  int bad_fd = open(dir.file("bad").c_str(), O_RDONLY);
  int cut_fd = open(dir.file("cut").c_str(), O_RDONLY);
  EXPECT_EQ(wlog_open(log, bad_fd), WLOG_BAD_FORMAT);
  ASSERT_EQ(wlog_open(log, cut_fd), 0);
  while ((rc = wlog_next(log, e)) == 1) {
  }
  EXPECT_EQ(rc, WLOG_BAD_FORMAT);
  for (int fd : { log_fd, image_fd, bad_fd, cut_fd }) {
    close(fd);
  }
}

TEST(WriteLog, ChecksTheLastPointsAndASampleBefore) {
  struct Case {
    std::uint64_t total, max;
    std::vector<std::uint64_t> checked;
  };
  const Case cases[] = {
    { 5, 0, { 1, 2, 3, 4, 5 } }, { 3, 4, { 1, 2, 3 } },
    { 10, 4, { 4, 8, 9, 10 } },  { 7, 5, { 2, 4, 5, 6, 7 } },
    { 10, 1, { 10 } },
  };
  for (const Case& c : cases) {
    std::vector<std::uint64_t> got;
    for (std::uint64_t p = 1; p <= c.total; p++) {
      if (wlog_point_checked(p, c.total, c.max)) {
        got.push_back(p);
      }
    }
    EXPECT_EQ(got, c.checked) << c.total << " points, at most " << c.max;
  }
}

}  // namespace
