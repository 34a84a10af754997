// What the handlers of control-socket lines work on: the registry, the
// service log, the capture session, the pending picker requests and the
// configured paths. The daemon holds one; a test, fuzz target or benchmark
// builds its own.
#pragma once

#include <cstdint>

#include "amsd/base/paths.h"
#include "amsd/log/capture.h"
#include "amsd/log/service_log.h"
#include "amsd/protocol/picker.h"
#include "amsd/registry/app_table.h"

struct ProtocolTables {
  Registry registry;
  ServiceLog log;
  StdoutSession capture;
  PickerRequests picks;
  // In the daemon these point into DaemonConfig.
  const char* apps_dir = paths::DEFAULT_APPS;
  const char* card_root = paths::DEFAULT_CARD;
  const char* ipc_sock_path = paths::DEFAULT_IPC_SOCK;
  const char* crash_sock_path = paths::DEFAULT_CRASH_SOCK;
  // A further user trusted to send launcher reports; -1 when none.
  std::int64_t launcher_uid = -1;
};
