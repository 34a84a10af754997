// Termination signals: set the stop flag and wake the event loop's poll.
#pragma once

#include <csignal>

// The one true global: written by the signal handler.
extern volatile std::sig_atomic_t g_stop_requested;

// Installs the SIGTERM/SIGINT handler (no SA_RESTART, so a blocked poll
// returns) that writes one byte to wake_fd, and ignores SIGPIPE.
void signals_install(int wake_fd);
