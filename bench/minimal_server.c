/* The cheapest server that does quor_amsd's socket and capture work, as a
 * yardstick: one thread, poll(), newline-framed lines in a 2047-byte buffer
 * per connection. A command line gets one fixed reply and the connection is
 * closed; "EV OUT <pkg> <pid> <ts> <up> <text...>" appends "[ts|up=up] text"
 * to the capture file with one write; other event lines are dropped.
 *
 *   minimal_server SOCKET_PATH CAPTURE_FILE
 *
 * It runs until it is killed. */
#define _GNU_SOURCE /* accept4 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

enum { MAX_CONNS = 32, LINE_MAX_BYTES = 2047, BACKLOG = 8 };

/* quor_amsd's reply to "status" on an empty card, so both send as much. */
static const char REPLY[] = "# amd status (running apps)\n(none running)\n";

struct Conn {
  int fd;
  int len;
  char buf[LINE_MAX_BYTES + 1];
};

static struct Conn conns[MAX_CONNS];
static int conn_count;
static int capture_fd = -1;

static void drop_conn(int i) {
  close(conns[i].fd);
  conns[i] = conns[--conn_count];
}

/* Skips one word and the blanks after it. */
static const char* skip_word(const char* p) {
  while (*p && *p != ' ') {
    ++p;
  }
  while (*p == ' ') {
    ++p;
  }
  return p;
}

static void capture_line(const char* p) {
  p = skip_word(skip_word(p)); /* package and pid */
  long ts = strtol(p, NULL, 10);
  long up = strtol(skip_word(p), NULL, 10);
  p = skip_word(skip_word(p));
  char out[LINE_MAX_BYTES + 1];
  int n = snprintf(out, sizeof out, "[%ld|up=%ld] %s\n", ts, up, p);
  if (n > 0) {
    ssize_t ignored = write(capture_fd, out, (size_t)n);
    (void)ignored; /* the capture is best effort, as in the daemon */
  }
}

/* Returns 1 when the line was a command, which ends the connection. */
static int handle_line(const char* line) {
  if (strncmp(line, "EV OUT ", 7) == 0) {
    capture_line(line + 7);
    return 0;
  }
  if (strncmp(line, "EV ", 3) == 0 || line[0] == '\0') {
    return 0;
  }
  return 1;
}

/* One read per wake-up; returns 1 when the connection is done. */
static int serve(struct Conn* c) {
  ssize_t n = read(c->fd, c->buf + c->len, (size_t)(LINE_MAX_BYTES - c->len));
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    return 1;
  }
  if (n < 0) {
    return 0;
  }
  c->len += (int)n;
  char* start = c->buf;
  char* end = c->buf + c->len;
  char* nl;
  while ((nl = memchr(start, '\n', (size_t)(end - start))) != NULL) {
    *nl = '\0';
    if (handle_line(start)) {
      ssize_t ignored = write(c->fd, REPLY, sizeof REPLY - 1);
      (void)ignored; /* a client that left early misses its reply */
      return 1;
    }
    start = nl + 1;
  }
  c->len = (int)(end - start);
  if (c->len == LINE_MAX_BYTES) {
    return 1; /* no line is that long: the peer is not speaking our protocol */
  }
  memmove(c->buf, start, (size_t)c->len);
  return 0;
}

static int listen_on(const char* path) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) {
    return -1;
  }
  strcpy(addr.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  unlink(path);
  if (bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0 ||
      listen(fd, BACKLOG) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("usage: minimal_server SOCKET_PATH CAPTURE_FILE\n", stderr);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  capture_fd = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int listen_fd = listen_on(argv[1]);
  if (capture_fd < 0 || listen_fd < 0) {
    perror("minimal_server");
    return 1;
  }
  struct pollfd pfd[MAX_CONNS + 1];
  for (;;) {
    pfd[0].fd = listen_fd;
    pfd[0].events = POLLIN;
    int polled = conn_count;
    for (int i = 0; i < polled; ++i) {
      pfd[1 + i].fd = conns[i].fd;
      pfd[1 + i].events = POLLIN;
    }
    if (poll(pfd, (nfds_t)(polled + 1), -1) < 0) {
      continue;
    }
    /* Backwards, so that a dropped slot's replacement was already served. */
    for (int i = polled - 1; i >= 0; --i) {
      if (pfd[1 + i].revents && serve(&conns[i])) {
        drop_conn(i);
      }
    }
    if (pfd[0].revents & POLLIN) {
      int fd = accept4(listen_fd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0 && conn_count == MAX_CONNS) {
        close(fd);
      } else if (fd >= 0) {
        conns[conn_count].fd = fd;
        conns[conn_count].len = 0;
        conn_count++;
      }
    }
  }
}
