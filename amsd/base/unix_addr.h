// UNIX stream sockets and descriptors, the way every part of the project
// reaches them.
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

// Adds O_NONBLOCK to fd's status flags; leaves them when they cannot be read.
void fd_set_nonblock(int fd);

// Appends buf to a file of lines with one write. A full disk may take only
// part of it: that fragment is cut off again, so the file holds whole lines.
// Returns the bytes that stay written: len, 0, or the fragment's length when
// it could not be cut off.
std::size_t fd_append_whole(int fd, const void* buf, std::size_t len);

// True when fd is the file that path names now: a file removed, or a card
// unmounted or mounted again under it, gives false.
bool fd_at_path(int fd, const char* path);

// Waits for fd to be ready for events (poll's), at most step_ms and never
// past deadline_ms (monotonic_ms); EINTR is retried. Returns 0 when ready
// (errors and hang-ups count: the next transfer shows them), -1 when the
// step or the deadline ran out, or poll failed.
int wait_ready(int fd, short events, std::uint64_t deadline_ms, int step_ms);

// Move exactly n bytes over a stream socket. Each wait lasts at most step_ms
// and none reaches past deadline_ms (monotonic_ms); EINTR is retried. Send
// never raises SIGPIPE. Return 0, or -1 on a time-out, end of stream or error.
int sock_send_all(int fd, const void* buf, std::size_t n,
                  std::uint64_t deadline_ms, int step_ms);
int sock_recv_all(int fd, void* buf, std::size_t n, std::uint64_t deadline_ms,
                  int step_ms);
