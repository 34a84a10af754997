// Readiness for a service manager that asked for it through NOTIFY_SOCKET.
#pragma once

// Sends state ("READY=1", "STOPPING=1") as one datagram to the socket that
// NOTIFY_SOCKET names (a path, or "@name" for an abstract one). Does
// nothing when the variable is not set; every failure is silent, since the
// daemon runs the same without a manager.
void notify_service_manager(const char* state);
