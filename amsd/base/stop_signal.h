// The stop signal of every long-running program: SIGTERM and SIGINT set a
// flag and wake the program's poll through a self-pipe.
#pragma once

#include <csignal>

// The one true global: written by the signal handler.
extern volatile std::sig_atomic_t g_stop_requested;

// A pipe whose ends do not block and are closed on exec. Returns 0 or -1.
int wake_pipe_open(int (&fds)[2]);

// Installs the SIGTERM/SIGINT handler (no SA_RESTART, so a blocked poll or
// sleep returns) that sets g_stop_requested and writes one byte to wake_fd
// when it is 0 or above; with wake_on_child, SIGCHLD writes the byte too,
// without the flag. Ignores SIGPIPE.
void stop_signal_install(int wake_fd, bool wake_on_child = false);
