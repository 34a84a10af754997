// The views of quor_logs over a card: the list of boots, one boot's service
// log, and one app's own service-log lines merged with its captured output.
// Every view streams: a line is read, printed and forgotten.
#pragma once

#include <cstdint>
#include <string_view>

#include "amsd/base/limits.h"
#include "tools/logs/card.h"
#include "tools/logs/line_reader.h"
#include "tools/logs/out.h"

// Where the logs are.
struct LogsPlace {
  char logs_dir[PATH_BUF_SIZE] = {};  // <card>/QuorOS/logs
  // The daemon's /tmp buffer, whose lines follow the newest boot; nullptr
  // for a card read elsewhere than in its device.
  const char* buffer_path = nullptr;
};

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

// One line per boot, oldest first; then the /tmp buffer's lines when there
// are any.
void print_boot_list(Printer& p, const LogsPlace& place, const BootList& list);

// The boot at position pos: its service log, from offset on, then (for the
// newest) the /tmp buffer's lines.
void show_boot(Printer& p, const LogsPlace& place, const BootList& list,
               int pos, std::int64_t from_offset = 0);

// The app's own lines of the boots at positions [first, last] (the /tmp
// buffer's too when last is the newest), merged with its captured output
// of the launches in those boots.
void show_app(Printer& p, const LogsPlace& place, const BootList& list,
              int first, int last);

// Runs a view so that only its last n lines inside the window are printed
// (n < 0: all of them): a first pass counts. The boot view without a
// window reads only the end of its file.
void show_boot_last(Printer& p, const LogsPlace& place, const BootList& list,
                    int pos, std::int64_t n);
void show_app_last(Printer& p, const LogsPlace& place, const BootList& list,
                   int first, int last, std::int64_t n);

// Opens the /tmp buffer for reading, refusing a link or anything but a
// file; -1 when there is none.
int open_buffer(const char* path);

// The service log of position pos, for reading; -1 when it cannot be
// opened.
int open_boot(const LogsPlace& place, const BootList& list, int pos);

// True when the service-log line ev belongs to pkg's own view.
bool names_pkg(std::string_view text, std::string_view pkg);
