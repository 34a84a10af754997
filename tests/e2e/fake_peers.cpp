#include "tests/e2e/fake_peers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "amsd/core/text.h"

namespace fake {

namespace {

constexpr std::size_t kPayloadKeep = 4096;
constexpr int kRequestWaitMs = 3000;  // for a whole request to arrive
constexpr int kLingerMs = 3000;       // for the peer to close after a reply

int listen_unix(const std::string& path) {
  unlink(path.c_str());
  struct sockaddr_un addr = {};
  if (path.size() >= sizeof addr.sun_path) {
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void drain(int fd) {
  char buf[64];
  while (read(fd, buf, sizeof buf) > 0) {
  }
}

void poke(int fd) {
  char c = 'w';
  ssize_t ignored = write(fd, &c, 1);
  (void)ignored;  // a full pipe already wakes the thread
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
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

FakeReply FakeReply::result(std::uint32_t code) {
  return raw(result_bytes(code));
}

FakeReply FakeReply::error() {
  std::uint8_t frame[IPC_HEADER_SIZE];
  encode_error_reply(frame);
  return raw(std::vector<std::uint8_t>(frame, frame + sizeof frame));
}

FakeReply FakeReply::raw(std::vector<std::uint8_t> bytes) {
  FakeReply r;
  r.bytes = std::move(bytes);
  return r;
}

FakeReply FakeReply::cut(std::size_t n, std::vector<std::uint8_t> bytes) {
  FakeReply r;
  r.mode = Mode::kCloseAfter;
  r.bytes = std::move(bytes);
  r.close_after = n;
  return r;
}

FakeReply FakeReply::silent() {
  FakeReply r;
  r.mode = Mode::kSilent;
  return r;
}

FakeReply FakeReply::trickle(std::vector<std::uint8_t> bytes, int step_ms) {
  FakeReply r;
  r.mode = Mode::kTrickle;
  r.bytes = std::move(bytes);
  r.step_ms = step_ms;
  return r;
}

StartRequest RecordedFrame::start() const {
  StartRequest r;
  std::memset(&r, 0, sizeof r);
  if (!payload.empty()) {
    std::memcpy(&r, payload.data(), std::min(payload.size(), sizeof r));
  }
  return r;
}

KillRequest RecordedFrame::kill() const {
  KillRequest r;
  std::memset(&r, 0, sizeof r);
  if (!payload.empty()) {
    std::memcpy(&r, payload.data(), std::min(payload.size(), sizeof r));
  }
  return r;
}

FakeLauncher::FakeLauncher(std::string path) : path_(std::move(path)) {
  listen_fd_ = listen_unix(path_);
  if (listen_fd_ < 0) {
    return;
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    close(listen_fd_);
    listen_fd_ = -1;
    return;
  }
  thread_ = std::thread([this] { run(); });
}

FakeLauncher::~FakeLauncher() {
  stop_ = true;
  if (thread_.joinable()) {
    poke(wake_[1]);
    thread_.join();
  }
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(path_.c_str());
  }
  for (int fd : wake_) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

void FakeLauncher::set_default(FakeReply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  default_ = std::move(reply);
}

void FakeLauncher::push(FakeReply reply) {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.push_back(std::move(reply));
}

void FakeLauncher::release() {
  ++releases_;
  poke(wake_[1]);
}

std::size_t FakeLauncher::frame_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_.size();
}

std::vector<RecordedFrame> FakeLauncher::frames() const {
  std::lock_guard<std::mutex> lock(mu_);
  return frames_;
}

bool FakeLauncher::wait_frames(std::size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return frames_.size() >= n; });
}

std::size_t FakeLauncher::connection_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

void FakeLauncher::run() {
  while (!stop_) {
    struct pollfd p[2] = { { listen_fd_, POLLIN, 0 }, { wake_[0], POLLIN, 0 } };
    if (poll(p, 2, -1) < 0) {
      continue;  // EINTR
    }
    if (p[1].revents & POLLIN) {
      drain(wake_[0]);
    }
    if (stop_ || !(p[0].revents & POLLIN)) {
      continue;
    }
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      serve(fd);
      close(fd);
    }
  }
}

// 1 when fd is readable, 0 on a wake-up (release or stop), -1 at the end of
// the wait.
int FakeLauncher::wait_readable(int fd, int timeout_ms) {
  struct pollfd p[2] = { { fd, POLLIN, 0 }, { wake_[0], POLLIN, 0 } };
  int rc = poll(p, 2, timeout_ms);
  if (rc < 0 && errno == EINTR) {
    return 0;
  }
  if (rc <= 0) {
    return -1;
  }
  if (p[1].revents & POLLIN) {
    drain(wake_[0]);
    return 0;
  }
  return 1;
}

// Waits until the peer closes or the fake stops; then, with release_seen
// -1, for at most kLingerMs, else until release() is called after the
// count release_seen was taken.
void FakeLauncher::hold(int fd, int release_seen) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(release_seen < 0 ? kLingerMs : 0);
  for (;;) {
    if (stop_ || (release_seen >= 0 && releases_ != release_seen)) {
      return;
    }
    int wait = release_seen < 0 ? remaining_ms(deadline) : -1;
    int rc = wait_readable(fd, wait);
    if (rc < 0) {
      return;
    }
    if (rc == 0) {
      continue;
    }
    char buf[256];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
      return;
    }
  }
}

// Sleeps ms unless the fake is being stopped; false then.
bool FakeLauncher::pause(int ms) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop_) {
    int left = remaining_ms(deadline);
    if (left == 0) {
      return true;
    }
    struct pollfd p = { wake_[0], POLLIN, 0 };
    if (poll(&p, 1, left) > 0) {
      drain(wake_[0]);
    }
  }
  return false;
}

FakeReply FakeLauncher::next_reply() {
  if (queue_.empty()) {
    return default_;
  }
  FakeReply r = std::move(queue_.front());
  queue_.pop_front();
  return r;
}

void FakeLauncher::serve(int fd) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++connections_;
  }
  // Read one request, giving up when the peer stalls or leaves.
  RecordedFrame f;
  std::uint8_t head[IPC_HEADER_SIZE];
  std::size_t got = 0;
  std::size_t want = sizeof head;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(kRequestWaitMs);
  std::vector<std::uint8_t> payload;
  while (got < want && !stop_) {
    int rc = wait_readable(fd, remaining_ms(deadline));
    if (rc < 0) {
      break;
    }
    if (rc == 0) {
      continue;
    }
    std::uint8_t* dst =
        got < sizeof head ? head + got : payload.data() + (got - sizeof head);
    std::size_t room = got < sizeof head ? sizeof head - got : want - got;
    ssize_t n = recv(fd, dst, room, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
    if (got == sizeof head && want == sizeof head) {
      f.header = decode_header(head);
      std::size_t keep = std::min<std::size_t>(f.header.length, kPayloadKeep);
      payload.resize(keep);
      want += keep;
    }
  }
  if (got < sizeof head) {
    return;
  }
  payload.resize(got - sizeof head);
  f.payload = std::move(payload);
  FakeReply reply;
  int release_seen;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Taken with the record, so a release() made after wait_frames() sees
    // this hold.
    release_seen = releases_;
    frames_.push_back(std::move(f));
    reply = next_reply();
  }
  cv_.notify_all();

  auto send_deadline = monotonic_ms() + kRequestWaitMs;
  switch (reply.mode) {
  case FakeReply::Mode::kSend:
    if (frame_send(fd, reply.bytes.data(), reply.bytes.size(), send_deadline,
                   kRequestWaitMs) == 0) {
      hold(fd, -1);
    }
    return;
  case FakeReply::Mode::kCloseAfter:
    frame_send(fd, reply.bytes.data(),
               std::min(reply.close_after, reply.bytes.size()), send_deadline,
               kRequestWaitMs);
    return;
  case FakeReply::Mode::kSilent:
    hold(fd, release_seen);
    return;
  case FakeReply::Mode::kTrickle:
    for (std::uint8_t b : reply.bytes) {
      if (frame_send(fd, &b, 1, monotonic_ms() + kRequestWaitMs,
                     kRequestWaitMs) != 0 ||
          !pause(reply.step_ms)) {
        return;
      }
    }
    hold(fd, -1);
    return;
  }
}

LineListener::LineListener(std::string path) : path_(std::move(path)) {
  listen_fd_ = listen_unix(path_);
  if (listen_fd_ < 0) {
    return;
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    close(listen_fd_);
    listen_fd_ = -1;
    return;
  }
  thread_ = std::thread([this] { run(); });
}

LineListener::~LineListener() {
  stop_ = true;
  if (thread_.joinable()) {
    poke(wake_[1]);
    thread_.join();
  }
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(path_.c_str());
  }
  for (int fd : wake_) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

std::vector<std::string> LineListener::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::size_t LineListener::line_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_.size();
}

std::size_t LineListener::connection_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

bool LineListener::wait_lines(std::size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return lines_.size() >= n; });
}

std::string LineListener::wait_line(
    const std::function<bool(const std::string&)>& match,
    int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  std::string found;
  cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const std::string& l : lines_) {
      if (match(l)) {
        found = l;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::string LineListener::wait_prefix(std::string_view prefix,
                                      int timeout_ms) const {
  return wait_line(
      [prefix](const std::string& l) { return l.starts_with(prefix); },
      timeout_ms);
}

void LineListener::take(Conn& c, const char* data, std::size_t n) {
  c.partial.append(data, n);
  std::size_t nl;
  bool added = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    while ((nl = c.partial.find('\n')) != std::string::npos) {
      lines_.push_back(c.partial.substr(0, nl));
      c.partial.erase(0, nl + 1);
      added = true;
    }
  }
  if (added) {
    cv_.notify_all();
  }
}

void LineListener::finish(Conn& c) {
  if (!c.partial.empty()) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(c.partial);
    }
    cv_.notify_all();
  }
  close(c.fd);
}

void LineListener::run() {
  std::vector<Conn> conns;
  std::vector<struct pollfd> p;
  while (!stop_) {
    p.assign({ { listen_fd_, POLLIN, 0 }, { wake_[0], POLLIN, 0 } });
    for (const Conn& c : conns) {
      p.push_back({ c.fd, POLLIN, 0 });
    }
    if (poll(p.data(), p.size(), -1) < 0) {
      continue;  // EINTR
    }
    if (p[1].revents & POLLIN) {
      drain(wake_[0]);
    }
    if (stop_) {
      break;
    }
    // Connections first: their poll entries follow the table's order.
    std::size_t i = 0;
    for (std::size_t k = 2; k < p.size(); ++k) {
      Conn& c = conns[i];
      if (!p[k].revents) {
        ++i;
        continue;
      }
      char buf[4096];
      ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        take(c, buf, static_cast<std::size_t>(n));
        ++i;
      } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        ++i;
      } else {
        finish(c);
        conns.erase(conns.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    if (p[0].revents & POLLIN) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        conns.push_back({ fd, {} });
        std::lock_guard<std::mutex> lock(mu_);
        ++connections_;
      }
    }
  }
  for (Conn& c : conns) {
    close(c.fd);
  }
}

}  // namespace fake
