// The two kinds of line that quor_amsd leaves on the card, taken apart, and
// what a service-log text says about which app. The texts are the daemon's
// own (amsd/protocol, amsd/log); a text this reader does not know is kept
// as it is, only not tied to an app.
#pragma once

#include <cstdint>
#include <string_view>

#include "tools/logs/line_reader.h"

struct LogEntry {
  std::int64_t ts = 0;
  std::int64_t up = 0;
  std::string_view text;
};

// A line of a service log, "<ts> <up> amsd <text>". False for a torn line:
// cut, without its newline, with a NUL byte, or in no such form.
bool parse_service_line(const Line& line, LogEntry& out);

// A line of a capture file, "[<ts>|up=<up>] <text>"; false as above.
bool parse_capture_line(const Line& line, LogEntry& out);

enum class LogEvent : std::uint8_t {
  kOther,
  kLaunch,         // LAUNCH <pkg> <act> <chain> pid=<pid>
  kExit,           // EXIT <pkg> <kind>=<code> dur=<ms> abnormal=<0|1>
  kDeclare,        // DECLARE <pkg> ...
  kStartRequest,   // AMS start <pkg>[/<act>] ...
  kKillRequest,    // AMS kill <pkg> -> ...
  kPickerStart,    // AMS picker <action> -> <handler> (req=...)
  kCaptureOpen,    // stdout session open: <pkg> (pid=<pid>) -> <path>
  kCaptureReopen,  // stdout session reopen: <pkg> ...
  kCaptureRotate,  // stdout rotate -> <path>.1
  kCaptureGone,    // stdout <path> gone: output lost until the card is back
  kCaptureFail,    // stdout open fail <path>: ...
  kBufferDropped,  // tmp buffer: N bytes dropped while the card was away
  kShutdown,       // shutdown
};

struct ServiceEvent {
  LogEvent kind = LogEvent::kOther;
  std::string_view pkg;     // the app the line names, when one
  std::string_view path;    // a capture file, for kCaptureOpen
  std::int64_t pid = 0;     // kLaunch, kCaptureOpen
  bool abnormal = false;    // kExit
  std::int64_t dur_ms = 0;  // kExit: how long the run was
};

ServiceEvent classify_service_text(std::string_view text);

// The package whose capture directory holds path (".../<pkg>/stdout_...").
std::string_view capture_path_pkg(std::string_view path);
