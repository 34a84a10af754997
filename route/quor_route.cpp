// quor_route: keeps the sound card's output port in step with the headset
// and balanced jacks. It polls the jacks' switch state files and reads and
// sets one mixer control through the mixer tool, run by /bin/sh.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amsd/base/clock.h"
#include "amsd/base/console.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/notify.h"
#include "amsd/base/options.h"
#include "amsd/base/stop_signal.h"
#include "amsd/base/text.h"

static constexpr int NUMID = 9;  // the mixer control that selects the port
static constexpr int PORT_HEADSET = 2;
static constexpr int PORT_BALANCE = 3;
static constexpr int DEFAULT_POLL_MS = 1000;
static constexpr int MIN_POLL_MS = 50;
static constexpr int SLICE_MS = 200;  // one sleep slice between cycles
static constexpr long SLICE_NS = 200000000;
static constexpr int IDLE_MS = 1500;  // the tool's output may pause this long
static constexpr int REAP_MS = 1500;  // the tool's time to end after output
static constexpr long REAP_POLL_NS = 10000000;  // 10 ms between exit checks
static constexpr std::size_t OUT_CAP = 4096;    // one tool run's output + NUL
static constexpr std::size_t CMD_CAP = 160;     // one command line + NUL
static constexpr std::size_t STATE_CAP = 32;    // one switch state + NUL
static constexpr char CONSOLE[] = "[quor_route] ";
static constexpr char USAGE[] =
    "quor_route [--ms MS] [--iters N]   (默认常驻轮询; N>0 跑 N 轮后退出)\n";

static constinit const char* g_amixer = "/usr/bin/amixer";
static constinit const char* g_headset = "/sys/class/switch/headset/state";
static constinit const char* g_balance = "/sys/class/switch/balance/state";
// Set by the stop signal (SIGTERM, SIGINT).
static volatile std::sig_atomic_t& g_shutdown = g_stop_requested;

struct Options {
  int poll_ms = DEFAULT_POLL_MS;
  long iters = 0;  // cycles to run; 0 runs until a stop signal
};

// What the loop remembers between cycles.
struct RouteState {
  int last_headset = -1;  // states of the last cycle whose reads succeeded
  int last_balance = -1;
  int port = -1;  // the port believed set; -1 when unknown
};

// Leading decimal integer of text, held within int; no number gives 0.
static int parse_int(const char* text) {
  return static_cast<int>(parse_clamped(text, INT_MIN, INT_MAX));
}

// Deadlines below are signed: what is left may be negative.
static std::int64_t now_ms() {
  return static_cast<std::int64_t>(monotonic_ms());
}

static int ms_until(std::int64_t deadline) {
  std::int64_t left = deadline - now_ms();
  return left > 0 ? static_cast<int>(left) : 0;
}

static const char* port_name(int port) {
  return port == PORT_BALANCE ? "4.4 balance" : "3.5 headset";
}

// The jack state held in path, or -1 when the file cannot be read at once.
// Non-blocking, so a FIFO or the like in the path cannot stall the loop:
// with no writer it reads empty, with a silent writer EAGAIN.
static int read_switch(const char* path) {
  char text[STATE_CAP];
  if (read_small_file(path, text, sizeof text, SMALL_FILE_ONE_READ) <= 0) {
    return -1;
  }
  return parse_int(text);
}

// Collects the child's output into buf until end of stream, IDLE_MS without
// data, a full buffer or a stop signal. Returns the bytes collected and sets
// eof when the writers closed the pipe.
static std::size_t read_output(int fd, char* buf, bool& eof) {
  std::size_t got = 0;
  std::int64_t idle_end = now_ms() + IDLE_MS;
  eof = false;
  while (got < OUT_CAP - 1) {
    // Once a stop is requested, a tool gets one slice to answer, so a stuck
    // one cannot hold up the exit.
    if (g_shutdown) {
      std::int64_t stop_end = now_ms() + SLICE_MS;
      if (stop_end < idle_end) {
        idle_end = stop_end;
      }
    }
    struct pollfd pfd = { fd, POLLIN, 0 };
    // A stop cuts the wait short; any other interruption does not.
    if (fd_poll(&pfd, 1, ms_until(idle_end), &g_shutdown) <= 0) {
      break;
    }
    ssize_t n = fd_read(fd, buf + got, OUT_CAP - 1 - got);
    if (n == 0) {
      eof = true;
      break;
    }
    if (n < 0) {
      if (errno == EAGAIN) {
        continue;
      }
      break;
    }
    got += static_cast<std::size_t>(n);
    idle_end = now_ms() + IDLE_MS;
  }
  return got;
}

// Reaps the child, which leads its own process group. A tool that does not
// end within its grace time is killed; so is anything left in its group
// when the output did not end cleanly, since that may still hold the pipe.
static void reap_child(pid_t pid, bool eof) {
  std::int64_t start = now_ms();
  bool ended = false;
  for (;;) {
    // WNOWAIT keeps the exited leader as a zombie, so its group id cannot
    // be reused before the kill below.
    int r = 0;
    if (child_exited(pid, &r)) {
      ended = true;
      break;
    }
    if (r < 0) {
      return;  // not our child any more: nothing to kill or reap
    }
    int grace = g_shutdown ? SLICE_MS : REAP_MS;
    if (now_ms() - start >= grace) {
      break;
    }
    struct timespec nap = { 0, REAP_POLL_NS };
    nanosleep(&nap, nullptr);
  }
  if (!ended || !eof) {
    kill(-pid, SIGKILL);
  }
  child_reap(pid);
}

// Runs cmd through /bin/sh and returns its standard output as a
// NUL-terminated heap buffer of OUT_CAP bytes, which the caller frees.
// Returns nullptr only when the child could not be started.
static char* popen_read_tmo(const char* cmd) {
  char* buf = static_cast<char*>(std::malloc(OUT_CAP));
  if (!buf) {
    return nullptr;
  }
  int fds[2];
  if (pipe(fds) != 0) {
    std::free(buf);
    return nullptr;
  }
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    std::free(buf);
    return nullptr;
  }
  if (pid == 0) {
    // Its own process group, so a stuck tool can be killed together with
    // whatever its shell started.
    setpgid(0, 0);
    // With standard output closed, the pipe may already sit on it.
    if (fds[1] != STDOUT_FILENO) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[1]);
    }
    if (fds[0] != STDOUT_FILENO) {
      close(fds[0]);
    }
    execl("/bin/sh", "sh", "-c", cmd, static_cast<char*>(nullptr));
    _exit(127);
  }
  // Also set here, so the group exists whichever side runs first.
  setpgid(pid, pid);
  close(fds[1]);
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  bool eof = false;
  std::size_t got = read_output(fds[0], buf, eof);
  close(fds[0]);
  reap_child(pid, eof);
  buf[got] = '\0';
  return buf;
}

// The first value of the first line that starts, after blanks and tabs,
// with ": values="; -1 when there is none.
static int find_values(const char* text) {
  static constexpr char KEY[] = ": values=";
  const char* line = text;
  for (;;) {
    while (*line == ' ' || *line == '\t') {
      ++line;
    }
    if (std::strncmp(line, KEY, sizeof KEY - 1) == 0) {
      return parse_int(line + sizeof KEY - 1);
    }
    const char* nl = std::strchr(line, '\n');
    if (!nl) {
      return -1;
    }
    line = nl + 1;
  }
}

// The control's current value, or -1.
static int amixer_get_port() {
  char cmd[CMD_CAP];
  // A cut command line could run something else; give up instead.
  if (format_path(cmd, sizeof cmd, "%s cget numid=%d 2>/dev/null", g_amixer,
                  NUMID) < 0) {
    return -1;
  }
  char* out = popen_read_tmo(cmd);
  if (!out) {
    return -1;
  }
  int port = find_values(out);
  std::free(out);
  return port;
}

static char* amixer_set_port(int wanted) {
  char cmd[CMD_CAP];
  if (format_path(cmd, sizeof cmd, "%s cset numid=%d %d 2>/dev/null", g_amixer,
                  NUMID, wanted) < 0) {
    return nullptr;
  }
  return popen_read_tmo(cmd);
}

// Sets the wanted port unless the mixer already has it. A failed set or
// read-back still records the port as set: the next try waits for a jack
// to change, so a broken tool is not run every cycle.
static void route_to(RouteState& st, int wanted) {
  st.port = amixer_get_port();
  if (st.port == wanted) {
    console_line(CONSOLE, "%s already routed (port=%d)", port_name(st.port),
                 st.port);
    return;
  }
  console_line(CONSOLE, "jack changed -> routing to %s (wanted %d, was %d)",
               port_name(wanted), wanted, st.port);
  char* out = amixer_set_port(wanted);
  if (!out) {
    console_line(CONSOLE, "amixer cset exec failed (wanted %d)", wanted);
    st.port = wanted;
    return;
  }
  std::free(out);
  int got = amixer_get_port();
  if (got == wanted) {
    console_line(CONSOLE, "routed ok: numid=9 -> %d (%s)", got,
                 port_name(wanted));
  } else {
    console_line(CONSOLE, "route verify failed: wanted %d got %d (no retry)",
                 wanted, got);
  }
  st.port = wanted;
}

static void run_cycle(RouteState& st) {
  int headset = read_switch(g_headset);
  int balance = read_switch(g_balance);
  if (headset < 0 || balance < 0) {
    console_line(CONSOLE,
                 "switch read err: headset=%d balance=%d (skip this cycle)",
                 headset, balance);
    return;
  }
  bool changed = headset != st.last_headset || balance != st.last_balance;
  st.last_headset = headset;
  st.last_balance = balance;
  int wanted = -1;
  if (balance == 1) {
    wanted = PORT_BALANCE;
  } else if (headset == 1) {
    wanted = PORT_HEADSET;
  }
  if (wanted < 0) {
    if (changed) {
      console_line(CONSOLE, "no jack (headset=%d balance=%d), keep last port",
                   headset, balance);
    }
    // The mixer keeps its port; forgetting it makes the next insertion ask.
    st.port = -1;
    return;
  }
  if (changed || wanted != st.port) {
    route_to(st, wanted);
  }
}

// A stop signal cuts the running slice short and skips the rest.
static void sleep_slices(int slices) {
  for (int i = 0; i < slices && !g_shutdown; ++i) {
    struct timespec ts = { 0, SLICE_NS };
    nanosleep(&ts, nullptr);
  }
}

// Returns false when the usage line was asked for (and printed).
static bool parse_args(int argc, char** argv, Options& opt) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    bool has_value = i + 1 < argc;
    if (std::strcmp(a, "--ms") == 0 && has_value) {
      int ms = parse_int(argv[++i]);
      opt.poll_ms = ms < MIN_POLL_MS ? MIN_POLL_MS : ms;
    } else if (std::strcmp(a, "--iters") == 0 && has_value) {
      opt.iters = static_cast<long>(parse_clamped(argv[++i], 0, LONG_MAX));
    } else if (common_option(a) == CommonOption::kHelp) {
      std::fputs(USAGE, stdout);
      return false;
    }
  }
  return true;
}

int main(int argc, char** argv) {
  g_amixer = env_or("QUOR_AMIXER", g_amixer);
  g_headset = env_or("QUOR_HEADSET_SW", g_headset);
  g_balance = env_or("QUOR_BALANCE_SW", g_balance);
  Options opt;
  if (!parse_args(argc, argv, opt)) {
    return 0;
  }
  // No wake pipe: the signal cuts sleeps and waits short by itself.
  stop_signal_install(-1);
  console_line(CONSOLE, "start: numid=%d poll_ms=%d amixer=%s", NUMID,
               opt.poll_ms, g_amixer);
  notify_service_manager("READY=1");
  int slices = opt.poll_ms < SLICE_MS ? 1 : opt.poll_ms / SLICE_MS;
  RouteState st;
  long cycles = 0;
  for (;;) {
    run_cycle(st);
    if (opt.iters != 0 && ++cycles >= opt.iters) {
      break;
    }
    if (g_shutdown) {
      break;
    }
    sleep_slices(slices);
    if (g_shutdown) {
      break;
    }
  }
  console_line(CONSOLE, "exit (iters=%ld)", opt.iters);
  return 0;
}
