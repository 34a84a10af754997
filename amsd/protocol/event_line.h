// Event lines taken apart, with no effect: the launcher's reports ("EV
// LAUNCH", "EV OUT", "EV EXIT"), route declarations and picker lines. The
// dispatcher reads each line once here and hands the record on.
#pragma once

#include <cstdint>
#include <string_view>

enum class EventKind : std::uint8_t {
  kCommand,    // no event line: a command, which gets a reply
  kMalformed,  // an event line of no known kind, or too short: dropped
  kLaunch,
  kExit,
  kOut,
  kDeclare,
  kPickerCall,
  kPickerResult,
};

// Views point into the line read; fields a kind does not have stay empty or
// 0. Numbers are read as the protocol reads them (parse_i32, parse_i64).
struct EventLine {
  EventKind kind = EventKind::kCommand;
  // "EV LAUNCH", "EV OUT" or "EV EXIT", well formed or not: only a trusted
  // peer may send one, and the check comes before the word count.
  bool report = false;
  std::string_view pkg;  // LAUNCH, EXIT, OUT, DECLARE; PICKER_CALL's caller
  std::string_view activity;  // LAUNCH; "-" reads as none (empty)
  std::string_view chain;     // LAUNCH; "-", or no chain word, reads as none
  std::int32_t pid = 0;       // LAUNCH, OUT
  bool has_ts = false;        // the line gave ts (always for OUT)
  bool has_up = false;        // the line gave up
  std::int32_t ts = 0;
  std::int32_t up = 0;
  std::string_view exit_word;  // EXIT: "exit", "sig" or any other word
  std::int32_t code = 0;       // EXIT's code, PICKER_RESULT's result code
  std::int64_t dur_ms = 0;     // EXIT; 0 when not given
  // OUT: every byte after the one space behind the up word, as the app wrote
  // it; empty when nothing follows the up word or there is none.
  std::string_view text;
  std::string_view count_word;  // DECLARE's second word, only logged
  std::string_view hex;         // DECLARE's routes, PICKER_RESULT's value
  std::uint32_t req = 0;        // PICKER_CALL, PICKER_RESULT
  std::string_view action;      // PICKER_CALL, PICKER_RESULT
};

// Reads one line, stripped of its line end.
EventLine read_event_line(std::string_view line);
