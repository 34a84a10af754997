// Runs quor_amsd and the minimal poll() server of minimal_server.c side by
// side, alternating them over several rounds on scratch directories, and
// prints each one's figures and the ratios quor_amsd / minimal. Then counts
// quor_route's system calls per steady cycle under strace. All traffic is on
// local UNIX sockets; a run takes about a minute.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using Clock = std::chrono::steady_clock;
using e2e::Millis;
using namespace std::chrono_literals;

constexpr int ROUNDS = 5;
constexpr int ONE_CLIENT_TRIPS = 10000;
constexpr int CLIENTS = 8;
constexpr int TRIPS_PER_CLIENT = 1500;
constexpr long INGEST_LINES = 600000;
constexpr long STREAM_LINES = 1000000;
constexpr int ROUTE_ITERS = 12;   // cycles of 200 ms under strace
constexpr int IO_TIMEOUT_S = 10;  // a stuck server fails the run, not hangs it
constexpr Millis CAPTURE_DEADLINE = 30s;
constexpr long ROTATE_BYTES = 1048576;  // quor_amsd's capture file limit

// Every "EV OUT" line has the same length, so byte counts give line counts.
constexpr char PKG[] = "bench";
constexpr long PID = 4242;
constexpr long UP = 12345;
constexpr char TEXT[] = "the quick brown fox jumps over the lazy dog";
constexpr long TS_INGEST = 1700000001;  // one launch per phase
constexpr long TS_STREAM = 1700000002;

bool g_failed = false;

void fail(const char* what) {
  std::fprintf(stderr, "FAILED: %s\n", what);
  g_failed = true;
}

std::string out_line(long ts) {
  return "EV OUT " + std::string(PKG) + " " + std::to_string(PID) + " " +
         std::to_string(ts) + " " + std::to_string(UP) + " " + TEXT + "\n";
}

long captured_line_size(long ts) {
  char line[256];
  return std::snprintf(line, sizeof line, "[%ld|up=%ld] %s\n", ts, UP, TEXT);
}

long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

long status_kib(pid_t pid, const char* key) {
  std::string text = read_file("/proc/" + std::to_string(pid) + "/status");
  std::size_t at = text.find(std::string(key) + ":");
  return at == std::string::npos
             ? -1
             : std::atol(text.c_str() + at + std::strlen(key) + 1);
}

std::string find_on_path(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) {
      end = dirs.size();
    }
    std::string file = dirs.substr(start, end - start) + "/" + name;
    if (access(file.c_str(), X_OK) == 0) {
      return file;
    }
    start = end + 1;
  }
  return "";
}

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Nearest-rank percentile.
double percentile(std::vector<double> v, double p) {
  if (v.empty()) {
    return 0;
  }
  std::sort(v.begin(), v.end());
  std::size_t rank = static_cast<std::size_t>(std::ceil(p * v.size()));
  return v[std::max<std::size_t>(rank, 1) - 1];
}

double median(std::vector<double> v) {
  return percentile(std::move(v), 0.5);
}

// A blocking client socket whose reads and writes give up after a while.
int connect_to(const std::string& sock) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  struct timeval tv = { IO_TIMEOUT_S, 0 };
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) {
      continue;
    }
    if (w <= 0) {
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// "status" on a fresh connection, read up to the server's close.
bool round_trip(const std::string& sock) {
  int fd = connect_to(sock);
  if (fd < 0) {
    return false;
  }
  bool ok = send_all(fd, "status\n", 7);
  char buf[512];
  ssize_t n, got = 0;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    got += n;
  }
  close(fd);
  return ok && n == 0 && got > 0;
}

// One program under test, on a scratch directory of its own.
class Subject {
 public:
  virtual ~Subject() = default;
  virtual bool start() = 0;
  virtual pid_t pid() = 0;
  virtual const std::string& sock() const = 0;
  // Bytes of output captured so far for the launch stamped ts.
  virtual long captured(long ts) const = 0;
};

class MinimalSubject : public Subject {
 public:
  bool start() override {
    return proc_.spawn({ MINIMAL_SERVER_BIN, sock_, capture_ }, {},
                       dir_.file("out"), dir_.file("err"), dir_.path()) &&
           e2e::wait_until([&] {
             int fd = connect_to(sock_);
             return fd >= 0 && close(fd) == 0;
           });
  }
  pid_t pid() override { return proc_.pid(); }
  const std::string& sock() const override { return sock_; }
  // One file for every launch: callers count from a baseline.
  long captured(long) const override { return file_size(capture_); }

 private:
  TempDir dir_;
  std::string sock_ = dir_.file("s.sock");
  std::string capture_ = dir_.file("capture.log");
  e2e::Process proc_;
};

class AmsdSubject : public Subject {
 public:
  bool start() override { return amsd_.start(); }
  pid_t pid() override { return amsd_.process().pid(); }
  const std::string& sock() const override { return amsd_.sock; }
  // The file is rotated at 1 MiB, keeping one older generation, so earlier
  // generations are counted from the service log's rotate lines: each one
  // held as many whole lines as fit in 1 MiB. The log is read before the
  // file, so a rotation in between can only make the count too low.
  long captured(long ts) const override {
    std::string path = amsd_.logs + "/" + PKG + "/stdout_" +
                       std::to_string(ts) + "_" + std::to_string(PID) + ".log";
    long rotations =
        e2e::count_of(amsd_.service_log(), "stdout rotate -> " + path + ".1\n");
    long line = captured_line_size(ts);
    return rotations * (ROTATE_BYTES / line * line) + file_size(path);
  }

 private:
  TempDir dir_;
  e2e::Amsd amsd_{ dir_ };
};

struct Trips {
  double per_sec = 0;
  double p99_us = 0;
};

// Each client makes per_client round trips, one after the other.
Trips one_shots(const std::string& sock, int clients, int per_client) {
  std::vector<std::vector<double>> lat(static_cast<std::size_t>(clients));
  std::atomic<int> failures{ 0 };
  Clock::time_point t0 = Clock::now();
  std::vector<std::thread> threads;
  for (std::vector<double>& mine : lat) {
    threads.emplace_back([&sock, &mine, &failures, per_client] {
      mine.reserve(static_cast<std::size_t>(per_client));
      for (int i = 0; i < per_client; ++i) {
        Clock::time_point a = Clock::now();
        failures += !round_trip(sock);
        mine.push_back(seconds_since(a) * 1e6);
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  double secs = seconds_since(t0);
  std::vector<double> all;
  for (const std::vector<double>& v : lat) {
    all.insert(all.end(), v.begin(), v.end());
  }
  if (failures > 0) {
    fail("a round trip got no reply");
  }
  return { static_cast<double>(all.size()) / secs, percentile(all, 0.99) };
}

// A stream connection: the launch report, then count "EV OUT" lines in
// blocks of whole lines, as fast as the server reads them.
class Stream {
 public:
  Stream(Subject& s, long ts) : s_(s), ts_(ts), fd_(connect_to(s.sock())) {
    std::string launch = "EV LAUNCH " + std::string(PKG) + " main - " +
                         std::to_string(PID) + " " + std::to_string(ts) + " " +
                         std::to_string(UP) + "\n";
    if (fd_ < 0 || !send_all(fd_, launch.data(), launch.size())) {
      fail("no stream connection");
    }
  }
  ~Stream() {
    if (sender_.joinable()) {
      sender_.join();
    }
    if (fd_ >= 0) {
      close(fd_);
    }
  }

  void start(long count) {
    base_ = s_.captured(ts_);
    expect_ = base_ + count * captured_line_size(ts_);
    sender_ = std::thread([this, count] {
      std::string line = out_line(ts_);
      long per_block = 65536 / static_cast<long>(line.size());
      std::string block;
      for (long i = 0; i < per_block; ++i) {
        block += line;
      }
      for (long left = count; left > 0; left -= per_block) {
        std::size_t n =
            line.size() * static_cast<std::size_t>(std::min(left, per_block));
        if (!send_all(fd_, block.data(), n)) {
          fail("the server stopped reading the stream");
          break;
        }
      }
      sent_ = true;
    });
  }
  bool sent() const { return sent_; }
  // Waits until the sender is done and every line is in the capture; more
  // than was sent would mean the count is wrong.
  bool finish() {
    sender_.join();
    return e2e::wait_until([this] { return s_.captured(ts_) >= expect_; },
                           CAPTURE_DEADLINE) &&
           s_.captured(ts_) == expect_;
  }

 private:
  Subject& s_;
  long ts_;
  int fd_;
  long base_ = 0;
  long expect_ = 0;
  std::atomic<bool> sent_{ false };
  std::thread sender_;
};

// Lines per second, from the first byte sent until all are in the file.
double ingest(Subject& s, long lines) {
  Stream st(s, TS_INGEST);
  // The launch report opens the file; it went out before this connection
  // was made, so once the reply is in, the launch is done and not timed.
  if (!e2e::wait_until([&] { return round_trip(s.sock()); })) {
    fail("no reply before the ingest");
  }
  Clock::time_point t0 = Clock::now();
  st.start(lines);
  if (!st.finish()) {
    fail("not every EV OUT line reached the capture file");
    return 0;
  }
  return static_cast<double>(lines) / seconds_since(t0);
}

// p99 of "status" round trips, back to back, while a stream runs.
double status_during_stream(Subject& s, long lines, std::size_t& probes) {
  Stream st(s, TS_STREAM);
  st.start(lines);
  std::vector<double> lat;
  while (!st.sent()) {
    Clock::time_point a = Clock::now();
    if (!round_trip(s.sock())) {
      fail("status got no reply during the stream");
      break;
    }
    lat.push_back(seconds_since(a) * 1e6);
  }
  if (!st.finish()) {
    fail("the stream did not reach the capture file");
  }
  probes = lat.size();
  return percentile(lat, 0.99);
}

enum Figure {
  RT1,
  P99_1,
  RT8,
  P99_8,
  INGEST,
  STREAM_P99,
  HWM,
  FIGURES,
};

const char* const FIGURE_NAMES[FIGURES] = {
  "one-shot round trips/s, 1 client",
  "p99 round trip us, 1 client",
  "one-shot round trips/s, 8 clients",
  "p99 round trip us, 8 clients",
  "EV OUT lines/s into the capture",
  "p99 \"status\" us during a stream",
  "peak RSS KiB (VmHWM)",
};

using Round = std::array<double, FIGURES>;

Round measure(Subject& s, std::size_t& probes) {
  Round r{};
  if (!s.start()) {
    fail("the server did not start");
    return r;
  }
  Trips one = one_shots(s.sock(), 1, ONE_CLIENT_TRIPS);
  Trips eight = one_shots(s.sock(), CLIENTS, TRIPS_PER_CLIENT);
  r[RT1] = one.per_sec;
  r[P99_1] = one.p99_us;
  r[RT8] = eight.per_sec;
  r[P99_8] = eight.p99_us;
  r[INGEST] = ingest(s, INGEST_LINES);
  r[STREAM_P99] = status_during_stream(s, STREAM_LINES, probes);
  r[HWM] = static_cast<double>(status_kib(s.pid(), "VmHWM"));
  return r;
}

void print_round(int round, const char* name, const Round& r,
                 std::size_t probes) {
  std::printf(
      "round %d %-9s  rt/s %6.0f p99 %5.0f us | 8 clients rt/s %6.0f p99 "
      "%5.0f us | ingest %7.0f lines/s | status p99 %5.0f us (%zu probes) | "
      "%4.0f KiB\n",
      round, name, r[RT1], r[P99_1], r[RT8], r[P99_8], r[INGEST], r[STREAM_P99],
      probes, r[HWM]);
  std::fflush(stdout);
}

// Size of a stripped copy of the binary, or -1.
long stripped_size(const std::string& strip, const std::string& binary) {
  TempDir dir;
  std::string copy = dir.file("copy");
  if (!write_file(copy, read_file(binary))) {
    return -1;
  }
  e2e::Process p;
  if (!p.spawn({ strip, copy }, {}, dir.file("out"), dir.file("err"),
               dir.path()) ||
      p.wait_exit() != 0) {
    return -1;
  }
  return file_size(copy);
}

void print_sizes() {
  std::string strip = find_on_path("strip");
  if (strip.empty()) {
    std::printf("stripped sizes: skipped: strip not installed\n");
    return;
  }
  long amsd = stripped_size(strip, e2e::Amsd::binary());
  long minimal = stripped_size(strip, MINIMAL_SERVER_BIN);
  long route = stripped_size(strip, QUOR_ROUTE_BIN);
  std::printf("%-36s %10ld %10ld %7.2f\n", "stripped size bytes (strip copy)",
              minimal, amsd,
              static_cast<double>(amsd) / static_cast<double>(minimal));
  std::printf("%-36s %10ld\n", "quor_route stripped size bytes", route);
}

// One line of an "strace -f" trace: pid and system call name; an empty
// name for resumptions, signals and exits.
struct Call {
  long pid = 0;
  std::string name;
};

std::vector<Call> parse_trace(const std::string& text) {
  std::vector<Call> calls;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    Call c;
    c.pid = std::atol(line.c_str());
    // strace pads pids to five columns: "4518  read(" as "14518 read(".
    std::size_t name = line.find_first_not_of(' ', line.find(' '));
    std::size_t paren = line.find('(');
    if (name != std::string::npos && paren != std::string::npos &&
        name < paren && line.compare(name, 3, "<..") != 0) {
      c.name = line.substr(name, paren - name);
    }
    if (c.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") !=
        std::string::npos) {
      c.name.clear();
    }
    calls.push_back(c);
  }
  return calls;
}

bool is_fork(const std::string& name) {
  return name == "fork" || name == "vfork" || name == "clone" ||
         name == "clone3";
}

// quor_route under "strace -f" with both jack files present and steady
// (headset in): the first cycle routes through the mixer tool; the later
// ones are cut out of the trace at the slice sleeps that end them.
void route_cycle() {
  const char* head = "quor_route steady cycle:";
  std::string strace = find_on_path("strace");
  if (strace.empty()) {
    std::printf("%s skipped: strace not installed\n", head);
    return;
  }
  TempDir dir;
  std::string amixer = dir.file("fake_amixer.sh");
  write_file(amixer, read_file(QUOR_FAKE_AMIXER));
  chmod(amixer.c_str(), 0755);
  write_file(dir.file("headset"), "1\n");
  write_file(dir.file("balance"), "0\n");
  e2e::Process p;
  std::string trace = dir.file("trace");
  bool ran = p.spawn({ strace, "-f", "-o", trace, "--", QUOR_ROUTE_BIN, "--ms",
                       "200", "--iters", std::to_string(ROUTE_ITERS) },
                     { "QUOR_AMIXER=" + amixer,
                       "QUOR_HEADSET_SW=" + dir.file("headset"),
                       "QUOR_BALANCE_SW=" + dir.file("balance"),
                       "FAKE_AMIXER_DIR=" + dir.path() },
                     dir.file("out"), dir.file("err"), dir.path()) &&
             p.wait_exit(60s) == 0;
  std::vector<Call> calls = parse_trace(read_file(trace));
  if (!ran || calls.empty()) {
    std::printf("%s could not run quor_route under strace\n", head);
    g_failed = true;
    return;
  }
  long route = calls.front().pid;
  // The cycles end in ROUTE_ITERS - 1 slice sleeps, the last sleeps of the
  // run; only the first cycle's waits for the mixer tool come before them.
  std::vector<std::size_t> sleeps;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].pid == route && calls[i].name.ends_with("nanosleep")) {
      sleeps.push_back(i);
    }
  }
  if (sleeps.size() < static_cast<std::size_t>(ROUTE_ITERS) - 1) {
    std::printf("%s the trace has too few sleeps\n", head);
    g_failed = true;
    return;
  }
  sleeps.erase(sleeps.begin(), sleeps.end() - (ROUTE_ITERS - 1));
  std::vector<double> per_cycle;
  long forks = 0, others = 0, first_forks = 0;
  std::string one;
  for (std::size_t i = 0; i < sleeps.front(); ++i) {
    first_forks += calls[i].pid == route && is_fork(calls[i].name);
  }
  for (std::size_t k = 0; k + 1 < sleeps.size(); ++k) {
    long n = 0;
    for (std::size_t i = sleeps[k] + 1; i <= sleeps[k + 1]; ++i) {
      if (calls[i].name.empty()) {
        continue;
      }
      if (calls[i].pid != route) {
        ++others;
        continue;
      }
      ++n;
      forks += is_fork(calls[i].name);
      if (k == 0) {
        one += " " + calls[i].name;
      }
    }
    per_cycle.push_back(static_cast<double>(n));
  }
  std::sort(per_cycle.begin(), per_cycle.end());
  std::printf(
      "%s %.0f system calls (min %.0f, max %.0f over %zu cycles:%s), "
      "%ld forks/clones, %ld calls by other processes; first cycle: %ld "
      "forks (mixer tool)\n",
      head, median(per_cycle), per_cycle.front(), per_cycle.back(),
      per_cycle.size(), one.c_str(), forks, others, first_forks);
}

}  // namespace

int main() {
  std::printf(
      "quor_amsd against a minimal poll() server, %d rounds, alternating.\n"
      "Per round: %d one-shot \"status\" round trips from 1 client, %d from "
      "each of %d clients at once;\n%ld \"EV OUT\" lines on one connection "
      "(timed until all are in the capture file);\n\"status\" round trips "
      "back to back while %ld more lines stream on another connection.\n\n",
      ROUNDS, ONE_CLIENT_TRIPS, TRIPS_PER_CLIENT, CLIENTS, INGEST_LINES,
      STREAM_LINES);
  std::fflush(stdout);
  std::vector<Round> minimal, amsd;
  for (int round = 1; round <= ROUNDS && !g_failed; ++round) {
    // Alternate who goes first, so neither always meets a warmer machine.
    for (int turn = 0; turn < 2; ++turn) {
      bool minimal_turn = (turn == 0) == (round % 2 == 1);
      std::unique_ptr<Subject> s;
      if (minimal_turn) {
        s = std::make_unique<MinimalSubject>();
      } else {
        s = std::make_unique<AmsdSubject>();
      }
      std::size_t probes = 0;
      Round r = measure(*s, probes);
      (minimal_turn ? minimal : amsd).push_back(r);
      print_round(round, minimal_turn ? "minimal" : "quor_amsd", r, probes);
    }
  }
  if (g_failed) {
    return 1;
  }
  std::printf(
      "\nmedians over %d rounds; ratio = median of the per-round "
      "ratios quor_amsd / minimal\n",
      ROUNDS);
  std::printf("%-36s %10s %10s %7s  %s\n", "", "minimal", "quor_amsd", "ratio",
              "per round");
  for (int f = 0; f < FIGURES; ++f) {
    std::vector<double> m, a, ratio;
    for (std::size_t i = 0; i < minimal.size(); ++i) {
      m.push_back(minimal[i][f]);
      a.push_back(amsd[i][f]);
      ratio.push_back(amsd[i][f] / minimal[i][f]);
    }
    std::printf("%-36s %10.0f %10.0f %7.2f  %.2f..%.2f\n", FIGURE_NAMES[f],
                median(m), median(a), median(ratio),
                *std::min_element(ratio.begin(), ratio.end()),
                *std::max_element(ratio.begin(), ratio.end()));
  }
  print_sizes();
  std::printf("\n");
  route_cycle();
  return g_failed ? 1 : 0;
}
