// The one request the daemon makes of the launcher: a frame out, a frame
// back, on a fresh connection, with one retry.
#pragma once

#include <cstdint>

// launcher_call result when the launcher answered with an error frame.
constexpr int LAUNCHER_REPLY_ERROR = -255;

// Sends one request of the given type and payload to the launcher listening
// at ipc_sock_path. Returns 0 with *code_out set from a result frame,
// LAUNCHER_REPLY_ERROR on an error frame, or -1 when two attempts gave no
// valid reply. Blocks for at most two exchanges of 1.2 s time-outs each.
int launcher_call(const char* ipc_sock_path, std::uint16_t type,
                  const void* payload, std::uint32_t length,
                  std::uint32_t* code_out);
