#include "amsd/log/clock.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "amsd/base/fd_io.h"
#include "amsd/base/text.h"

long uptime_seconds(const char* uptime_path) {
  char buf[64];
  if (read_small_file(uptime_path, buf, sizeof buf, SMALL_FILE_ONE_READ) <= 0) {
    return 0;
  }
  double d = std::strtod(buf, nullptr);
  // A foreign file may hold anything; only a representable value converts.
  if (!(d > -2147483648.0 && d < 2147483648.0)) {
    return 0;
  }
  return static_cast<long>(d);
}

std::int64_t boot_time_seconds(const char* stat_path) {
  int fd = open(stat_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  // The line sits behind the per-CPU and interrupt lines, which can be long:
  // match it at line starts while streaming, without holding whole lines.
  static constexpr char BTIME_KEY[] = "btime ";
  constexpr std::size_t BTIME_KEY_LEN = sizeof BTIME_KEY - 1;
  std::size_t matched = 0;  // bytes of BTIME_KEY matched at this line's start
  bool at_start = true;
  bool in_value = false;
  std::int64_t value = -1;
  char buf[1024];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      char c = buf[i];
      if (in_value) {
        if (c < '0' || c > '9' || value > 999999999999) {
          close(fd);
          return value;
        }
        value = (value < 0 ? 0 : value * 10) + (c - '0');
      } else if (at_start && c == BTIME_KEY[matched]) {
        in_value = ++matched == BTIME_KEY_LEN;
      } else {
        at_start = c == '\n';
        matched = 0;
      }
    }
  }
  close(fd);
  return value;
}

void make_boot_stamp(char (&out)[BOOT_STAMP_SIZE], const char* bootts_path,
                     const char* uptime_path, const char* stat_path) {
  out[0] = '\0';
  char buf[64];
  if (read_small_file(bootts_path, buf, sizeof buf, SMALL_FILE_ONE_READ) > 0) {
    const char* s = buf;
    if (std::strncmp(s, "quor_", 5) == 0) {
      s += 5;
    }
    // The stamp names the card log: a "/" in it would place the file
    // outside the logs directory.
    if (std::strchr(s, '/') == nullptr) {
      copy_text(out, s);
    }
  }
  if (out[0] != '\0') {
    return;
  }
  // The kernel's figure is the same for every start of one boot; the wall
  // clock and the uptime, each cut to whole seconds, are not.
  std::int64_t btime = boot_time_seconds(stat_path);
  time_t boot = btime >= 0 ? static_cast<time_t>(btime)
                           : time(nullptr) - uptime_seconds(uptime_path);
  struct tm tmv;
  if (localtime_r(&boot, &tmv) == nullptr ||
      strftime(out, sizeof out, "%Y%m%d_%H%M%S", &tmv) == 0) {
    out[0] = '\0';
  }
}
