// quor_pump: sends numbered lines to quor_amsd's control socket over one
// connection at a steady rate, as a launcher under load would. Event lines
// get no reply, so quor_ctl, one line per connection, cannot stream them;
// tests on a device use this instead.
//
//   quor_pump [--sock <p>] [--rate N] [--count N] [--first N] [--log FILE]
//             [--] LINE...
//
// Each round sends every LINE with "{n}" replaced by the round's number,
// "{ts}" by wall-clock seconds, "{up}" by uptime seconds and "{ms}" by uptime
// milliseconds (so a line on the card tells when it was sent). Rounds are
// numbered from --first (1) on, --count of them (1), --rate per second (0:
// as fast as the socket takes them). --log appends "<n> <uptime ms>" for each
// round as it goes out. SIGTERM or SIGINT ends it after the round in hand.
// Exit status: 0 all sent (or stopped), 1 the daemon could not be reached
// or closed the connection, 2 a usage error.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "amsd/base/clock.h"
#include "amsd/base/console.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/limits.h"
#include "amsd/base/options.h"
#include "amsd/base/paths.h"
#include "amsd/base/stop_signal.h"
#include "amsd/base/text.h"
#include "amsd/base/unix_addr.h"

namespace {

constexpr char CONSOLE[] = "quor_pump: ";

constexpr int MAX_LINES = 8;
constexpr int SEND_WAIT_MS = 10000;  // for one round: a daemon that stalls
constexpr char USAGE[] =
    "usage: quor_pump [--sock <p>] [--rate N] [--count N] [--first N] "
    "[--log FILE] [--] LINE...\n";

struct PumpConfig {
  char sock[SOCK_PATH_SIZE];
  long rate = 0;
  long count = 1;
  long first = 1;
  const char* log = nullptr;
  const char* lines[MAX_LINES];
  int n_lines = 0;
};

// Non-negative decimal number; -1 for anything else.
long parse_count(std::string_view text) {
  if (text.empty() || text.find_first_not_of("0123456789") != text.npos) {
    return -1;
  }
  return static_cast<long>(parse_clamped(text, 0, LONG_MAX));
}

int parse_args(PumpConfig& cfg, int argc, char** argv) {
  copy_text(cfg.sock, paths::DEFAULT_SOCK);
  env_override(cfg.sock, "QUOR_AMS_SOCK");
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    std::string_view a = argv[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) {
      std::fputs(USAGE, stderr);
      return 2;
    }
    const char* v = argv[++i];
    long* num = a == "--rate"    ? &cfg.rate
                : a == "--count" ? &cfg.count
                : a == "--first" ? &cfg.first
                                 : nullptr;
    if (num) {
      *num = parse_count(v);
      if (*num < 0) {
        console_line(CONSOLE, "bad number for %s: %s", argv[i - 1], v);
        return 2;
      }
    } else if (a == "--sock") {
      copy_text(cfg.sock, v);
    } else if (a == "--log") {
      cfg.log = v;
    } else {
      std::fputs(USAGE, stderr);
      return 2;
    }
  }
  for (; i < argc && cfg.n_lines < MAX_LINES; ++i) {
    cfg.lines[cfg.n_lines++] = argv[i];
  }
  if (cfg.n_lines == 0 || i < argc) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  return OPTIONS_RUN;
}

std::uint64_t clock_ms(clockid_t id) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000 +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
}

// A stop signal cuts the wait short.
void sleep_until_ms(std::uint64_t ms) {
  std::uint64_t now = monotonic_ms();
  if (ms > now) {
    fd_poll(nullptr, 0, static_cast<int>(ms - now), &g_stop_requested);
  }
}

// Appends line to out (room cap, used len) with its words filled in and a
// newline; false when it does not fit.
bool put_line(char* out, std::size_t cap, std::size_t& len, const char* line,
              long n) {
  char num[4][24];
  std::snprintf(num[0], sizeof num[0], "%ld", n);
  std::snprintf(num[1], sizeof num[1], "%ld",
                static_cast<long>(wall_seconds()));
  std::snprintf(num[2], sizeof num[2], "%ld",
                static_cast<long>(clock_ms(CLOCK_BOOTTIME) / 1000));
  std::snprintf(num[3], sizeof num[3], "%ld",
                static_cast<long>(clock_ms(CLOCK_BOOTTIME)));
  constexpr std::string_view KEYS[] = { "{n}", "{ts}", "{up}", "{ms}" };
  std::string_view rest = line;
  std::size_t start = len;
  while (!rest.empty()) {
    std::string_view piece = slice(rest, 0, 1);
    for (int k = 0; k < 4; ++k) {
      if (rest.starts_with(KEYS[k])) {
        piece = num[k];
        rest.remove_prefix(KEYS[k].size() - 1);
        break;
      }
    }
    rest.remove_prefix(1);
    if (len + piece.size() + 1 > cap) {
      return false;
    }
    std::memcpy(out + len, piece.data(), piece.size());
    len += piece.size();
  }
  if (len - start > static_cast<std::size_t>(LINE_MAX_BYTES)) {
    return false;
  }
  out[len++] = '\n';
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  static PumpConfig cfg;
  int status = parse_args(cfg, argc, argv);
  if (status != OPTIONS_RUN) {
    return status;
  }
  int log_fd = -1;
  if (cfg.log) {
    log_fd = open(cfg.log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
      console_line(CONSOLE, "%s: %s", cfg.log, std::strerror(errno));
      return 1;
    }
  }
  int fd = unix_connect(cfg.sock, SOCK_CLOEXEC);
  if (fd < 0) {
    console_line(CONSOLE, "connect %s: %s", cfg.sock, std::strerror(errno));
    return 1;
  }
  stop_signal_install(-1);
  static char round[MAX_LINES * LINE_BUF_SIZE];
  std::uint64_t start = monotonic_ms();
  for (long k = 0; k < cfg.count && !g_stop_requested; ++k) {
    if (cfg.rate > 0) {
      sleep_until_ms(start + static_cast<std::uint64_t>(k) * 1000 /
                                 static_cast<std::uint64_t>(cfg.rate));
      if (g_stop_requested) {
        break;
      }
    }
    long n = cfg.first + k;
    std::size_t len = 0;
    for (int i = 0; i < cfg.n_lines; ++i) {
      if (!put_line(round, sizeof round, len, cfg.lines[i], n)) {
        console_line(CONSOLE, "line too long: %s", cfg.lines[i]);
        return 2;
      }
    }
    if (log_fd >= 0) {
      char rec[48];
      int m = std::snprintf(
          rec, sizeof rec, "%ld %llu\n", n,
          static_cast<unsigned long long>(clock_ms(CLOCK_BOOTTIME)));
      fd_write(log_fd, rec, static_cast<std::size_t>(m));
    }
    errno = 0;
    if (sock_send_all(fd, round, len, monotonic_ms() + SEND_WAIT_MS, 1000) !=
        0) {
      console_line(CONSOLE, "round %ld not sent: %s", n,
                   errno ? std::strerror(errno) : "time-out");
      return 1;
    }
  }
  close(fd);
  return 0;
}
