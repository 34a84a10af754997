#include "tools/logs/line_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

// Each line as "<bytes>" followed by "$" when it ended with a newline and
// "+" when it was cut.
std::vector<std::string> lines_of(const std::string& path, std::int64_t from,
                                  bool skip_partial) {
  static LineReader r;
  std::vector<std::string> out;
  int fd = open(path.c_str(), O_RDONLY);
  line_reader_start(r, fd, from, skip_partial);
  Line line;
  while (line_reader_next(r, line, true) == ReadStep::kLine) {
    std::string s(line.bytes.size() > 8
                      ? std::string(line.bytes.substr(0, 8)) + "~" +
                            std::to_string(line.bytes.size())
                      : std::string(line.bytes));
    out.push_back(s + (line.newline ? "$" : "") + (line.cut ? "+" : ""));
  }
  close(fd);
  return out;
}

TEST(LineReader, CutsLinesWhateverTheBytes) {
  const std::string big(3 * LINE_HOLD, 'x');
  const std::string nuls(READER_BUF_SIZE + 10, '\0');
  struct Case {
    std::string data;
    std::int64_t from;
    bool skip_partial;
    std::vector<std::string> want;
  } cases[] = {
    { "a\nbb\n", 0, false, { "a$", "bb$" } },
    { "a\n\nb", 0, false, { "a$", "$", "b" } },  // torn last line
    { std::string("x\0y\n", 4), 0, false, { std::string("x\0y$", 4) } },
    { big + "\nend\n", 0, false, { "xxxxxxxx~4096+", "end$" } },
    { std::string(LINE_HOLD, 'y') + "\n", 0, false, { "yyyyyyyy~4096$" } },
    { big, 0, false, { "xxxxxxxx~4096+" } },
    { nuls + "\nok\n", 0, false, { std::string(8, '\0') + "~4096+", "ok$" } },
    { "one\ntwo\nthree\n", 5, true, { "three$" } },  // inside "two"
    { "one\ntwo\nthree\n", 4, true, { "two$", "three$" } },
    { "one\ntwo\n", 4, false, { "two$" } },
  };
  TempDir dir;
  for (const Case& c : cases) {
    ASSERT_TRUE(write_file(dir.file("f"), c.data));
    EXPECT_EQ(lines_of(dir.file("f"), c.from, c.skip_partial), c.want)
        << c.data.substr(0, 20);
  }
}

// A file still being written: its last line waits for its newline.
TEST(LineReader, KeepsAnUnfinishedLineUntilItEnds) {
  TempDir dir;
  std::string path = dir.file("f");
  ASSERT_TRUE(write_file(path, "done\nhal"));
  int fd = open(path.c_str(), O_RDONLY);
  static LineReader r;
  line_reader_start(r, fd, 0);
  Line line;
  ASSERT_EQ(line_reader_next(r, line, false), ReadStep::kLine);
  EXPECT_EQ(line.bytes, "done");
  EXPECT_EQ(line_reader_next(r, line, false), ReadStep::kEnd);
  int w = open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(write(w, "f\n", 2), 2);
  close(w);
  ASSERT_EQ(line_reader_next(r, line, false), ReadStep::kLine);
  EXPECT_EQ(line.bytes, "half");
  EXPECT_EQ(line.at, 5);
  EXPECT_EQ(line_reader_pos(r), 10);
  close(fd);
}

TEST(LineReader, FindsWhereTheLastLinesBegin) {
  struct Case {
    std::string data;
    std::int64_t lines;
    std::int64_t want;
  } cases[] = {
    { "a\nb\nc\n", 2, 2 },
    { "a\nb\nc", 2, 2 },
    { "a\nb\nc\n", 3, 0 },
    { "a\nb\nc\n", 9, 0 },
    { "a\nb\nc\n", 0, 6 },
    { "", 1, 0 },
    { std::string(40000, 'x') + "\n" + std::string(30000, 'y') + "\n", 1,
      40001 },
  };
  TempDir dir;
  for (const Case& c : cases) {
    ASSERT_TRUE(write_file(dir.file("f"), c.data));
    int fd = open(dir.file("f").c_str(), O_RDONLY);
    EXPECT_EQ(offset_of_last_lines(fd, static_cast<std::int64_t>(c.data.size()),
                                   c.lines),
              c.want)
        << c.data.substr(0, 10) << " " << c.lines;
    close(fd);
  }
}

}  // namespace
