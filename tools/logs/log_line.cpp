#include "tools/logs/log_line.h"

#include <cstring>

#include "amsd/base/text.h"

namespace {

constexpr int MAX_DIGITS = 18;  // no overflow in an int64

// Reads [-]digits at s[i]; false when there is no digit or too many.
bool take_number(std::string_view s, std::size_t& i, std::int64_t& v) {
  bool neg = i < s.size() && s[i] == '-';
  std::size_t k = i + (neg ? 1 : 0);
  std::size_t first = k;
  std::int64_t n = 0;
  for (; k < s.size() && s[k] >= '0' && s[k] <= '9'; ++k) {
    if (k - first >= MAX_DIGITS) {
      return false;
    }
    n = n * 10 + (s[k] - '0');
  }
  if (k == first) {
    return false;
  }
  v = neg ? -n : n;
  i = k;
  return true;
}

bool take(std::string_view s, std::size_t& i, std::string_view lit) {
  if (s.size() - i < lit.size() || slice(s, i, lit.size()) != lit) {
    return false;
  }
  i += lit.size();
  return true;
}

bool whole(const Line& line) {
  return line.newline && !line.cut &&
         std::memchr(line.bytes.data(), '\0', line.bytes.size()) == nullptr;
}

bool starts(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && slice(s, 0, p.size()) == p;
}

bool ends(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && slice(s, s.size() - p.size()) == p;
}

// The package of "pkg" or "pkg/act".
std::string_view before_slash(std::string_view w) {
  std::size_t slash = w.find('/');
  return slash == std::string_view::npos ? w : slice(w, 0, slash);
}

// The value of the word "<key><number>" among words, or 0.
std::int64_t keyed_number(const std::string_view* words, int n,
                          std::string_view key) {
  for (int k = n - 1; k >= 0; --k) {
    if (starts(words[k], key)) {
      return parse_i64(slice(words[k], key.size()));
    }
  }
  return 0;
}

ServiceEvent classify_stdout(std::string_view text) {
  ServiceEvent ev;
  constexpr std::string_view OPEN = "stdout session open: ";
  constexpr std::string_view REOPEN = "stdout session reopen: ";
  constexpr std::string_view ROTATE = "stdout rotate -> ";
  constexpr std::string_view FAIL = "stdout open fail ";
  constexpr std::string_view GONE = " gone: output lost until the card is back";
  std::string_view w[4];
  if (starts(text, OPEN) || starts(text, REOPEN)) {
    bool open = starts(text, OPEN);
    std::string_view rest = slice(text, open ? OPEN.size() : REOPEN.size());
    int n = split_words(rest, w, 2);
    if (n < 1) {
      return ev;
    }
    ev.kind = open ? LogEvent::kCaptureOpen : LogEvent::kCaptureReopen;
    ev.pkg = w[0];
    if (n == 2 && starts(w[1], "(pid=")) {
      ev.pid = parse_i64(slice(w[1], 5));
    }
    std::size_t arrow = rest.find(" -> ");
    if (open && arrow != std::string_view::npos) {
      ev.path = slice(rest, arrow + 4);
    }
    return ev;
  }
  std::string_view path;
  if (starts(text, ROTATE)) {
    ev.kind = LogEvent::kCaptureRotate;
    path = slice(text, ROTATE.size());
  } else if (starts(text, FAIL)) {
    ev.kind = LogEvent::kCaptureFail;
    path = slice(text, FAIL.size());
    path = slice(path, 0, path.rfind(": "));
  } else if (ends(text, GONE) && text.size() > 7 + GONE.size()) {
    ev.kind = LogEvent::kCaptureGone;
    path = slice(text, 7, text.size() - 7 - GONE.size());
  } else {
    return ev;
  }
  ev.pkg = capture_path_pkg(path);
  return ev;
}

ServiceEvent classify_ams(std::string_view text) {
  ServiceEvent ev;
  std::string_view w[6];
  int n = split_words(text, w, 6);
  if (n < 4) {
    return ev;
  }
  if (w[1] == "start") {
    ev.kind = LogEvent::kStartRequest;
    ev.pkg = before_slash(w[2]);
  } else if (w[1] == "kill" && w[3] == "->") {
    // A direct SIGTERM is followed by the "terminate" line of the same kill.
    if (n >= 5 && w[4] == "direct") {
      return ev;
    }
    ev.kind = LogEvent::kKillRequest;
    ev.pkg = w[2];
  } else if (w[1] == "picker" && w[3] == "->" && n == 6 &&
             starts(w[5], "(req=")) {
    ev.kind = LogEvent::kPickerStart;
    ev.pkg = w[4];
  }
  return ev;
}

}  // namespace

bool parse_service_line(const Line& line, LogEntry& out) {
  std::string_view s = line.bytes;
  std::size_t i = 0;
  if (!whole(line) || !take_number(s, i, out.ts) || !take(s, i, " ") ||
      !take_number(s, i, out.up) || !take(s, i, " amsd ")) {
    return false;
  }
  out.text = slice(s, i);
  return true;
}

bool parse_capture_line(const Line& line, LogEntry& out) {
  std::string_view s = line.bytes;
  std::size_t i = 0;
  if (!whole(line) || !take(s, i, "[") || !take_number(s, i, out.ts) ||
      !take(s, i, "|up=") || !take_number(s, i, out.up) || !take(s, i, "] ")) {
    return false;
  }
  out.text = slice(s, i);
  return true;
}

std::string_view capture_path_pkg(std::string_view path) {
  std::size_t file = path.rfind("/stdout_");
  if (file == std::string_view::npos || file == 0) {
    return {};
  }
  std::size_t dir = path.rfind('/', file - 1);
  std::size_t from = dir == std::string_view::npos ? 0 : dir + 1;
  return slice(path, from, file - from);
}

ServiceEvent classify_service_text(std::string_view text) {
  ServiceEvent ev;
  std::string_view w[8];
  if (text == "shutdown") {
    ev.kind = LogEvent::kShutdown;
    return ev;
  }
  if (starts(text, "stdout ")) {
    return classify_stdout(text);
  }
  if (starts(text, "AMS ")) {
    return classify_ams(text);
  }
  if (starts(text, "tmp buffer: ") && ends(text, " while the card was away")) {
    ev.kind = LogEvent::kBufferDropped;
    return ev;
  }
  int n = split_words(text, w, 8);
  if (n < 2) {
    return ev;
  }
  if (w[0] == "LAUNCH" && n >= 3 && starts(w[n - 1], "pid=")) {
    ev.kind = LogEvent::kLaunch;
    ev.pkg = w[1];
    ev.pid = keyed_number(w, n, "pid=");
  } else if (w[0] == "EXIT" && n >= 5 && starts(w[n - 1], "abnormal=")) {
    ev.kind = LogEvent::kExit;
    ev.pkg = w[1];
    ev.abnormal = keyed_number(w, n, "abnormal=") != 0;
    ev.dur_ms = keyed_number(w, n, "dur=");
  } else if (w[0] == "DECLARE") {
    ev.kind = LogEvent::kDeclare;
    ev.pkg = w[1];
  }
  return ev;
}
