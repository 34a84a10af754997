// Runs the real quor_amsd on a full 64-app card with 32 clients connected and
// reports its memory and its command round-trip rate. Targets on the 2-core
// build machine: peak resident memory below 4 MiB, and at least 5000 one-shot
// commands per second over the socket.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

long status_kib(pid_t pid, const std::string& key) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind(key + ":", 0) == 0) {
      return std::stol(line.substr(key.size() + 1));
    }
  }
  return -1;
}

}  // namespace

int main() {
  using namespace e2e;
  TempDir dir;
  Amsd a(dir);
  for (int i = 0; i < 64; ++i) {
    make_app(a.apps, "app" + std::to_string(i),
             R"({"name":"App","route.main":"a;b","picker.p)" +
                 std::to_string(i % 8) + R"(":"x"})");
  }
  if (!a.start()) {
    std::fprintf(stderr, "quor_amsd did not start\n");
    return 1;
  }
  pid_t pid = a.process().pid();
  std::vector<Conn> held;
  for (int i = 0; i < 31; ++i) {
    held.push_back(a.connect());
    held.back().send("EV HOLD\n");
  }
  const int kCommands = 20000;
  auto t0 = std::chrono::steady_clock::now();
  int ok = 0;
  for (int i = 0; i < kCommands; ++i) {
    ok += a.command(i % 2 ? "status" : "list").starts_with("# amd ");
  }
  double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
          .count();
  std::printf("commands answered:     %d of %d\n", ok, kCommands);
  std::printf("round trips per second: %.0f\n", kCommands / secs);
  std::printf("resident now (VmRSS):   %ld KiB\n", status_kib(pid, "VmRSS"));
  std::printf("resident peak (VmHWM):  %ld KiB\n", status_kib(pid, "VmHWM"));
  std::printf("data segment (VmData):  %ld KiB\n", status_kib(pid, "VmData"));
  a.stop();
  return ok == kCommands ? 0 : 1;
}
