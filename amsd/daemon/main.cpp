// quor_amsd: the app-management service daemon.
#include <new>

#include "amsd/base/stop_signal.h"
#include "amsd/daemon/config.h"
#include "amsd/daemon/daemon.h"
#include "amsd/daemon/event_loop.h"

// Static storage: the tables are large and live as long as the process.
// The daemon's state has a few non-zero defaults, which would put all of it
// into the program file's data; zeroed storage constructed at start keeps
// the file small.
alignas(Daemon) static unsigned char g_daemon_storage[sizeof(Daemon)];
static constinit ClientTable g_clients{};

int main(int argc, char** argv) {
  // Default-initialised: the zeroed tables are left as they lie, so their
  // pages become resident only once used.
  Daemon& d = *new (g_daemon_storage) Daemon;
  int status = config_parse_args(d.cfg, argc, argv);
  if (status != CONFIG_RUN) {
    return status;
  }
  config_apply_env(d.cfg);
  status = daemon_setup(d);
  if (status != 0) {
    return status;
  }
  // From now on nothing stops the start; a signal only ends it in order.
  daemon_startup_steps(d);
  clients_reset(g_clients);
  if (!g_stop_requested) {
    event_loop(d, g_clients);
  }
  daemon_shutdown(d);
  return 0;
}
