// Stand-ins for the daemon's peers in tests: a launcher that records the
// request frames it gets and answers as told, and a listener that records
// the text lines sent to it (the crash listener, or a control socket).
// Destroying one stops its threads, closes its connections and removes the
// socket file.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "amsd/launcher/frame.h"

namespace fake {

// Raw frame bytes, for replies right or wrong.
std::vector<std::uint8_t> frame_bytes(std::uint16_t kind, std::uint32_t length,
                                      const std::vector<std::uint8_t>& body,
                                      std::uint32_t magic = IPC_MAGIC,
                                      std::uint16_t version = IPC_VERSION);
// A valid REPLY_RESULT frame carrying code.
std::vector<std::uint8_t> result_bytes(std::uint32_t code);

// What the fake launcher does with one request: send bytes (the first
// close_after of them) and close.
struct FakeReply {
  std::vector<std::uint8_t> bytes;
  std::size_t close_after = SIZE_MAX;
  int step_ms = 0;      // above 0: one byte at a time, this far apart
  bool hold = false;    // send nothing; hold until the peer closes
  bool unread = false;  // close on accepting, the request unread

  static FakeReply raw(std::vector<std::uint8_t> b) { return { std::move(b) }; }
  static FakeReply result(std::uint32_t code) { return { result_bytes(code) }; }
  static FakeReply error() { return { frame_bytes(REPLY_ERROR, 0, {}) }; }
  static FakeReply cut(std::size_t n,
                       std::vector<std::uint8_t> b = result_bytes(0)) {
    return { std::move(b), n };
  }
  static FakeReply silent() { return { {}, 0, 0, true }; }
  static FakeReply close_at_once() { return { {}, 0, 0, false, true }; }
  static FakeReply trickle(std::vector<std::uint8_t> b, int step_ms) {
    return { std::move(b), SIZE_MAX, step_ms };
  }
};

// One request as the fake launcher read it.
struct RecordedFrame {
  IpcHeader header{};
  std::vector<std::uint8_t> payload;  // at most 4096 bytes are kept
};

// A listening socket whose connections are accepted on a thread of its own.
class Peer {
 public:
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  bool ok() const { return listen_fd_ >= 0; }

 protected:
  // A stale file at path is removed first.
  explicit Peer(std::string path);
  ~Peer();
  // Starts accepting; derived constructors call it last.
  void start();
  // Stops and joins the thread; derived destructors call it first.
  void stop();
  // Takes over one accepted connection.
  virtual void serve(int fd) = 0;
  // Waits for fd (-1: none) up to timeout_ms (-1: no limit): 1 readable,
  // 0 timed out, -1 once the peer is stopping.
  int wait(int fd, int timeout_ms);

  mutable std::mutex mu_;

 private:
  std::string path_;
  int listen_fd_ = -1;
  int wake_[2] = { -1, -1 };
  std::atomic<bool> stop_{ false };
  std::thread thread_;
};

class FakeLauncher final : public Peer {
 public:
  // Connections are served one at a time, in order. Every request gets the
  // next queued reply, else an acceptance.
  explicit FakeLauncher(std::string path) : Peer(std::move(path)) { start(); }
  ~FakeLauncher() { stop(); }

  void push(FakeReply reply);
  std::vector<RecordedFrame> frames() const;
  std::size_t frame_count() const { return frames().size(); }
  // Connections taken, with or without a request read from them.
  std::size_t connection_count() const;

 private:
  void serve(int fd) override;

  std::vector<RecordedFrame> frames_;
  std::deque<FakeReply> queue_;
  std::size_t connections_ = 0;
};

// Accepts every connection and holds it open without reading a byte.
class Sink final : public Peer {
 public:
  explicit Sink(std::string path) : Peer(std::move(path)) { start(); }
  ~Sink();
  std::size_t connection_count() const;

 private:
  void serve(int fd) override;

  std::vector<int> fds_;
};

// A socket file at path where nobody takes a connection.
class DeadEnd {
 public:
  enum Kind {
    kRefused,       // a stale file: connect is refused at once
    kNeverAccepts,  // listening, never accepting: connect succeeds
    kBacklogFull,   // as above, its backlog full: connect must wait
  };
  DeadEnd(std::string path, Kind kind);
  ~DeadEnd();
  DeadEnd(const DeadEnd&) = delete;
  DeadEnd& operator=(const DeadEnd&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string path_;
  std::vector<int> fds_;  // the socket, then the connections filling it
  bool ok_ = false;
};

// Records every newline-ended line that arrives on any connection, in
// arrival order, without its newline; what is left when a peer closes counts
// as one more line. A crash notice is one line per connection.
class LineListener final : public Peer {
 public:
  explicit LineListener(std::string path) : Peer(std::move(path)) { start(); }
  ~LineListener();

  std::vector<std::string> lines() const;
  std::size_t line_count() const { return lines().size(); }
  // The first line that begins with prefix, waiting for it until the
  // deadline; empty when none came.
  std::string wait_prefix(std::string_view prefix, int timeout_ms) const;

 private:
  void serve(int fd) override;
  void read_lines(int fd);

  mutable std::condition_variable cv_;
  std::vector<std::string> lines_;
  std::vector<std::thread> readers_;  // one per connection
};

using CrashListener = LineListener;

}  // namespace fake
