// quor_logs: reads the logs that quor_amsd leaves on a card the way a
// journal is read: boots by index, one app's lines and output merged, a
// window of time, follow, JSON Lines for scripts, and a timeline picture.
//
// Exit status: 0, 1 when there is nothing to read (no logs, no such boot)
// or the output cannot be written, 2 on a usage error.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "amsd/base/options.h"
#include "amsd/base/paths.h"
#include "amsd/base/text.h"
#include "tools/logs/card.h"
#include "tools/logs/follow.h"
#include "tools/logs/timeline.h"
#include "tools/logs/views.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_NOTHING = 1;
constexpr int EXIT_USAGE = 2;

// Lines shown before following, when -n does not say.
constexpr std::int64_t FOLLOW_LINES = 10;

constexpr char USAGE[] =
    "usage: quor_logs [--card DIR] [--boot N | --list-boots] [--app PKG] "
    "[-n N]\n"
    "                 [--since T] [--until T] [-f] [--json] "
    "[--timeline FILE.svg]\n";

constexpr char HELP[] =
    "Reads the service logs and the captured app output that quor_amsd\n"
    "keeps on a card, in local time (TZ applies).\n"
    "\n"
    "  --card DIR        the card's mount point (default $QUOR_AMSD_CARD,\n"
    "                    else %s)\n"
    "  --list-boots      one line per boot: index, stamp, first and last\n"
    "                    time, lines, whether it ended with \"shutdown\"\n"
    "  --boot N          one boot: 0 the newest (default), -1 the one\n"
    "                    before, ...; 1 the oldest\n"
    "  --app PKG         the app's own service-log lines and its output,\n"
    "                    merged in time order, across boots\n"
    "  -n N              only the last N lines\n"
    "  --since T, --until T\n"
    "                    a window; T is @<epoch seconds> or\n"
    "                    \"YYYY-MM-DD HH:MM:SS\" (or YYYY-MM-DD) local time\n"
    "  -f                follow the current boot's log, or with --app the\n"
    "                    app's output from launch to launch; until SIGINT\n"
    "  --json            JSON Lines, one object per line\n"
    "  --timeline FILE.svg\n"
    "                    a picture of the boots: app runs, exits, requests,\n"
    "                    card pulls\n"
    "\n"
    "Exit status: 0; 1 no logs or no such boot; 2 a usage error.\n";

struct Options {
  char card[PATH_BUF_SIZE] = {};
  bool card_given = false;
  bool list_boots = false;
  bool has_boot = false;
  std::int64_t boot = 0;
  const char* app = nullptr;
  std::int64_t last_n = -1;
  Window window;
  bool follow = false;
  bool json = false;
  const char* timeline = nullptr;
};

int usage_error(const char* why, const char* what) {
  std::fprintf(stderr, "quor_logs: %s%s\n%s(-h for help)\n", why, what, USAGE);
  return EXIT_USAGE;
}

// A whole decimal number, optionally signed.
bool read_integer(const char* text, std::int64_t& v) {
  char* end = nullptr;
  long long n = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || !*text || text[0] == ' ') {
    return false;
  }
  v = n;
  return true;
}

// "@<epoch seconds>", "YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DD" in local time.
bool read_time(const char* text, std::int64_t& ts) {
  if (text[0] == '@') {
    return read_integer(text + 1, ts);
  }
  struct tm tm = {};
  char rest = 0;
  int n =
      std::sscanf(text, "%4d-%2d-%2d %2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon,
                  &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &rest);
  if (n != 6 && !(n == 3 && std::strlen(text) == 10)) {
    return false;
  }
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 ||
      tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60) {
    return false;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;  // whatever the zone says for that day
  time_t t = mktime(&tm);
  if (t == static_cast<time_t>(-1) && tm.tm_year != 69) {
    return false;
  }
  ts = t;
  return true;
}

// Returns -1 to go on, else the exit status.
int parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    CommonOption common = common_option(a);
    if (common == CommonOption::kHelp) {
      std::fputs(USAGE, stdout);
      std::printf(HELP, paths::DEFAULT_CARD);
      return EXIT_OK;
    }
    if (common == CommonOption::kVersion) {
      std::printf("quor_logs %s\n", QUOR_VERSION);
      return EXIT_OK;
    }
    if (common == CommonOption::kEnd) {
      if (i + 1 < argc) {
        return usage_error("unexpected argument ", argv[i + 1]);
      }
      break;
    }
    if (std::strcmp(a, "--list-boots") == 0) {
      o.list_boots = true;
      continue;
    }
    if (std::strcmp(a, "-f") == 0 || std::strcmp(a, "--follow") == 0) {
      o.follow = true;
      continue;
    }
    if (std::strcmp(a, "--json") == 0) {
      o.json = true;
      continue;
    }
    bool valued =
        std::strcmp(a, "--card") == 0 || std::strcmp(a, "--boot") == 0 ||
        std::strcmp(a, "--app") == 0 || std::strcmp(a, "-n") == 0 ||
        std::strcmp(a, "--since") == 0 || std::strcmp(a, "--until") == 0 ||
        std::strcmp(a, "--timeline") == 0;
    if (!valued) {
      return usage_error(
          a[0] == '-' ? "unknown option " : "unexpected argument ", a);
    }
    if (i + 1 >= argc) {
      return usage_error(a, " needs a value");
    }
    const char* v = argv[++i];
    if (std::strcmp(a, "--card") == 0) {
      if (copy_text(o.card, v) || !v[0]) {
        return usage_error("--card: path empty or too long: ", v);
      }
      o.card_given = true;
    } else if (std::strcmp(a, "--boot") == 0) {
      if (!read_integer(v, o.boot)) {
        return usage_error("--boot wants a number (0, -1, ...): ", v);
      }
      o.has_boot = true;
    } else if (std::strcmp(a, "--app") == 0) {
      if (!pkg_name_ok(v)) {
        return usage_error("--app wants a package id: ", v);
      }
      o.app = v;
    } else if (std::strcmp(a, "-n") == 0) {
      if (!read_integer(v, o.last_n) || o.last_n < 0) {
        return usage_error("-n wants a count: ", v);
      }
    } else if (std::strcmp(a, "--timeline") == 0) {
      if (!v[0]) {
        return usage_error("--timeline wants a file name", "");
      }
      o.timeline = v;
    } else {
      bool since = std::strcmp(a, "--since") == 0;
      std::int64_t& t = since ? o.window.since : o.window.until;
      if (!read_time(v, t)) {
        return usage_error(
            "a time is @<epoch seconds> or \"YYYY-MM-DD HH:MM:SS\": ", v);
      }
      (since ? o.window.has_since : o.window.has_until) = true;
    }
  }
  if (o.list_boots && (o.has_boot || o.app || o.follow || o.timeline)) {
    return usage_error("--list-boots goes with --card and --json only", "");
  }
  if (o.timeline && (o.follow || o.json || o.last_n >= 0)) {
    return usage_error("--timeline goes with --card, --boot, --app, --since ",
                       "and --until only");
  }
  if (o.follow && o.has_boot && o.boot != 0) {
    return usage_error("-f follows the current boot: --boot 0 only", "");
  }
  return -1;
}

// The logs' place on the card; the /tmp buffer belongs to it only on the
// device, where the card root is the daemon's.
int find_logs(const Options& o, LogsPlace& place) {
  char card[PATH_BUF_SIZE];
  copy_text(card, o.card_given ? o.card : paths::DEFAULT_CARD);
  if (!o.card_given) {
    env_override(card, "QUOR_AMSD_CARD");
    place.buffer_path = paths::BUFFER_LOG;
  }
  struct stat st;
  if (format_path(place.logs_dir, sizeof place.logs_dir, "%s/%s", card,
                  paths::CARD_LOGS_SUBDIR) < 0 ||
      stat(place.logs_dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr,
                 "quor_logs: no %s under %s: not a card quor_amsd wrote "
                 "to, or not mounted there (--card DIR)\n",
                 paths::CARD_LOGS_SUBDIR, card);
    if (place.buffer_path && stat(place.buffer_path, &st) == 0) {
      std::fprintf(stderr, "quor_logs: lines not yet on the card are in %s\n",
                   place.buffer_path);
    }
    return -1;
  }
  return 0;
}

// The program's state, at namespace scope: a static in a function would be
// made on first use behind a guard, which brings in exception support.
Options g_options;
LogsPlace g_place;
Printer g_printer;
BootList g_boots;
Out g_out;

}  // namespace

int main(int argc, char** argv) {
  Options& o = g_options;
  int rc = parse(argc, argv, o);
  if (rc >= 0) {
    return rc;
  }
  LogsPlace& place = g_place;
  if (find_logs(o, place) != 0) {
    return EXIT_NOTHING;
  }
  if (boot_list_read(place.logs_dir, g_boots) != 0) {
    std::fprintf(stderr, "quor_logs: cannot read %s\n", place.logs_dir);
    return EXIT_NOTHING;
  }
  Printer& p = g_printer;
  p.out = &g_out;
  p.json = o.json;
  p.window = o.window;
  p.buffer_path = place.buffer_path ? place.buffer_path : "";
  if (o.list_boots) {
    print_boot_list(p, place, g_boots);
    out_flush(g_out);
    return g_out.failed ? EXIT_NOTHING : EXIT_OK;
  }
  int first = 0;
  int last = g_boots.count - 1;
  if (o.has_boot || !o.app) {
    first = last = boot_position(g_boots, o.boot);
  }
  if (g_boots.count == 0 || first < 0) {
    if (g_boots.count == 0) {
      std::fprintf(stderr, "quor_logs: no service log in %s\n", place.logs_dir);
    } else {
      std::fprintf(stderr,
                   "quor_logs: no boot %lld: the card holds %d, from %lld "
                   "to 0 (see --list-boots)\n",
                   static_cast<long long>(o.boot), g_boots.count,
                   static_cast<long long>(boot_index(g_boots, 0)));
    }
    return EXIT_NOTHING;
  }
  if (o.timeline) {
    if (!o.has_boot) {
      first = 0;
      last = g_boots.count - 1;
    }
    return write_timeline(o.timeline, place, g_boots, first, last,
                          o.app ? o.app : "", o.window) == 0
               ? EXIT_OK
               : EXIT_NOTHING;
  }
  if (o.app) {
    p.kind = ViewKind::kApp;
    p.pkg = o.app;
  }
  if (o.follow) {
    std::int64_t n = o.last_n >= 0 ? o.last_n : FOLLOW_LINES;
    return follow(p, place, g_boots, first, last, n) == 0 ? EXIT_OK
                                                          : EXIT_NOTHING;
  }
  if (o.app) {
    show_app_last(p, place, g_boots, first, last, o.last_n);
  } else {
    show_boot_last(p, place, g_boots, first, o.last_n);
  }
  out_flush(g_out);
  return g_out.failed ? EXIT_NOTHING : EXIT_OK;
}
