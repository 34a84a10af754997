// A registry scan together with its service log lines.
#pragma once

#include "amsd/log/service_log.h"
#include "amsd/registry/app_table.h"

// Scans apps_dir. A verbose scan logs its summary and a dump of the tables;
// a quiet one logs only when a count changed. An unreachable directory is
// logged by a verbose scan, or by any scan until it is first reached.
void rescan_logged(Registry& reg, ServiceLog& log, const char* apps_dir,
                   bool verbose);
