// The scratch directory of the tests, fuzz targets and benchmarks: the card,
// the apps directory, the peers' sockets and the device's fixed files (the
// /tmp buffer, boot stamp, uptime, mount table) all lie in it, so nothing a
// caller does reaches the real ones. Nothing exists there until a caller
// makes it; a missing uptime file reads 0.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "amsd/log/card.h"
#include "amsd/log/service_log.h"
#include "tests/support/temp_dir.h"

// Sets QUOR_AMSD_NOCARD (unsets it for nullptr) for its lifetime.
class NoCardEnv {
 public:
  explicit NoCardEnv(const char* value) {
    const char* old = getenv("QUOR_AMSD_NOCARD");
    had_ = old != nullptr;
    old_ = old ? old : "";
    if (value) {
      setenv("QUOR_AMSD_NOCARD", value, 1);
    } else {
      unsetenv("QUOR_AMSD_NOCARD");
    }
  }
  ~NoCardEnv() {
    if (had_) {
      setenv("QUOR_AMSD_NOCARD", old_.c_str(), 1);
    } else {
      unsetenv("QUOR_AMSD_NOCARD");
    }
  }

 private:
  bool had_;
  std::string old_;
};

struct Scratch {
  TempDir tmp;
  const std::string card = tmp.file("card");
  const std::string apps = tmp.file("apps");
  const std::string ipc = tmp.file("ipc.sock");
  const std::string crash = tmp.file("crash.sock");
  const std::string buffer = tmp.file("buffer.log");
  const std::string bootts = tmp.file("bootts");
  const std::string uptime = tmp.file("uptime");
  const std::string mounts = tmp.file("mounts");
  const std::string proc_stat = tmp.file("stat");
  // Where a caller may open the service log's card log.
  const std::string log_path = tmp.file("service.log");

  // A service log, and the card's settings, over these files.
  void point(ServiceLog& log) const {
    log.buffer_path = buffer.c_str();
    log.uptime_path = uptime.c_str();
  }
  void point(Card& c) const {
    c.root = card.c_str();
    c.mounts_path = mounts.c_str();
    c.bootts_path = bootts.c_str();
    c.stat_path = proc_stat.c_str();
  }

  // The card with the QuorOS directory the daemon writes below.
  bool make_card() const {
    return mkdir(card.c_str(), 0755) == 0 &&
           mkdir((card + "/QuorOS").c_str(), 0755) == 0;
  }

  // The lines of the file at path without their "<wall> <up> amsd " prefix.
  static std::vector<std::string> log_texts(const std::string& path) {
    std::vector<std::string> out;
    std::string all = read_file(path);
    std::size_t pos = 0;
    for (std::size_t nl; (nl = all.find('\n', pos)) != std::string::npos;
         pos = nl + 1) {
      std::string line = all.substr(pos, nl - pos);
      std::size_t tag = line.find(" amsd ");
      out.push_back(tag == std::string::npos ? line : line.substr(tag + 6));
    }
    return out;
  }
};

// Strips the wall-clock field, which a test cannot know.
inline std::string without_wall_clock(const std::string& text) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl - pos);
    out += line.substr(line.find(' ') + 1) + "\n";
    pos = nl == std::string::npos ? text.size() : nl + 1;
  }
  return out;
}

// A service log and the card over the scratch files, no card log open yet:
// the card holds its QuorOS directory, uptime reads 42, the boot stamp is
// 20250314_093005 and the mount table is empty. QUOR_AMSD_NOCARD is unset.
struct ScratchLog : Scratch {
  NoCardEnv env{ nullptr };
  ServiceLog log;
  Card sd;

  ScratchLog() {
    make_card();
    write_file(uptime, "42.7 1.0\n");
    write_file(bootts, "quor_20250314_093005");
    write_file(mounts, "");
    point(log);
    point(sd);
  }
  ~ScratchLog() { close_card_log(log); }
  std::string card_log() const {
    return read_file(card + "/QuorOS/logs/ams_20250314_093005.log");
  }
};
