// quor_ctl: sends one line to quor_amsd's control socket and prints what the
// daemon answers until it closes the connection. Made for scripts: the exit
// status tells the outcome apart (see kHelp).
//
// Options are read only before the first word (or up to "--"), so later
// words may begin with "-" (a negative result code).

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amsd/base/clock.h"
#include "amsd/base/console.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/limits.h"
#include "amsd/base/options.h"
#include "amsd/base/paths.h"
#include "amsd/base/text.h"
#include "amsd/base/unix_addr.h"

namespace {

constexpr char CONSOLE[] = "quor_ctl: ";

// Exit statuses.
constexpr int EXIT_REPLY = 0;      // any reply but "ERR ...", or none
constexpr int EXIT_ERR = 1;        // the daemon answered "ERR ..."
constexpr int EXIT_USAGE = 2;      // bad command line
constexpr int EXIT_NO_DAEMON = 3;  // not reachable, or no end of reply in time

constexpr int DEFAULT_TIMEOUT_MS = 5000;  // for connecting and the whole reply
constexpr int MAX_TIMEOUT_MS = 3600 * 1000;
constexpr char HELP[] =
    "usage: quor_ctl [--sock <path>] [--timeout SEC] [--] <word>...\n"
    "       quor_ctl --version | -h\n"
    "Sends the words, joined by spaces, as one line to quor_amsd and prints\n"
    "the reply. Socket: --sock, else $QUOR_AMS_SOCK, else %s.\n"
    "--timeout SEC bounds connecting and the whole reply (default 5).\n"
    "\n"
    "Commands:\n"
    "  status                     running apps: pid, milliseconds up, "
    "activity\n"
    "  list                       registered apps with run state and counters\n"
    "  history [pkg]              an app's last events, or every app's\n"
    "  rescan                     scan the apps directory now\n"
    "  resolve <pkg> <activity>   the route an activity name resolves to\n"
    "  start <pkg>[/<act>]        have the launcher start an app\n"
    "  kill <pkg>                 have the launcher end a running app\n"
    "  picker <action>            start the app that handles a picker action\n"
    "  picker-status [id]         picker requests and their results\n"
    "Lines the launcher sends (EV ..., DECLARE ..., PICKER_...) get no reply.\n"
    "\n"
    "Exit status: 0 a reply other than \"ERR ...\" (or none), 1 an \"ERR\"\n"
    "reply, 2 a usage error, 3 the daemon unreachable or too slow.\n";

int usage_error(const char* why, const char* what) {
  console_line(CONSOLE, "%s%s", why, what);
  std::fprintf(stderr,
               "usage: quor_ctl [--sock <path>] [--timeout SEC] [--] "
               "<word>... (-h for help)\n");
  return EXIT_USAGE;
}

// Seconds, fractions allowed, to milliseconds; -1 unless 0 < SEC <= 1 h.
int parse_timeout(const char* text) {
  char* end = nullptr;
  double sec = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(sec > 0) ||
      sec * 1000 > MAX_TIMEOUT_MS) {
    return -1;
  }
  int ms = static_cast<int>(sec * 1000);
  return ms > 0 ? ms : 1;
}

// True for a reply that begins "ERR " (or is "ERR" alone on its line).
bool is_err_reply(const char* head, std::size_t n) {
  return n >= 4 && std::memcmp(head, "ERR", 3) == 0 &&
         (head[3] == ' ' || head[3] == '\n');
}

// Copies the reply to stdout until the daemon closes; EXIT_REPLY, EXIT_ERR,
// or EXIT_NO_DAEMON on a time-out or error.
int relay_reply(int fd, std::uint64_t deadline, int timeout_ms) {
  char head[4];
  std::size_t head_len = 0;
  char buf[4096];
  for (;;) {
    std::uint64_t now = monotonic_ms();
    if (now >= deadline) {
      console_line(CONSOLE, "no end of reply within %d ms", timeout_ms);
      return EXIT_NO_DAEMON;
    }
    if (wait_ready(fd, POLLIN, deadline, timeout_ms) != 0) {
      continue;  // the deadline check above ends it
    }
    ssize_t n = fd_read(fd, buf, sizeof buf);
    if (n == 0) {
      return is_err_reply(head, head_len) ? EXIT_ERR : EXIT_REPLY;
    }
    if (n < 0) {
      console_line(CONSOLE, "read: %s", std::strerror(errno));
      return EXIT_NO_DAEMON;
    }
    for (ssize_t k = 0; k < n && head_len < sizeof head; ++k) {
      head[head_len++] = buf[k];
    }
    std::fwrite(buf, 1, static_cast<std::size_t>(n), stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  char sock[SOCK_PATH_SIZE];
  copy_text(sock, paths::DEFAULT_SOCK);
  env_override(sock, "QUOR_AMS_SOCK");
  int timeout_ms = DEFAULT_TIMEOUT_MS;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const char* opt = argv[i];
    CommonOption common = common_option(opt);
    if (common == CommonOption::kEnd) {
      ++i;
      break;
    }
    if (common == CommonOption::kHelp) {
      std::printf(HELP, paths::DEFAULT_SOCK);
      return EXIT_REPLY;
    }
    if (common == CommonOption::kVersion) {
      std::printf("quor_ctl %s\n", QUOR_VERSION);
      return EXIT_REPLY;
    }
    bool is_sock = std::strcmp(opt, "--sock") == 0;
    if (!is_sock && std::strcmp(opt, "--timeout") != 0) {
      return usage_error("unknown option ", opt);
    }
    if (i + 1 >= argc) {
      return usage_error(opt, " needs a value");
    }
    const char* value = argv[++i];
    if (is_sock) {
      copy_text(sock, value);
    } else if ((timeout_ms = parse_timeout(value)) < 0) {
      return usage_error("--timeout wants seconds, up to 3600: ", value);
    }
  }
  if (i >= argc) {
    return usage_error("no command", "");
  }
  // The daemon holds at most this much of one line.
  char line[LINE_BUF_SIZE];
  std::size_t len = 0;
  for (; i < argc; ++i) {
    std::size_t n = std::strlen(argv[i]);
    std::size_t sep = len > 0 ? 1 : 0;
    if (len + sep + n + 1 > static_cast<std::size_t>(LINE_MAX_BYTES)) {
      console_line(CONSOLE, "line longer than %d bytes", LINE_MAX_BYTES - 1);
      return EXIT_USAGE;
    }
    if (sep) {
      line[len++] = ' ';
    }
    std::memcpy(line + len, argv[i], n);
    len += n;
  }
  line[len++] = '\n';

  std::uint64_t deadline = monotonic_ms() + static_cast<unsigned>(timeout_ms);
  // A daemon that stopped accepting leaves connect waiting in its backlog:
  // the send time-out bounds that wait, and the send.
  int fd = unix_connect_timed(sock, timeout_ms, false);
  if (fd < 0) {
    console_line(CONSOLE, "connect %s: %s", sock, std::strerror(errno));
    return EXIT_NO_DAEMON;
  }
  if (sock_send_all(fd, line, len, deadline, timeout_ms) != 0) {
    console_line(CONSOLE, "write: %s", std::strerror(errno));
    close(fd);
    return EXIT_NO_DAEMON;
  }
  // The daemon answers a command, or just closes after an event line, once
  // it sees the end of what we send.
  shutdown(fd, SHUT_WR);
  int rc = relay_reply(fd, deadline, timeout_ms);
  close(fd);
  std::fflush(stdout);
  return rc;
}
