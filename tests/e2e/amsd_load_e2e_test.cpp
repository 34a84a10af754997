// quor_amsd under load, run whole: a stream of a million output lines loses
// none while other clients keep being served, and many commands and
// connections leave the daemon's memory and descriptors where they were.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;

constexpr int STREAM_LINES = 1000000;
// "[1000|up=1] " and seven digits and the newline: every line in the
// capture file has this length, so byte counts convert to lines exactly.
constexpr long FILE_LINE = 20;

std::string out_text(int i) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%07d", i);
  return digits;
}

long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// The index of the first line of text that is not line first + k of the
// stream, or -1 when all are.
long first_mismatch(const std::string& text, int first) {
  for (long k = 0; k * FILE_LINE < static_cast<long>(text.size()); ++k) {
    std::string want = "[1000|up=1] " + out_text(first + int(k)) + "\n";
    if (text.compare(static_cast<std::size_t>(k * FILE_LINE), want.size(),
                     want) != 0) {
      return k;
    }
  }
  return -1;
}

TEST(AmsdLoad, AMillionLinesOnOneConnectionAreAllAccountedFor) {
  TempDir dir;
  Amsd a(dir);
  ASSERT_TRUE(a.start());
  std::string stream = "EV LAUNCH demo m - 7 1000 1\n";
  stream.reserve(30u * STREAM_LINES);
  for (int i = 0; i < STREAM_LINES; ++i) {
    stream += "EV OUT demo 7 1000 1 " + out_text(i) + "\n";
  }
  stream += "EV EXIT demo exit 0 5\n";
  std::thread sender([&] {
    Conn c = a.connect();
    EXPECT_TRUE(c.send(stream));
  });  // closed right after its last write

  // Meanwhile fresh clients are answered, promptly.
  int served_during = 0;
  Millis worst{ 0 };
  bool done = false;
  for (auto end = Clock::now() + 60s; !done && Clock::now() < end;) {
    auto t0 = Clock::now();
    std::string reply = a.command("status");
    worst =
        std::max(worst, std::chrono::duration_cast<Millis>(Clock::now() - t0));
    if (!reply.starts_with("# amd status (running apps)\n")) {
      ADD_FAILURE() << reply;
      break;
    }
    done = a.service_log().find("EXIT demo exit=0") != std::string::npos;
    served_during += done ? 0 : 1;
    std::this_thread::sleep_for(20ms);  // pacing, not waiting
  }
  if (!done) {
    a.process().kill_now();  // so that the sender ends
  }
  sender.join();
  ASSERT_TRUE(done);
  EXPECT_GE(served_during, 3);
  EXPECT_LT(worst, 1000ms);

  // Each rotation renames the full file to ".1", replacing the ".1" before
  // it, whose lines are then gone. Lines have one length and the file
  // rotates when the next line would not fit, so every rotation happens at
  // the same size: the size ".1" has now. R rotations (counted in the
  // service log) have dropped R - 1 such files; ".1" and the live file hold
  // the rest, which must be the stream's last lines, in order.
  std::string path = a.logs + "/demo/stdout_1000_7.log";
  int rotations = count_of(a.service_log(), "stdout rotate -> " + path + ".1");
  long old_size = file_size(path + ".1");
  long live_size = file_size(path);
  ASSERT_GE(rotations, 1);
  ASSERT_EQ(old_size % FILE_LINE, 0);
  ASSERT_EQ(live_size % FILE_LINE, 0);
  long dropped = (rotations - 1) * old_size / FILE_LINE;
  long kept = (old_size + live_size) / FILE_LINE;
  EXPECT_EQ(dropped + kept, STREAM_LINES)
      << rotations << " rotations, " << old_size << " + " << live_size;
  EXPECT_EQ(first_mismatch(read_file(path + ".1") + read_file(path),
                           static_cast<int>(dropped)),
            -1);
}

long vm_rss_kib(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(f, line);) {
    if (line.starts_with("VmRSS:")) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

int open_fds(pid_t pid) {
  int n = 0;
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (struct dirent* e = readdir(d)) {
      n += e->d_name[0] != '.';
    }
    closedir(d);
  }
  return n;
}

TEST(AmsdLoad, CommandsAndConnectionsLeaveMemoryAndDescriptorsFlat) {
  TempDir dir;
  Amsd a(dir);
  make_app(a.apps, "demo", R"({"route.main":"a;b"})");
  // In a sanitizer build, freed blocks of the C library (a rescan's
  // opendir) would sit in quarantine and show as growth.
  ASSERT_TRUE(a.start({}, { "ASAN_OPTIONS=quarantine_size_mb=0" }));
  const char* commands[] = {
    "status", "list",  "history demo", "picker-status", "resolve demo main",
    "rescan", "nosuch"
  };
  int unanswered = 0;
  auto command = [&](int i) {
    unanswered += a.command(commands[i % std::size(commands)]).empty();
  };
  auto connect_and_close = [&](int) { Conn c = a.connect(); };
  struct Phase {
    const char* what;
    int count;
    std::function<void(int)> step;
  };
  const Phase phases[] = {
    { "commands", 100000, command },
    { "connect and close", 10000, connect_and_close },
  };
  pid_t pid = a.process().pid();
  for (const Phase& p : phases) {
    SCOPED_TRACE(p.what);
    for (int i = 0; i < 1000; ++i) {
      p.step(i);
    }
    // A reply comes after every earlier connection was taken and closed.
    ASSERT_FALSE(a.command("status").empty());
    long rss = vm_rss_kib(pid);
    int fds = open_fds(pid);
    for (int i = 0; i < p.count; ++i) {
      p.step(i);
    }
    ASSERT_FALSE(a.command("status").empty());
    EXPECT_LE(vm_rss_kib(pid) - rss, 64);
    EXPECT_TRUE(wait_until([&] { return open_fds(pid) == fds; }, 5s))
        << open_fds(pid) << " descriptors, " << fds << " before";
  }
  EXPECT_EQ(unanswered, 0);
}

}  // namespace
