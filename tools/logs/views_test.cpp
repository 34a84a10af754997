#include "tools/logs/views.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "amsd/base/text.h"
#include "tests/support/temp_dir.h"

namespace {

// A card with two boots, output of two launches of "app" (the first rotated
// once, its file torn at the end), and lines still in a /tmp buffer.
class CardViews : public ::testing::Test {
 protected:
  void SetUp() override {
    logs = dir.file("logs");
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((logs + "/app").c_str(), 0755), 0);
    put("ams_1.log",
        "100 1 amsd registry scan: 2 dir(s)\n"
        "110 2 amsd AMS start app forwarded to launcher\n"
        "110 2 amsd LAUNCH app   pid=42\n"
        "120 3 amsd LAUNCH other   pid=43\n"
        "130 4 amsd EXIT app exit=1 dur=20000 abnormal=1\n");
    put("app/stdout_110_42.log.1", "[110|up=2] first\n[111|up=3] second\n");
    put("app/stdout_110_42.log", "[130|up=4] last \xff\n[13");
    put("ams_2.log", std::string("200 1 amsd LAUNCH app   pid=50\n") +
                         "201 2 amsd \x01\n" +  // no text the daemon writes
                         std::string("201 2 amsd LAU\0\0\0\0\n", 19) +
                         std::string(LINE_HOLD + 10, 'x') + "\n");
    put("app/stdout_200_50.log", "[199|up=0] early\n");
    buffer = dir.file("buffer");
    ASSERT_TRUE(write_file(buffer,
                           "210 5 amsd EXIT app exit=0 dur=1 "
                           "abnormal=0\n"));
    copy_text(place.logs_dir, logs);
    place.buffer_path = buffer.c_str();
    ASSERT_EQ(boot_list_read(place.logs_dir, list), 0);
    ASSERT_EQ(list.count, 2);
  }

  void put(const std::string& name, const std::string& data) {
    ASSERT_TRUE(write_file(logs + "/" + name, data));
  }

  // What a view printed, one entry per line.
  std::vector<std::string> run(bool json, ViewKind kind, std::int64_t n,
                               const Window& w = {}) {
    static Out out;
    std::string path = dir.file("out");
    out.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    out.len = 0;
    Printer p;
    p.out = &out;
    p.json = json;
    p.kind = kind;
    p.window = w;
    p.buffer_path = buffer.c_str();
    if (kind == ViewKind::kApp) {
      p.pkg = "app";
      show_app_last(p, place, list, 0, list.count - 1, n);
    } else {
      show_boot_last(p, place, list, list.count - 1, n);
    }
    out_flush(out);
    close(out.fd);
    std::vector<std::string> lines;
    std::string all = read_file(path);
    for (std::size_t at = 0, nl; (nl = all.find('\n', at)) != std::string::npos;
         at = nl + 1) {
      lines.push_back(all.substr(at, nl - at));
    }
    return lines;
  }

  TempDir dir;
  std::string logs;
  std::string buffer;
  LogsPlace place;
  static inline BootList list;
};

// By time; a file's lines in their order; at equal times the daemon's line
// first; captured lines with their launch's pid; the buffer's last.
TEST_F(CardViews, AppViewMergesItsLogLinesWithItsOutput) {
  const std::vector<std::string> all = {
    R"({"ts":110,"up":2,"source":"log","boot":"1","text":"AMS start app forwarded to launcher"})",
    R"({"ts":110,"up":2,"source":"log","boot":"1","text":"LAUNCH app   pid=42"})",
    R"({"ts":110,"up":2,"source":"stdout","pid":42,"text":"first"})",
    R"({"ts":111,"up":3,"source":"stdout","pid":42,"text":"second"})",
    R"({"ts":130,"up":4,"source":"log","boot":"1","text":"EXIT app exit=1 dur=20000 abnormal=1"})",
    R"({"ts":130,"up":4,"source":"stdout","pid":42,"text":"last \ufffd"})",
    R"({"source":"stdout","pid":42,"torn":true,"raw":"[13"})",
    R"({"ts":199,"up":0,"source":"stdout","pid":50,"text":"early"})",
    R"({"ts":200,"up":1,"source":"log","boot":"2","text":"LAUNCH app   pid=50"})",
    R"({"ts":210,"up":5,"source":"log","pending":true,"text":"EXIT app exit=0 dur=1 abnormal=0"})",
  };
  EXPECT_EQ(run(true, ViewKind::kApp, -1), all);
  EXPECT_EQ(run(true, ViewKind::kApp, 3),
            std::vector<std::string>(all.end() - 3, all.end()));
  Window w;
  w.has_since = w.has_until = true;
  w.since = 130;
  w.until = 199;
  EXPECT_EQ(run(true, ViewKind::kApp, -1, w),
            std::vector<std::string>(all.begin() + 4, all.begin() + 8));
  std::vector<std::string> text = run(false, ViewKind::kApp, 3);
  ASSERT_EQ(text.size(), 3u);
  EXPECT_TRUE(text[0].ends_with(" up 0 app[50]: early")) << text[0];
  EXPECT_TRUE(text[1].ends_with(" up 1 amsd: LAUNCH app   pid=50")) << text[1];
  EXPECT_TRUE(
      text[2].ends_with(" up 5 amsd (not yet on the card): EXIT app "
                        "exit=0 dur=1 abnormal=0"))
      << text[2];
}

// Torn lines are shown where they stand, marked, in either form.
TEST_F(CardViews, BootViewShowsTornLinesMarked) {
  const std::string cut = "\"raw\":\"" + std::string(LINE_HOLD, 'x') + "\"}";
  std::vector<std::string> json = run(true, ViewKind::kBoot, -1);
  ASSERT_EQ(json.size(), 5u);
  EXPECT_EQ(json[0],
            R"({"boot":"2","ts":200,"up":1,"text":"LAUNCH app   pid=50"})");
  EXPECT_EQ(json[1], R"({"boot":"2","ts":201,"up":2,"text":"\u0001"})");
  EXPECT_EQ(
      json[2],
      R"({"boot":"2","torn":true,"raw":"201 2 amsd LAU\u0000\u0000\u0000\u0000"})");
  EXPECT_EQ(json[3], R"({"boot":"2","torn":true,)" + cut);
  EXPECT_EQ(
      json[4],
      R"({"pending":true,"ts":210,"up":5,"text":"EXIT app exit=0 dur=1 abnormal=0"})");

  std::vector<std::string> text = run(false, ViewKind::kBoot, 3);
  ASSERT_EQ(text.size(), 4u);
  EXPECT_EQ(text[0], "[torn] 201 2 amsd LAU\\x00{4}");
  EXPECT_EQ(text[1].substr(0, 13), "[torn] xxxxxx");
  EXPECT_EQ(text[2], "-- not yet on the card (" + buffer + ") --");
  EXPECT_TRUE(text[3].ends_with(" up 5 EXIT app exit=0 dur=1 abnormal=0"));
}

}  // namespace
