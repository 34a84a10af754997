// Micro-benchmarks of the daemon's per-line and per-scan work, on a full
// table (64 apps with 8 routes and a full history each). Targets, on one
// core of the 2-core build machine:
//   dispatch of "list", "status", "history", "resolve":   < 20 us each
//   one quiet registry scan of a 64-app card:            < 5 ms
//   reading the routes and pickers of a 2047-byte manifest: < 20 us
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "amsd/base/text.h"
#include "amsd/protocol/dispatch.h"
#include "amsd/registry/manifest.h"
#include "amsd/registry/scan.h"
#include "tests/support/scratch_tables.h"

namespace {

std::string manifest_text() {
  std::string m = "{ \"name\": \"Benchmark App\", \"exec\": \"/bin/true\",\n";
  for (int r = 0; r < 8; ++r) {
    m += "  \"route.act" + std::to_string(r) + "\": \"a;b;c;d;e\",\n";
  }
  for (int p = 0; p < 2; ++p) {
    m += "  \"picker.action" + std::to_string(p) + "\": \"x/y\",\n";
  }
  while (m.size() < MANIFEST_TEXT_MAX - 2) {
    m += ' ';
  }
  return m + "}";
}

// A card of 64 apps, each with a full manifest; logs go to a scratch file.
struct FullCard : ScratchTables {
  FullCard() {
    mkdir(apps.c_str(), 0755);
    log_into(log_path);
    std::string text = manifest_text();
    for (int i = 0; i < MAX_APPS; ++i) {
      std::string app = apps + "/app" + std::to_string(i);
      mkdir(app.c_str(), 0755);
      write_file(app + "/app.json", text);
    }
    registry_scan(d->registry, d->apps_dir);
    for (int i = 0; i < d->registry.app_count; ++i) {
      AppRecord& a = d->registry.apps[i];
      a.run_state = RunState::kRunning;
      a.pid = 1000 + i;
      for (int e = 0; e < HISTORY_SIZE; ++e) {
        record_event(a, "launch", "act=main chain=a;b;c pid=1000", 1, 2);
      }
    }
  }
};

void dispatch_bench(benchmark::State& state, const char* line) {
  FullCard card;
  char buf[256];
  char reply[512];
  Peer launcher{ -1, true, 0, true, false, false };
  for (auto _ : state) {
    copy_text(buf, line);
    benchmark::DoNotOptimize(
        dispatch_line(*card.d, launcher, buf, reply, sizeof reply));
  }
}
BENCHMARK_CAPTURE(dispatch_bench, list, "list");
BENCHMARK_CAPTURE(dispatch_bench, status, "status");
BENCHMARK_CAPTURE(dispatch_bench, history_all, "history");
BENCHMARK_CAPTURE(dispatch_bench, history_one, "history app63");
BENCHMARK_CAPTURE(dispatch_bench, resolve, "resolve app63 act7");
BENCHMARK_CAPTURE(dispatch_bench, unknown, "nosuchcommand a b c");

void BM_RegistryScan64(benchmark::State& state) {
  FullCard card;
  for (auto _ : state) {
    registry_scan(card.d->registry, card.d->apps_dir);
  }
}
BENCHMARK(BM_RegistryScan64)->Unit(benchmark::kMicrosecond);

void BM_ManifestEntries(benchmark::State& state) {
  std::string text = manifest_text();
  auto reg = std::make_unique<Registry>();
  AppRecord& app = reg->apps[0];
  copy_text(app.pkg, "bench");
  reg->app_count = 1;
  for (auto _ : state) {
    char value[MANIFEST_VALUE_SIZE];
    manifest_value(text, "name", value);
    manifest_routes(text, app);
    manifest_pickers(text, *reg, app);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_ManifestEntries);

}  // namespace

BENCHMARK_MAIN();
