// Protocol tables for a fuzz target, made once per process: the card and the
// apps directory lie in a scratch directory, the service log is thrown away,
// and the launcher and crash listener sockets name files that do not exist,
// so every call to them fails at once (with no pause before the retry).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "amsd/base/text.h"
#include "amsd/launcher/launcher_client.h"
#include "tests/support/protocol_tables.h"
#include "tests/support/temp_dir.h"

struct FuzzTables {
  TempDir dir;
  std::string card = dir.file("card");
  std::string apps = dir.file("apps");
  std::string buffer = dir.file("buffer.log");
  std::string absent = dir.file("absent");
  std::unique_ptr<ProtocolTables> t = std::make_unique<ProtocolTables>();

  FuzzTables() {
    launcher_set_retry_pause_ms(0);
    mkdir(card.c_str(), 0755);
    mkdir((card + "/QuorOS").c_str(), 0755);
    mkdir(apps.c_str(), 0755);
    copy_text(t->cfg.card_root, card);
    copy_text(t->cfg.apps_dir, apps);
    copy_text(t->cfg.ipc_sock_path, dir.file("ipc.sock"));
    copy_text(t->cfg.crash_sock_path, dir.file("crash.sock"));
    ServiceLog& log = t->log;
    log.buffer_path = buffer.c_str();
    log.uptime_path = absent.c_str();  // missing: uptime 0
    log.card_log_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    log.card_log_open = log.card_log_fd >= 0;
  }
  ~FuzzTables() {
    stdout_session_reset(t->capture);
    close_card_log(t->log);
  }
  FuzzTables(const FuzzTables&) = delete;
  FuzzTables& operator=(const FuzzTables&) = delete;

  ProtocolContext ctx() { return context_of(*t); }
};
