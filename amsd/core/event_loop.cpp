#include "amsd/core/event_loop.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "amsd/core/daemon.h"
#include "amsd/core/signals.h"
#include "amsd/core/text.h"
#include "amsd/log/retention.h"
#include "amsd/protocol/dispatch.h"
#include "amsd/registry/scan.h"

namespace {

constexpr int kInMax = IN_BUF_SIZE - 1;

void dispatch_into_reply(Daemon& d, ClientConn& c, char* line) {
  char* pos = c.out_buf + c.out_len;
  std::size_t room = static_cast<std::size_t>(OUT_BUF_SIZE - c.out_len);
  if (dispatch_line(d, line, pos, room)) {
    c.out_len += static_cast<int>(strnlen(pos, room - 1));
  }
}

void remove_slot(ClientTable& t, int i) {
  close(t.slots[i].fd);
  t.slots[i].fd = -1;
  // Keep the table compact; only the used prefix is ever moved.
  std::memmove(&t.slots[i], &t.slots[i + 1],
               sizeof(ClientConn) * static_cast<std::size_t>(t.count - i - 1));
  --t.count;
  t.slots[t.count].fd = -1;
}

void send_reply(ClientConn& c) {
  ssize_t ignored = write(c.fd, c.out_buf, static_cast<std::size_t>(c.out_len));
  (void)ignored;  // a client that left early just misses its reply
  c.out_len = 0;
}

// A last line that came without a newline is still executed.
void close_slot(Daemon& d, ClientTable& t, int i) {
  ClientConn& c = t.slots[i];
  if (c.in_len > 0) {
    c.in_buf[c.in_len] = '\0';
    if (c.in_buf[0] != '\0') {
      dispatch_into_reply(d, c, c.in_buf);
    }
    c.in_len = 0;
  }
  if (c.out_len > 0) {
    send_reply(c);
  }
  remove_slot(t, i);
}

// Returns false when the peer has closed its side.
bool read_input(ClientConn& c) {
  bool peer_open = true;
  while (c.in_len < kInMax) {
    ssize_t n = read(c.fd, c.in_buf + c.in_len,
                     static_cast<std::size_t>(kInMax - c.in_len));
    if (n == 0) {
      peer_open = false;
      break;
    }
    if (n < 0) {
      break;
    }
    c.in_len += static_cast<int>(n);
  }
  c.in_buf[c.in_len] = '\0';
  return peer_open;
}

void cut_lines(Daemon& d, ClientConn& c) {
  int off = 0;
  bool consumed = false;
  while (off < c.in_len) {
    char* start = c.in_buf + off;
    char* nl = static_cast<char*>(
        std::memchr(start, '\n', static_cast<std::size_t>(c.in_len - off)));
    if (!nl) {
      break;
    }
    *nl = '\0';
    consumed = true;
    if (nl != start && start[0] != '\0') {
      dispatch_into_reply(d, c, start);
    }
    off = static_cast<int>(nl - c.in_buf) + 1;
  }
  if (!consumed) {
    if (c.in_len == 0) {
      c.in_buf[0] = '\0';
    }
    return;
  }
  int rest = c.in_len - off;
  if (rest > 0) {
    std::memmove(c.in_buf, c.in_buf + off, static_cast<std::size_t>(rest));
  }
  c.in_len = rest;
  c.in_buf[rest] = '\0';
}

// Returns true when the slot was removed.
bool serve_client(Daemon& d, ClientTable& t, int i, short ev) {
  ClientConn& c = t.slots[i];
  constexpr short kGone = POLLERR | POLLHUP | POLLNVAL;
  if (ev & POLLRDHUP) {
    // Only asked for on a full buffer: the peer is done, run what it sent.
    close_slot(d, t, i);
    return true;
  }
  if (ev & (POLLIN | POLLHUP)) {
    bool peer_open = read_input(c);
    cut_lines(d, c);
    if ((ev & kGone) || !peer_open) {
      close_slot(d, t, i);
      return true;
    }
    if (c.out_len > 0) {
      send_reply(c);
      remove_slot(t, i);
      return true;
    }
    return false;
  }
  if (ev & (POLLERR | POLLNVAL)) {
    close_slot(d, t, i);
    return true;
  }
  return false;
}

void accept_client(Daemon& d, ClientTable& t) {
  int fd = accept4(d.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    return;
  }
  if (t.count >= MAX_CLIENTS) {
    close(fd);
    return;
  }
  ClientConn& c = t.slots[t.count++];
  c.fd = fd;
  c.in_len = 0;
  c.in_buf[0] = '\0';
  c.out_len = 0;
  c.out_buf[0] = '\0';
}

void drain_wake_pipe(int fd) {
  char buf[64];
  while (read(fd, buf, sizeof buf) > 0) {
  }
}

}  // namespace

void clients_reset(ClientTable& t) {
  std::memset(&t, 0, sizeof t);
  for (ClientConn& c : t.slots) {
    c.fd = -1;
  }
  t.count = 0;
}

void card_job_if_due(Daemon& d, LoopTimers& timers, std::uint64_t now_ms) {
  if (now_ms - timers.last_card_job < CARD_JOB_MS) {
    return;
  }
  if (d.log.card_log_fd < 0 && open_card_log(d.log) == 0) {
    int buffer_fd = open_buffer_for_move(d.log);
    if (buffer_fd >= 0) {
      move_buffer_to_card(d.log, buffer_fd);
    }
  }
  timers.last_card_job = now_ms;
  log_cleanup(d.log);
}

void rescan_if_due(Daemon& d, LoopTimers& timers, std::uint64_t now_ms) {
  std::uint64_t period = d.registry.apps_dir_seen ? RESCAN_SEEN_MS : RESCAN_MS;
  if (now_ms - timers.last_rescan >= period) {
    registry_scan(d.registry, d.log, d.cfg.apps_dir, false);
    timers.last_rescan = now_ms;
  }
}

void event_loop(Daemon& d, ClientTable& clients) {
  LoopTimers timers;
  struct pollfd pfd[MAX_CLIENTS + 2];
  for (;;) {
    pfd[0] = { d.listen_fd, POLLIN, 0 };
    pfd[1] = { d.wake_pipe[0], POLLIN, 0 };
    int polled = clients.count;
    for (int i = 0; i < polled; ++i) {
      const ClientConn& c = clients.slots[i];
      // A full buffer without a newline: reading more is impossible, so
      // wait only for the peer to finish instead of spinning on POLLIN.
      short want = c.in_len >= kInMax ? POLLRDHUP : POLLIN;
      pfd[2 + i] = { c.fd, want, 0 };
    }
    int rc = poll(pfd, static_cast<nfds_t>(polled + 2), POLL_TIMEOUT_MS);
    if (rc < 0 && errno != EINTR) {
      std::fprintf(stderr, "[quor_amsd] poll: %s\n", std::strerror(errno));
      return;
    }
    if (rc >= 0) {
      if (g_stop_requested) {
        return;
      }
      if (pfd[0].revents & POLLIN) {
        accept_client(d, clients);
      }
      if (pfd[1].revents & POLLIN) {
        drain_wake_pipe(d.wake_pipe[0]);
      }
      // Slots shift down on removal; each keeps its own poll result.
      int slot = 0;
      for (int p = 0; p < polled; ++p) {
        if (!serve_client(d, clients, slot, pfd[2 + p].revents)) {
          ++slot;
        }
      }
      card_job_if_due(d, timers, monotonic_ms());
      rescan_if_due(d, timers, monotonic_ms());
    }
    if (g_stop_requested) {
      return;
    }
  }
}
