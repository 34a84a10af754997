#include "amsd/protocol/event_line.h"

#include "amsd/base/text.h"

namespace {

// Words taken from an "EV" line (the event word included) and from a
// "DECLARE" or "PICKER_" line; the rest of a line is ignored, but for the
// text of "EV OUT".
constexpr int EV_MAX_WORDS = 16;
constexpr int PEER_MAX_WORDS = 8;
constexpr int OUT_WORDS = 5;  // OUT pkg pid ts up

std::string_view none_if_dash(std::string_view word) {
  return word == "-" ? std::string_view() : word;
}

void set_ts(EventLine& e, std::string_view word) {
  e.has_ts = true;
  e.ts = parse_i32(word);
}

void set_up(EventLine& e, std::string_view word) {
  e.has_up = true;
  e.up = parse_i32(word);
}

// Words: LAUNCH pkg act chain pid | LAUNCH pkg act pid ts up |
// LAUNCH pkg act chain pid ts up ...
void read_launch(EventLine& e, const std::string_view* w, int n) {
  if (n < 5) {
    return;
  }
  e.kind = EventKind::kLaunch;
  e.pkg = w[1];
  e.activity = none_if_dash(w[2]);
  if (n == 6) {
    e.pid = parse_i32(w[3]);
    set_ts(e, w[4]);
    set_up(e, w[5]);
    return;
  }
  e.chain = none_if_dash(w[3]);
  e.pid = parse_i32(w[4]);
  if (n >= 7) {
    set_ts(e, w[5]);
    set_up(e, w[6]);
  }
}

// Words: EXIT pkg kind code [dur_ms [ts [up]]]
void read_exit(EventLine& e, const std::string_view* w, int n) {
  if (n < 4) {
    return;
  }
  e.kind = EventKind::kExit;
  e.pkg = w[1];
  e.exit_word = w[2];
  e.code = parse_i32(w[3]);
  e.dur_ms = n >= 5 ? parse_i64(w[4]) : 0;
  if (n >= 6) {
    set_ts(e, w[5]);
  }
  if (n >= 7) {
    set_up(e, w[6]);
  }
}

// Words: OUT pkg pid ts [up [text...]]. The text is the rest of the line
// after the up word's one separating space, so the app's spacing survives.
void read_out(EventLine& e, std::string_view line, const std::string_view* w,
              int n) {
  if (n < 4) {
    return;
  }
  e.kind = EventKind::kOut;
  e.pkg = w[1];
  e.pid = parse_i32(w[2]);
  set_ts(e, w[3]);
  if (n >= 5) {
    set_up(e, w[4]);
    std::size_t end =
        static_cast<std::size_t>(w[4].data() - line.data()) + w[4].size();
    e.text = slice(line, end + 1);
  }
}

void read_ev(EventLine& e, std::string_view line) {
  std::string_view w[EV_MAX_WORDS];
  // An OUT line needs no word past its up word, and most lines are OUT.
  std::string_view rest = slice(line, 3);
  int n = split_words(rest, w, OUT_WORDS);
  if (n == 0) {
    return;
  }
  if (n == OUT_WORDS && w[0] != "OUT") {
    const std::string_view& last = w[OUT_WORDS - 1];
    std::size_t end =
        static_cast<std::size_t>(last.data() - rest.data()) + last.size();
    n += split_words(slice(rest, end), w + n, EV_MAX_WORDS - n);
  }
  if (w[0] == "LAUNCH") {
    e.report = true;
    read_launch(e, w, n);
  } else if (w[0] == "EXIT") {
    e.report = true;
    read_exit(e, w, n);
  } else if (w[0] == "OUT") {
    e.report = true;
    read_out(e, line, w, n);
  }
}

// Words: DECLARE pkg n hex | PICKER_CALL caller req action |
// PICKER_RESULT req action code hex
void read_peer_line(EventLine& e, std::string_view line) {
  std::string_view w[PEER_MAX_WORDS];
  int n = split_words(line, w, PEER_MAX_WORDS);
  if (n >= 4 && w[0] == "DECLARE") {
    e.kind = EventKind::kDeclare;
    e.pkg = w[1];
    e.count_word = w[2];
    e.hex = w[3];
  } else if (n >= 4 && w[0] == "PICKER_CALL") {
    e.kind = EventKind::kPickerCall;
    e.pkg = w[1];
    // Ids travel as signed 32-bit numbers; the table keeps their bits.
    e.req = static_cast<std::uint32_t>(parse_i32(w[2]));
    e.action = w[3];
  } else if (n >= 5 && w[0] == "PICKER_RESULT") {
    e.kind = EventKind::kPickerResult;
    e.req = static_cast<std::uint32_t>(parse_i32(w[1]));
    e.action = w[2];
    e.code = parse_i32(w[3]);
    e.hex = w[4];
  }
}

}  // namespace

EventLine read_event_line(std::string_view line) {
  EventLine e;
  if (line.starts_with("EV ")) {
    e.kind = EventKind::kMalformed;
    read_ev(e, line);
  } else if (line.starts_with("DECLARE ") || line.starts_with("PICKER_")) {
    e.kind = EventKind::kMalformed;
    read_peer_line(e, line);
  }
  return e;
}
