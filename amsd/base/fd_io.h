// Descriptor and socket I/O, the way every program of the project does it:
// interrupted calls are retried here, so no caller keeps its own loop.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>

// read and write, retried after EINTR.
ssize_t fd_read(int fd, void* buf, std::size_t n);
ssize_t fd_write(int fd, const void* buf, std::size_t n);

// One send (never raising SIGPIPE) or recv that does not block, retried
// after EINTR.
ssize_t sock_send_now(int fd, const void* buf, std::size_t n);
ssize_t sock_recv_now(int fd, void* buf, std::size_t n);

// Reads a non-blocking fd (a wake pipe) until it is empty.
void fd_drain(int fd);

// poll, retried after EINTR for what is left of timeout_ms. When stop is
// given and set by the time of the interruption, returns 0 at once instead,
// as if the time were up, so a stop signal ends the wait.
int fd_poll(struct pollfd* fds, nfds_t n, int timeout_ms,
            const volatile std::sig_atomic_t* stop = nullptr);

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

// Opens path with flags (O_CLOEXEC added; mode for a file it creates) and
// insists on a regular file: a FIFO, device or directory in its place is
// closed again. Returns the descriptor, or -1.
int open_regular(const char* path, int flags, mode_t mode = 0644);

// How read_small_file reads.
constexpr unsigned SMALL_FILE_REGULAR = 1;   // refuse anything but a file
constexpr unsigned SMALL_FILE_ONE_READ = 2;  // one read, enough for a state

// Reads the file at path into buf (capacity cap), opened non-blocking so a
// FIFO in its place cannot stall the caller, until its end or cap - 1
// bytes. buf is always NUL-terminated. Returns the bytes read, or -1 (buf
// then empty) when the file cannot be opened or read, or is refused.
ssize_t read_small_file(const char* path, char* buf, std::size_t cap,
                        unsigned how);

// Whether child pid has ended, leaving it a zombie (WNOWAIT) so its process
// group cannot be reused yet; *result is waitid's result (-1: not our
// child).
bool child_exited(pid_t pid, int* result);

// Waits for child pid and reaps it.
void child_reap(pid_t pid);
