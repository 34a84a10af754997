// Builds the registry from the apps directory: one sub-directory per app,
// each with an optional "app.json" manifest.
#pragma once

#include "amsd/log/service_log.h"
#include "amsd/registry/app_table.h"

// One full scan. Verbose scans log their summary and a dump of the tables;
// quiet scans log only when a count changed.
void registry_scan(Registry& reg, ServiceLog& log, const char* apps_dir,
                   bool verbose);
