#include "amsd/protocol/rescan.h"

#include <cstring>

#include "amsd/registry/scan.h"

static void log_dump(const Registry& reg, ServiceLog& log) {
  for (int i = 0; i < reg.app_count; ++i) {
    const AppRecord& a = reg.apps[i];
    amsd_log(log, "  app %s name=%s exec=%s known=%d routes=%d", a.pkg, a.name,
             a.exec, a.known ? 1 : 0, a.route_count);
    for (int r = 0; r < a.route_count; ++r) {
      amsd_log(log, "    route %s=%s", a.routes[r].key, a.routes[r].chain);
    }
  }
  for (int i = 0; i < reg.picker_count; ++i) {
    const PickerEntry& p = reg.pickers[i];
    if (p.active) {
      amsd_log(log, "  picker %s -> %s (chain=%s)", p.action, p.handler,
               p.chain);
    }
  }
}

void rescan_logged(Registry& reg, ServiceLog& log, const char* apps_dir,
                   bool verbose) {
  ScanResult r = registry_scan(reg, apps_dir);
  if (!r.reached) {
    // Once the card has been seen, only a scan someone asked for says so;
    // the periodic scans would repeat it every 30 s while it is out.
    if (verbose || !r.was_seen) {
      amsd_log(log, "registry scan: %s not reachable (%s)", apps_dir,
               std::strerror(r.error));
    }
    return;
  }
  if (verbose || r.changed) {
    amsd_log(log, "registry scan: %d dir(s) from %s, %d app(s) registered",
             r.dirs, apps_dir, reg.app_count);
  }
  if (verbose) {
    log_dump(reg, log);
  }
}
