// What the handlers of control-socket lines read and change. The daemon
// shell owns every table and path; a test builds only the ones it needs.
#pragma once

#include <cstdint>

struct Registry;
struct ServiceLog;
struct StdoutSession;
struct PickerRequests;

struct ProtocolContext {
  Registry& registry;
  ServiceLog& log;
  StdoutSession& capture;
  PickerRequests& picks;
  const char* apps_dir;
  const char* card_root;
  const char* ipc_sock_path;
  const char* crash_sock_path;
  // A further user trusted to send launcher reports; -1 when none.
  std::int64_t launcher_uid = -1;
};
