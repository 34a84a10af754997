// How quor_logs prints a line of a view, as text for people or as JSON
// Lines for scripts, and the list of boots.
#pragma once

#include <cstdint>
#include <string_view>

#include "tools/logs/card.h"
#include "tools/logs/time_text.h"
#include "tools/out.h"

// A time window, in wall-clock seconds, both ends included.
struct Window {
  bool has_since = false;
  bool has_until = false;
  std::int64_t since = 0;
  std::int64_t until = 0;
  bool holds(std::int64_t ts) const {
    return (!has_since || ts >= since) && (!has_until || ts <= until);
  }
  bool any() const { return has_since || has_until; }
};

enum class ViewKind { kBoot, kApp };

// One line of a view. A torn line carries its raw bytes as text, and the
// time of the line before it in its file for the window and the merge.
struct Entry {
  bool from_log = true;  // a service-log line, else captured output
  bool torn = false;
  bool pending = false;  // still in the /tmp buffer
  std::int64_t ts = 0;
  std::int64_t up = 0;
  std::string_view text;
  const char* boot = "";  // the stamp of a service-log line's boot
  std::int64_t pid = 0;   // the launch of a captured line
};

struct Printer {
  Out* out = nullptr;
  ViewKind kind = ViewKind::kBoot;
  bool json = false;
  std::string_view pkg;  // the app view's app
  const char* buffer_path = "";
  Window window;
  std::int64_t skip = 0;  // lines inside the window to pass over first
  bool count_only = false;
  std::int64_t count = 0;  // lines inside the window seen so far
  bool pending_said = false;
  TimeText time;
};

// Prints e when it lies in the window and is not skipped; counts it.
void print_entry(Printer& p, const Entry& e);

// Prints the lines of two streams, each in time order, as one; at equal
// times the service log's line comes first (the daemon opened the capture
// file before the app wrote to it). next(e) gives a stream's next line.
// Returns whether any line came.
template <class ServiceNext, class CaptureNext>
bool print_merged(Printer& p, ServiceNext service_next,
                  CaptureNext capture_next) {
  Entry se;
  Entry ce;
  bool hs = service_next(se);
  bool hc = capture_next(ce);
  bool any = hs || hc;
  while (hs || hc) {
    if (hs && (!hc || se.ts <= ce.ts)) {
      print_entry(p, se);
      hs = service_next(se);
    } else {
      print_entry(p, ce);
      hc = capture_next(ce);
    }
  }
  return any;
}

// One line per boot, oldest first; then the /tmp buffer's lines when there
// are any.
void print_boot_list(Printer& p, const LogsPlace& place, const BootList& list);
