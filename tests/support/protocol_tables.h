// The tables and paths the protocol's handlers work on, held the way the
// daemon holds them, for tests, fuzz targets and benchmarks.
#pragma once

#include "amsd/daemon/daemon.h"

using ProtocolTables = Daemon;

// A context over all of t, made as the daemon makes its own.
inline ProtocolContext context_of(ProtocolTables& t) {
  return daemon_context(t);
}
