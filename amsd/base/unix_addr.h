// UNIX stream sockets, the way every part of the project reaches them.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>

// Fills addr for path (cut to the 107 bytes sun_path holds, always
// terminated) and returns the length to pass: the whole structure.
socklen_t unix_addr(struct sockaddr_un& addr, const char* path);

// A UNIX stream socket connected to path, made with the extra socket flags
// (SOCK_NONBLOCK, SOCK_CLOEXEC). errno is 0 when it connected at once; with
// SOCK_NONBLOCK a connect still in progress returns the socket with errno
// EINPROGRESS or EAGAIN. Returns -1 with errno kept on failure.
int unix_connect(const char* path, int flags);

// A blocking connect to path whose wait for room in a full backlog, and
// every later send (and, with recv_too, receive), is bounded by timeout_ms.
// Returns the socket, or -1 with errno kept.
int unix_connect_timed(const char* path, int timeout_ms, bool recv_too);

// A listening socket at path, made with the extra socket flags, its file
// given mode (when mode >= 0) before it listens. The path is not unlinked
// first. Returns the socket, or -1 with errno kept and *step naming the
// call that failed ("socket", "bind" or "listen").
int unix_listen(const char* path, int flags, int backlog, int mode,
                const char** step);
