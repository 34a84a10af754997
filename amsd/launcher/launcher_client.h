// The one request the daemon makes of the launcher: a frame out, a frame
// back, on a fresh connection, with one retry.
#pragma once

#include <cstdint>

// launcher_call result when the launcher answered with an error frame.
constexpr int LAUNCHER_REPLY_ERROR = -255;

// Socket send and receive time-outs; each wait of an attempt ends after
// this long.
constexpr int LAUNCHER_IO_TIMEOUT_MS = 1200;
// One attempt as a whole, so a peer that trickles its bytes cannot hold the
// daemon much beyond the time-outs: one time-out for the request, one for
// the reply.
constexpr int LAUNCHER_ATTEMPT_MS = 2 * LAUNCHER_IO_TIMEOUT_MS;
// Pause between the two attempts.
constexpr int LAUNCHER_RETRY_PAUSE_MS = 250;

// Sends one request of the given type and payload to the launcher listening
// at ipc_sock_path. Returns 0 with *code_out set from a result frame,
// LAUNCHER_REPLY_ERROR on an error frame, or -1 when two attempts gave no
// valid reply; *code_out is written only when 0 is returned. A result frame
// whose body is shorter than the four-byte code counts as an invalid reply,
// never as a success. Blocks for at most two attempts of
// LAUNCHER_ATTEMPT_MS each and the pause between them.
int launcher_call(const char* ipc_sock_path, std::uint16_t type,
                  const void* payload, std::uint32_t length,
                  std::uint32_t* code_out);

// Sets the pause launcher_call takes between its attempts, in ms. A seam for
// tests and fuzzers that drive the commands with no launcher behind them;
// the daemon never calls it and keeps LAUNCHER_RETRY_PAUSE_MS.
void launcher_set_retry_pause_ms(int ms);
