// Keeps the service and capture logs lying directly in the card's logs
// directory at or below 1 GiB in all, deleting the oldest first.
#pragma once

#include <cstdint>

#include "amsd/log/service_log.h"

constexpr std::int64_t LOG_RETENTION_LIMIT = 1073741824;  // bytes
constexpr int MAX_LOG_CANDIDATES = 128;

// One run over card_root/QuorOS/logs. Never deletes the card log that the
// daemon has open. Prints a console line when it deleted anything.
void log_cleanup(const ServiceLog& log);
