// Fresh protocol tables, and the card's settings, over the scratch
// directory (scratch.h), for the unit tests, fuzz targets and benchmarks:
// the tables' card, apps directory, peer sockets, /tmp buffer and uptime
// file all lie there. The service log has no card log until log_into.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "amsd/launcher/launcher_client.h"
#include "amsd/log/capture.h"
#include "amsd/log/card.h"
#include "amsd/log/service_log.h"
#include "amsd/protocol/tables.h"
#include "tests/support/scratch.h"

struct ScratchTables : Scratch {
  std::unique_ptr<ProtocolTables> d;
  Card sd;

  ScratchTables() { reset_tables(); }
  ~ScratchTables() { close_tables(); }
  ScratchTables(const ScratchTables&) = delete;
  ScratchTables& operator=(const ScratchTables&) = delete;

  // Fresh tables over the same directory.
  void reset_tables() {
    close_tables();
    d = std::make_unique<ProtocolTables>();
    d->apps_dir = apps.c_str();
    d->card_root = card.c_str();
    d->ipc_sock_path = ipc.c_str();
    d->crash_sock_path = crash.c_str();
    point(d->log);
    point(sd);
  }
  void close_tables() {
    if (d) {
      stdout_session_reset(d->capture);
      close_card_log(d->log);
    }
  }

  // The service log's card log becomes the file at path, emptied (a
  // scratch file, or /dev/null). False when it cannot be opened.
  bool log_into(const std::string& path) {
    int fd = open(path.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
      return false;
    }
    card_log_attach(d->log, fd, path.c_str());
    return true;
  }

  // For a fuzz target or a benchmark: the card and the apps directory made,
  // the service log thrown away, and no pause between the two attempts of
  // a launcher call (the peers' sockets do not exist, so every call fails
  // at once).
  void make_quiet_world() {
    make_card();
    mkdir(apps.c_str(), 0755);
    log_into("/dev/null");
    launcher_set_retry_pause_ms(0);
  }

  // Lines of the service log at log_path without their prefix.
  std::vector<std::string> log_texts() const {
    return Scratch::log_texts(log_path);
  }
};
