// quor_logs on a full card: generates a card with 1 GiB of logs (16 boots'
// service logs, 3/4 of it, and the capture files of 20 apps), runs the real
// program on it and prints how long --list-boots takes, the rate of the
// full views and each run's peak resident memory, beside a tiny card's.
// The card is made under $TMPDIR (else /tmp) and deleted afterwards.
//
//   logs_bench [--mib N]     (default 1024)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int BOOTS = 16;
constexpr int APPS = 20;
constexpr std::int64_t MIB = 1 << 20;

std::string g_card;

std::string app_name(int a) {
  return "app" + std::to_string(a);
}

// Appends lines to path until it holds `bytes`.
class Writer {
 public:
  explicit Writer(const std::string& path) : f_(std::fopen(path.c_str(), "w")) {
    std::setvbuf(f_, nullptr, _IOFBF, 1 << 20);
  }
  ~Writer() { std::fclose(f_); }
  [[gnu::format(printf, 2, 3)]] void line(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    written_ += std::vfprintf(f_, fmt, ap);
    va_end(ap);
  }
  std::int64_t written() const { return written_; }

 private:
  FILE* f_;
  std::int64_t written_ = 0;
};

// One boot: scans, starts, launches, exits and capture lines of the daemon,
// a few per simulated second.
void make_boot(int boot, std::int64_t bytes, long* ts) {
  char name[64];
  std::snprintf(name, sizeof name, "/QuorOS/logs/ams_202501%02d_080000.log",
                boot + 1);
  Writer w(g_card + name);
  long up = 3;
  // A few lines a second, as on a busy device.
  for (int n = 0; w.written() < bytes - 200; ++n) {
    if (n % 4 == 0) {
      ++*ts;
      ++up;
    }
    int a = n % APPS;
    std::string pkg = app_name(a);
    switch (n % 5) {
    case 0:
      w.line("%ld %ld amsd AMS start %s/main forwarded to launcher\n", *ts, up,
             pkg.c_str());
      break;
    case 1:
      w.line("%ld %ld amsd LAUNCH %s main %s/Main;%s/Face pid=%d\n", *ts, up,
             pkg.c_str(), pkg.c_str(), pkg.c_str(), 1000 + n % 30000);
      break;
    case 2:
      w.line(
          "%ld %ld amsd stdout session open: %s (pid=%d) -> "
          "/usr/data/mnt/sd_0/QuorOS/logs/%s/stdout_%ld_%d.log\n",
          *ts, up, pkg.c_str(), 1000 + n % 30000, pkg.c_str(), *ts,
          1000 + n % 30000);
      break;
    case 3:
      w.line("%ld %ld amsd EXIT %s exit=%d dur=%d abnormal=%d\n", *ts, up,
             pkg.c_str(), n % 7 == 0, 1000 + n % 5000, n % 7 == 0);
      break;
    default:
      w.line(
          "%ld %ld amsd registry scan: %d dir(s) from "
          "/usr/data/mnt/sd_0/QuorAPPs, %d app(s) registered\n",
          *ts, up, APPS, APPS);
      break;
    }
  }
  w.line("%ld %ld amsd shutdown\n", *ts, up);
  *ts += 3600;
}

// The captures of app a: files of about 1 MiB, as the daemon rotates them.
void make_captures(int a, std::int64_t bytes, long ts) {
  std::string dir = g_card + "/QuorOS/logs/" + app_name(a);
  mkdir(dir.c_str(), 0755);
  for (int file = 0; bytes > 0; ++file, ts += 7200) {
    Writer w(dir + "/stdout_" + std::to_string(ts) + "_" +
             std::to_string(2000 + file) + ".log");
    long t = ts;
    for (int n = 0; w.written() < MIB && w.written() < bytes; ++n) {
      t += n % 4 == 0;
      w.line("[%ld|up=%d] frame %d rendered in %d ms, queue %d\n", t, n, n,
             n % 17, n % 5);
    }
    bytes -= w.written();
  }
}

struct Run {
  double seconds = 0;
  long max_rss_kib = 0;
  int status = -1;
};

Run run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string bin = QUOR_LOGS_BIN;
  argv.push_back(bin.data());
  std::vector<std::string> copy = args;
  for (std::string& a : copy) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  Run r;
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), environ) != 0) {
    return r;
  }
  int status = 0;
  struct rusage ru;
  wait4(pid, &status, 0, &ru);
  r.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
          .count();
  r.max_rss_kib = ru.ru_maxrss;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  posix_spawn_file_actions_destroy(&fa);
  return r;
}

std::int64_t size_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t total = 1024 * MIB;
  if (argc == 3 && std::strcmp(argv[1], "--mib") == 0) {
    total = std::atoll(argv[2]) * MIB;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string base =
      std::string(tmp && *tmp ? tmp : "/tmp") + "/logs_bench.XXXXXX";
  if (!mkdtemp(base.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  g_card = base;
  mkdir((g_card + "/QuorOS").c_str(), 0755);
  mkdir((g_card + "/QuorOS/logs").c_str(), 0755);
  std::printf("card %s: generating %lld MiB\n", g_card.c_str(),
              static_cast<long long>(total / MIB));
  std::int64_t service = total * 3 / 4;
  long ts = 1735700000;
  for (int b = 0; b < BOOTS; ++b) {
    make_boot(b, service / BOOTS, &ts);
  }
  for (int a = 0; a < APPS; ++a) {
    make_captures(a, (total - service) / APPS, 1735700000 + a * 60);
  }
  std::string boot_file = g_card + "/QuorOS/logs/ams_20250116_080000.log";
  std::int64_t boot_bytes = size_of(boot_file);
  std::int64_t app_bytes = 0;
  std::string du = "du -sb " + g_card + "/QuorOS/logs/" + app_name(0);
  if (FILE* p = popen(du.c_str(), "r")) {
    long long n = 0;
    if (std::fscanf(p, "%lld", &n) == 1) {
      app_bytes = n;
    }
    pclose(p);
  }
  app_bytes += service;  // the app view reads every service log as well

  // Warm: the page cache holds the card, as after a first read.
  run({ "--card", g_card, "--boot", "1" });
  Run list[3];
  for (Run& r : list) {
    r = run({ "--card", g_card, "--list-boots" });
  }
  Run boot = run({ "--card", g_card });
  Run boot_json = run({ "--card", g_card, "--json" });
  Run app = run({ "--card", g_card, "--app", app_name(0) });
  Run last = run({ "--card", g_card, "-n", "10" });
  std::string tiny = base + "/tiny";
  mkdir(tiny.c_str(), 0755);
  mkdir((tiny + "/QuorOS").c_str(), 0755);
  mkdir((tiny + "/QuorOS/logs").c_str(), 0755);
  if (FILE* f = std::fopen((tiny + "/QuorOS/logs/ams_1.log").c_str(), "w")) {
    std::fputs("1 1 amsd registry scan: 0 dir(s)\n", f);
    std::fclose(f);
  }
  Run small = run({ "--card", tiny });

  auto mbs = [](std::int64_t bytes, const Run& r) {
    return static_cast<double>(bytes) / 1e6 / r.seconds;
  };
  std::printf(
      "--list-boots, %d boots: %.3f s, %.3f s, %.3f s (peak RSS %ld "
      "KiB)\n",
      BOOTS, list[0].seconds, list[1].seconds, list[2].seconds,
      list[0].max_rss_kib);
  std::printf("boot view, %.1f MB: %.2f s, %.0f MB/s (peak RSS %ld KiB)\n",
              boot_bytes / 1e6, boot.seconds, mbs(boot_bytes, boot),
              boot.max_rss_kib);
  std::printf("boot view --json: %.2f s, %.0f MB/s (peak RSS %ld KiB)\n",
              boot_json.seconds, mbs(boot_bytes, boot_json),
              boot_json.max_rss_kib);
  std::printf("app view, %.1f MB read: %.2f s, %.0f MB/s (peak RSS %ld KiB)\n",
              app_bytes / 1e6, app.seconds, mbs(app_bytes, app),
              app.max_rss_kib);
  std::printf("-n 10 of the boot: %.3f s (peak RSS %ld KiB)\n", last.seconds,
              last.max_rss_kib);
  std::printf("a one-line card: peak RSS %ld KiB\n", small.max_rss_kib);
  bool ok = list[0].status == 0 && boot.status == 0 && app.status == 0 &&
            last.status == 0 && small.status == 0 && boot_json.status == 0;
  std::string rm = "rm -rf " + base;
  if (std::system(rm.c_str()) != 0) {
    std::fprintf(stderr, "could not delete %s\n", base.c_str());
  }
  return ok ? 0 : 1;
}
