// All state of quor_amsd, owned by main and passed to the parts that need it.
#pragma once

#include <cstdint>

#include "amsd/daemon/config.h"
#include "amsd/log/card.h"
#include "amsd/log/clock.h"
#include "amsd/protocol/tables.h"

struct Daemon {
  DaemonConfig cfg;
  int listen_fd = -1;
  int wake_pipe[2] = { -1, -1 };  // read end, write end
  char boot_stamp[BOOT_STAMP_SIZE] = {};
  Card card;
  ProtocolTables tables;
};

// Set-up after the configuration is known: wake pipe, signals, the listening
// socket. Returns 0, or the exit status (1) after printing why.
int daemon_setup(Daemon& d);

// The start-up steps that never fail the start: boot stamp, card log,
// retention, the verbose scan, then the start-up line.
void daemon_startup_steps(Daemon& d);

// Closes and removes what the daemon holds, then prints the shutdown line.
void daemon_shutdown(Daemon& d);
