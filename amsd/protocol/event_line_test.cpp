#include "amsd/protocol/event_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The record as one line of text, so each row states it whole.
std::string shown(const EventLine& e) {
  static const char* const kinds[] = { "command", "malformed", "launch",
                                       "exit",    "out",       "declare",
                                       "call",    "result" };
  std::string s = kinds[static_cast<int>(e.kind)];
  s += e.report ? " report" : "";
  auto field = [&s](const char* name, std::string_view v) {
    if (!v.empty()) {
      s += std::string(" ") + name + "=" + std::string(v);
    }
  };
  field("pkg", e.pkg);
  field("act", e.activity);
  field("chain", e.chain);
  field("word", e.exit_word);
  field("n", e.count_word);
  field("hex", e.hex);
  field("action", e.action);
  s += " pid=" + std::to_string(e.pid) + " code=" + std::to_string(e.code) +
       " dur=" + std::to_string(e.dur_ms) + " req=" + std::to_string(e.req);
  s += e.has_ts ? " ts=" + std::to_string(e.ts) : "";
  s += e.has_up ? " up=" + std::to_string(e.up) : "";
  s += "|" + std::string(e.text) + "|";
  return s;
}

TEST(EventLine, ReadsEachKindAndForm) {
  struct Row {
    const char* line;
    const char* want;
  } rows[] = {
    { "status", "command pid=0 code=0 dur=0 req=0||" },
    { "EVENT x", "command pid=0 code=0 dur=0 req=0||" },
    { "EV ", "malformed pid=0 code=0 dur=0 req=0||" },
    { "EV WHAT a b c", "malformed pid=0 code=0 dur=0 req=0||" },
    // Reports too short to act on are still reports: trust comes first.
    { "EV LAUNCH a m c", "malformed report pid=0 code=0 dur=0 req=0||" },
    { "EV LAUNCH a main - 42",
      "launch report pkg=a act=main pid=42 code=0 dur=0 req=0||" },
    { "EV LAUNCH a main 42 1000 15",
      "launch report pkg=a act=main pid=42 code=0 dur=0 req=0 ts=1000 "
      "up=15||" },
    { "EV  LAUNCH a - c 7 1 2 extra",
      "launch report pkg=a chain=c pid=7 code=0 dur=0 req=0 ts=1 up=2||" },
    { "EV EXIT a", "malformed report pid=0 code=0 dur=0 req=0||" },
    { "EV EXIT a sig 9",
      "exit report pkg=a word=sig pid=0 code=9 dur=0 req=0||" },
    { "EV EXIT a exit 3 5000 10",
      "exit report pkg=a word=exit pid=0 code=3 dur=5000 req=0 ts=10||" },
    { "EV OUT a 42", "malformed report pid=0 code=0 dur=0 req=0||" },
    { "EV OUT a 42 1002",
      "out report pkg=a pid=42 code=0 dur=0 req=0 ts=1002||" },
    { "EV OUT a 42 1 2   two  spaces ",
      "out report pkg=a pid=42 code=0 dur=0 req=0 ts=1 up=2|  two  spaces |" },
    { "EV OUT a 42 1 2 1 2 3 4 5 6 7 8 9 10 11 12 13 14",
      "out report pkg=a pid=42 code=0 dur=0 req=0 ts=1 up=2|1 2 3 4 5 6 7 8 9 "
      "10 11 12 13 14|" },
    { "DECLARE a", "malformed pid=0 code=0 dur=0 req=0||" },
    { "DECLARE a 2 686f6d653d7800",
      "declare pkg=a n=2 hex=686f6d653d7800 pid=0 code=0 dur=0 req=0||" },
    { "PICKER_CALL c -1 pick",
      "call pkg=c action=pick pid=0 code=0 dur=0 req=4294967295||" },
    { "PICKER_RESULT 5 pick -2 4142",
      "result hex=4142 action=pick pid=0 code=-2 dur=0 req=5||" },
    { "PICKER_NONE a b c d", "malformed pid=0 code=0 dur=0 req=0||" },
  };
  for (const Row& r : rows) {
    EXPECT_EQ(shown(read_event_line(r.line)), r.want) << r.line;
  }
}

}  // namespace
