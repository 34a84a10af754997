#include "tests/support/fake_peers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "amsd/base/clock.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/text.h"
#include "amsd/base/unix_addr.h"

namespace fake {

namespace {

constexpr std::size_t PAYLOAD_KEEP = 4096;
constexpr int IO_WAIT_MS = 3000;  // for a request to arrive, a reply to leave

int listen_unix(const std::string& path) {
  unlink(path.c_str());
  struct sockaddr_un addr = { AF_UNIX, {} };
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || copy_text(addr.sun_path, path)) {
    close(fd);
    return -1;
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::vector<std::uint8_t> frame_bytes(std::uint16_t kind, std::uint32_t length,
                                      const std::vector<std::uint8_t>& body,
                                      std::uint32_t magic,
                                      std::uint16_t version) {
  IpcHeader h = make_header(kind, length);
  h.magic = magic;
  h.version = version;
  std::uint8_t head[IPC_HEADER_SIZE];
  encode_header(h, head);
  std::vector<std::uint8_t> out(sizeof head + body.size());
  std::memcpy(out.data(), head, sizeof head);
  std::copy(body.begin(), body.end(), out.begin() + sizeof head);
  return out;
}

std::vector<std::uint8_t> result_bytes(std::uint32_t code) {
  std::uint8_t frame[RESULT_FRAME_SIZE];
  encode_result_reply(code, frame);
  return std::vector<std::uint8_t>(frame, frame + sizeof frame);
}

Peer::Peer(std::string path) : path_(std::move(path)) {
  listen_fd_ = listen_unix(path_);
  if (listen_fd_ >= 0 && pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    close(listen_fd_);
    listen_fd_ = -1;
  }
}

// The wake pipe exists exactly when the listening socket does.
Peer::~Peer() {
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    close(wake_[0]);
    close(wake_[1]);
    unlink(path_.c_str());
  }
}

void Peer::start() {
  if (!ok()) {
    return;
  }
  thread_ = std::thread([this] {
    for (int rc; (rc = wait(listen_fd_, -1)) >= 0;) {
      int fd =
          rc > 0 ? accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
      if (fd >= 0) {
        serve(fd);
      }
    }
  });
}

void Peer::stop() {
  stop_ = true;
  if (thread_.joinable()) {
    char c = 'w';
    ssize_t ignored = write(wake_[1], &c, 1);
    (void)ignored;  // the pipe is empty: the byte always fits
    thread_.join();
  }
}

int Peer::wait(int fd, int timeout_ms) {
  // The wake pipe is never drained: once written, the peer is stopping.
  struct pollfd p[2] = { { wake_[0], POLLIN, 0 }, { fd, POLLIN, 0 } };
  int rc = poll(p, 2, timeout_ms);
  if (stop_ || (rc > 0 && (p[0].revents & POLLIN))) {
    return -1;
  }
  return rc > 0 ? 1 : rc == 0 ? 0 : (errno == EINTR ? 0 : -1);
}

void FakeLauncher::push(FakeReply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.push_back(std::move(reply));
}

std::vector<RecordedFrame> FakeLauncher::frames() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_;
}

std::size_t FakeLauncher::connection_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

void FakeLauncher::serve(int fd) {
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{ fd };
  FakeReply r = FakeReply::result(LAUNCH_ACCEPTED);
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++connections_;
    if (!queue_.empty()) {
      r = std::move(queue_.front());
      queue_.pop_front();
    }
  }
  if (r.unread) {
    return;
  }
  RecordedFrame f;
  std::uint8_t head[IPC_HEADER_SIZE];
  std::uint64_t deadline = monotonic_ms() + IO_WAIT_MS;
  if (sock_recv_all(fd, head, sizeof head, deadline, IO_WAIT_MS) != 0) {
    return;
  }
  f.header = decode_header(head);
  f.payload.resize(std::min<std::size_t>(f.header.length, PAYLOAD_KEEP));
  if (sock_recv_all(fd, f.payload.data(), f.payload.size(), deadline,
                    IO_WAIT_MS) != 0) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    frames_.push_back(std::move(f));
  }
  if (r.hold) {
    // Until the peer closes: it then reads as end of stream.
    for (int rc; (rc = wait(fd, -1)) >= 0;) {
      char buf[256];
      ssize_t n = rc > 0 ? recv(fd, buf, sizeof buf, MSG_DONTWAIT) : -1;
      if (n == 0 || (n < 0 && rc > 0 && errno != EINTR && errno != EAGAIN)) {
        return;
      }
    }
    return;
  }
  std::size_t n = std::min(r.close_after, r.bytes.size());
  std::size_t step = r.step_ms > 0 ? 1 : n;
  for (std::size_t i = 0; i < n; i += step) {
    if (sock_send_all(fd, r.bytes.data() + i, step, monotonic_ms() + IO_WAIT_MS,
                      IO_WAIT_MS) != 0 ||
        (r.step_ms > 0 && wait(-1, r.step_ms) < 0)) {
      return;
    }
  }
}

Sink::~Sink() {
  stop();
  for (int fd : fds_) {
    close(fd);
  }
}

std::size_t Sink::connection_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return fds_.size();
}

void Sink::serve(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  fds_.push_back(fd);
}

DeadEnd::DeadEnd(std::string path, Kind kind) : path_(std::move(path)) {
  unlink(path_.c_str());
  struct sockaddr_un addr;
  socklen_t len = unix_addr(addr, path_.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return;
  }
  fds_.push_back(fd);
  // A backlog of 0 still queues one connection.
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) != 0 ||
      listen(fd, 0) != 0) {
    return;
  }
  if (kind == kRefused) {
    close(fd);
    fds_.clear();
    ok_ = true;
    return;
  }
  // Queue connections until one finds no room.
  for (int i = 0; kind == kBacklogFull && i < 64; ++i) {
    int c = unix_connect(path_.c_str(), SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (c < 0) {
      return;
    }
    if (errno == EAGAIN) {
      close(c);
      ok_ = true;
      return;
    }
    fds_.push_back(c);
  }
  ok_ = kind == kNeverAccepts;
}

DeadEnd::~DeadEnd() {
  for (int fd : fds_) {
    close(fd);
  }
  unlink(path_.c_str());
}

LineListener::~LineListener() {
  stop();
  for (std::thread& t : readers_) {
    t.join();
  }
}

std::vector<std::string> LineListener::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::string LineListener::wait_prefix(std::string_view prefix,
                                      int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  std::string found;
  cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const std::string& l : lines_) {
      if (l.starts_with(prefix)) {
        found = l;
        return true;
      }
    }
    return false;
  });
  return found;
}

void LineListener::serve(int fd) {
  readers_.emplace_back([this, fd] { read_lines(fd); });
}

void LineListener::read_lines(int fd) {
  std::string partial;
  for (int rc; (rc = wait(fd, -1)) >= 0;) {
    char buf[4096];
    ssize_t n = rc > 0 ? recv(fd, buf, sizeof buf, MSG_DONTWAIT) : -1;
    if (n < 0 && (rc == 0 || errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    partial.append(buf, static_cast<std::size_t>(n));
    std::lock_guard<std::mutex> lock(mu_);
    for (std::size_t nl; (nl = partial.find('\n')) != std::string::npos;
         partial.erase(0, nl + 1)) {
      lines_.push_back(partial.substr(0, nl));
    }
    cv_.notify_all();
  }
  if (!partial.empty()) {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.push_back(partial);
    cv_.notify_all();
  }
  close(fd);
}

}  // namespace fake
