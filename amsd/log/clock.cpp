#include "amsd/log/clock.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "amsd/core/text.h"

// One read of at most cap-1 bytes, NUL-terminated; returns the count or -1.
// O_NONBLOCK: a FIFO planted at a /tmp path must not stall the start-up.
static ssize_t read_small_file(const char* path, char* buf, std::size_t cap) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  ssize_t n = read(fd, buf, cap - 1);
  close(fd);
  if (n < 0) {
    return -1;
  }
  buf[n] = '\0';
  return n;
}

long uptime_seconds(const char* uptime_path) {
  char buf[64];
  if (read_small_file(uptime_path, buf, sizeof buf) <= 0) {
    return 0;
  }
  double d = std::strtod(buf, nullptr);
  // A foreign file may hold anything; only a representable value converts.
  if (!(d > -2147483648.0 && d < 2147483648.0)) {
    return 0;
  }
  return static_cast<long>(d);
}

void make_boot_stamp(char (&out)[BOOT_STAMP_SIZE], const char* bootts_path,
                     const char* uptime_path) {
  out[0] = '\0';
  char buf[64];
  if (read_small_file(bootts_path, buf, sizeof buf) > 0) {
    const char* s = buf;
    if (std::strncmp(s, "quor_", 5) == 0) {
      s += 5;
    }
    copy_text(out, s);
  }
  if (out[0] != '\0') {
    return;
  }
  time_t boot = time(nullptr) - uptime_seconds(uptime_path);
  struct tm tmv;
  if (localtime_r(&boot, &tmv) == nullptr ||
      strftime(out, sizeof out, "%Y%m%d_%H%M%S", &tmv) == 0) {
    out[0] = '\0';
  }
}
