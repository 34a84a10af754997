#include "amsd/daemon/event_loop.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "amsd/base/clock.h"
#include "amsd/base/console.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/stop_signal.h"
#include "amsd/base/text.h"
#include "amsd/daemon/daemon.h"
#include "amsd/protocol/dispatch.h"
#include "amsd/protocol/rescan.h"

namespace {

constexpr int IN_MAX = IN_BUF_SIZE - 1;

void dispatch_into_reply(ProtocolTables& tables, ClientConn& c, char* line) {
  char* pos = c.out_buf + c.out_len;
  std::size_t room = static_cast<std::size_t>(OUT_BUF_SIZE - c.out_len);
  if (dispatch_line(tables, c.peer, line, pos, room)) {
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
void close_slot(ProtocolTables& tables, ClientTable& t, int i) {
  ClientConn& c = t.slots[i];
  if (c.in_len > 0) {
    c.in_buf[c.in_len] = '\0';
    if (c.in_buf[0] != '\0') {
      dispatch_into_reply(tables, c, c.in_buf);
    }
    c.in_len = 0;
  }
  if (c.out_len > 0) {
    send_reply(c);
  }
  remove_slot(t, i);
}

void cut_lines(ProtocolTables& tables, ClientConn& c) {
  int off = 0;
  while (char* line = conn_next_line(c, off)) {
    if (line[0] != '\0') {
      dispatch_into_reply(tables, c, line);
    }
  }
  conn_keep_rest(c, off);
}

// Returns true when the slot was removed.
bool serve_client(ProtocolTables& tables, ClientTable& t, int i, short ev) {
  ClientConn& c = t.slots[i];
  constexpr short BROKEN = POLLERR | POLLNVAL;
  // The peer has closed its side (or both): what it sent is still read and
  // handled, pass by pass, until its end or a reply.
  bool hung_up = (ev & (POLLHUP | POLLRDHUP)) != 0;
  if (!(ev & (POLLIN | POLLHUP | POLLRDHUP))) {
    if (ev & BROKEN) {
      close_slot(tables, t, i);
      return true;
    }
    return false;
  }
  ReadEnd end = conn_read(c);
  cut_lines(tables, c);
  // A full buffer without a newline can take nothing more: once the peer is
  // done, what it holds is its last line.
  bool stuck = c.in_len >= IN_MAX;
  if ((ev & BROKEN) || end != ReadEnd::kMore || (hung_up && stuck)) {
    close_slot(tables, t, i);
    return true;
  }
  if (hung_up) {
    if (c.out_len > 0) {
      close_slot(tables, t, i);
      return true;
    }
    return false;
  }
  if (c.out_len > 0) {
    send_reply(c);
    remove_slot(t, i);
    return true;
  }
  return false;
}

void accept_client(Daemon& d, ClientTable& t) {
  int fd = accept4(d.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    return;
  }
  std::uint64_t now = monotonic_ms();
  if (t.count >= MAX_CLIENTS) {
    // Idle connections must not lock out the launcher and the clients.
    int idle = idle_slot_to_evict(t, now);
    if (idle < 0) {
      close(fd);
      return;
    }
    remove_slot(t, idle);
  }
  ClientConn& c = t.slots[t.count++];
  c.fd = fd;
  c.in_len = 0;
  c.in_buf[0] = '\0';
  c.out_len = 0;
  c.out_buf[0] = '\0';
  c.opened_ms = now;
  c.peer = Peer{};
  c.peer.fd = fd;
}

}  // namespace

ReadEnd conn_read(ClientConn& c) {
  while (c.in_len < IN_MAX) {
    std::size_t want = static_cast<std::size_t>(IN_MAX - c.in_len);
    ssize_t n = fd_read(c.fd, c.in_buf + c.in_len, want);
    if (n == 0) {
      c.in_buf[c.in_len] = '\0';
      return ReadEnd::kEof;
    }
    if (n < 0) {
      c.in_buf[c.in_len] = '\0';
      bool drained = errno == EAGAIN || errno == EWOULDBLOCK;
      return drained ? ReadEnd::kMore : ReadEnd::kError;
    }
    c.in_len += static_cast<int>(n);
    // A short read found the socket empty; asking again would only be told
    // so. An end of stream shows on the next pass.
    if (static_cast<std::size_t>(n) < want) {
      break;
    }
  }
  c.in_buf[c.in_len] = '\0';
  return ReadEnd::kMore;
}

char* conn_next_line(ClientConn& c, int& off) {
  if (off >= c.in_len) {
    return nullptr;
  }
  char* start = c.in_buf + off;
  char* nl = static_cast<char*>(
      std::memchr(start, '\n', static_cast<std::size_t>(c.in_len - off)));
  if (!nl) {
    return nullptr;
  }
  *nl = '\0';
  off = static_cast<int>(nl - c.in_buf) + 1;
  return start;
}

void conn_keep_rest(ClientConn& c, int off) {
  if (off == 0) {
    if (c.in_len == 0) {
      c.in_buf[0] = '\0';
    }
    return;  // a partial line waiting for its end
  }
  int rest = c.in_len - off;
  if (rest > 0) {
    std::memmove(c.in_buf, c.in_buf + off, static_cast<std::size_t>(rest));
  }
  c.in_len = rest;
  c.in_buf[rest] = '\0';
}

int idle_slot_to_evict(const ClientTable& t, std::uint64_t now_ms) {
  for (int i = 0; i < t.count; ++i) {
    const ClientConn& c = t.slots[i];
    if (!c.peer.reported && now_ms - c.opened_ms >= IDLE_EVICT_MS) {
      return i;
    }
  }
  return -1;
}

// A slot is set up when a connection takes it; writing the free ones now
// would only make their pages resident.
void clients_reset(ClientTable& t) {
  t.count = 0;
}

void rescan_if_due(ProtocolTables& tables, LoopTimers& timers,
                   std::uint64_t now_ms) {
  const Registry& reg = tables.registry;
  std::uint64_t period = reg.apps_dir_seen ? RESCAN_SEEN_MS : RESCAN_MS;
  if (now_ms - timers.last_rescan >= period) {
    rescan_logged(tables.registry, tables.log, tables.apps_dir, false);
    timers.last_rescan = now_ms;
  }
}

void event_loop(Daemon& d, ClientTable& clients) {
  ProtocolTables& tables = d.tables;
  LoopTimers timers;
  card_watch(d.card);
  struct pollfd pfd[MAX_CLIENTS + 3];
  for (;;) {
    pfd[0] = { d.listen_fd, POLLIN, 0 };
    pfd[1] = { d.wake_pipe[0], POLLIN, 0 };
    int polled = clients.count;
    for (int i = 0; i < polled; ++i) {
      const ClientConn& c = clients.slots[i];
      // A full buffer without a newline: reading more is impossible, so
      // wait only for the peer to finish instead of spinning on POLLIN.
      short want = c.in_len >= IN_MAX ? POLLRDHUP : POLLIN | POLLRDHUP;
      pfd[2 + i] = { c.fd, want, 0 };
    }
    struct pollfd& card = pfd[2 + polled];
    card = card_watch_poll(d.card);
    int rc = fd_poll(pfd, static_cast<nfds_t>(polled + 3), POLL_TIMEOUT_MS,
                     &g_stop_requested);
    if (rc < 0) {
      console_line(AMSD_CONSOLE, "poll: %s", std::strerror(errno));
      break;
    }
    if (rc >= 0) {
      if (g_stop_requested) {
        break;
      }
      if (pfd[0].revents & POLLIN) {
        accept_client(d, clients);
      }
      if (pfd[1].revents & POLLIN) {
        fd_drain(d.wake_pipe[0]);
      }
      // Slots shift down on removal; each keeps its own poll result. An
      // entry whose connection gave its slot to a newcomer is passed over
      // (the newcomer's descriptor was open, so it cannot be the same).
      int slot = 0;
      for (int p = 0; p < polled && slot < clients.count; ++p) {
        if (pfd[2 + p].fd != clients.slots[slot].fd) {
          continue;
        }
        if (!serve_client(tables, clients, slot, pfd[2 + p].revents)) {
          ++slot;
        }
      }
      card_tick(d.card, tables.log, tables.capture, card.revents,
                monotonic_ms());
      rescan_if_due(tables, timers, monotonic_ms());
    }
    if (g_stop_requested) {
      break;
    }
  }
  card_unwatch(d.card);
}
