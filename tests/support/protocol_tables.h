// The tables and paths the protocol's handlers work on, as the daemon
// holds them, for tests and benchmarks.
#pragma once

#include "amsd/base/limits.h"
#include "amsd/log/service_log.h"
#include "amsd/protocol/capture.h"
#include "amsd/protocol/context.h"
#include "amsd/protocol/picker.h"
#include "amsd/registry/app_table.h"

// What the handlers work on, as the daemon holds it.
struct ProtocolTables {
  Registry registry;
  ServiceLog log;
  StdoutSession capture;
  PickerRequests picks;
  struct {
    char card_root[256];
    char apps_dir[512];
    char ipc_sock_path[SOCK_PATH_SIZE];
    char crash_sock_path[SOCK_PATH_SIZE];
  } cfg = {};
};

// A context over all of t.
inline ProtocolContext context_of(ProtocolTables& t) {
  return ProtocolContext{ t.registry,          t.log,
                          t.capture,           t.picks,
                          t.cfg.apps_dir,      t.cfg.card_root,
                          t.cfg.ipc_sock_path, t.cfg.crash_sock_path };
}
