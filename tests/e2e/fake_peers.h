// Stand-ins for the daemon's peers in tests: a launcher that records the
// request frames it gets and answers as told, and a listener that records
// the text lines sent to it (the crash listener, or a control socket).
// Each serves its socket on a thread of its own; destroying it stops the
// thread, closes every connection and removes the socket file.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
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

// What the fake launcher does with one request.
struct FakeReply {
  enum class Mode {
    kSend,        // send bytes, then wait for the peer to close
    kCloseAfter,  // send the first close_after bytes, then close
    kSilent,      // send nothing; hold until the peer closes or release()
    kTrickle,     // send bytes one at a time, step_ms apart
  };
  Mode mode = Mode::kSend;
  std::vector<std::uint8_t> bytes;
  std::size_t close_after = 0;
  int step_ms = 0;

  static FakeReply accept() { return result(0); }
  static FakeReply result(std::uint32_t code);
  static FakeReply error();
  static FakeReply raw(std::vector<std::uint8_t> bytes);
  static FakeReply cut(std::size_t n,
                       std::vector<std::uint8_t> bytes = result_bytes(0));
  static FakeReply silent();
  static FakeReply trickle(std::vector<std::uint8_t> bytes, int step_ms);
};

// One request as the fake launcher read it.
struct RecordedFrame {
  IpcHeader header{};
  std::vector<std::uint8_t> payload;  // at most 4096 bytes are kept

  // The payload read as a request; missing bytes read as zero.
  StartRequest start() const;
  KillRequest kill() const;
};

class FakeLauncher {
 public:
  // Listens at path (a stale file there is removed first). Connections are
  // served one at a time, in order. Every request gets the next queued reply,
  // else the default reply (accept, unless set otherwise).
  explicit FakeLauncher(std::string path);
  ~FakeLauncher();
  FakeLauncher(const FakeLauncher&) = delete;
  FakeLauncher& operator=(const FakeLauncher&) = delete;

  bool ok() const { return listen_fd_ >= 0; }
  const std::string& path() const { return path_; }

  void set_default(FakeReply reply);
  void push(FakeReply reply);
  // Ends a silent hold in progress (the peer sees the connection close).
  void release();

  std::size_t frame_count() const;
  std::vector<RecordedFrame> frames() const;
  // True once at least n requests were recorded, false at the deadline.
  bool wait_frames(std::size_t n, int timeout_ms) const;
  // Connections accepted, including those that sent no whole header.
  std::size_t connection_count() const;

 private:
  void run();
  void serve(int fd);
  FakeReply next_reply();
  void hold(int fd, int release_seen);
  bool pause(int ms);
  int wait_readable(int fd, int timeout_ms);

  std::string path_;
  int listen_fd_ = -1;
  int wake_[2] = { -1, -1 };
  std::atomic<bool> stop_{ false };
  std::atomic<int> releases_{ 0 };
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<RecordedFrame> frames_;
  std::deque<FakeReply> queue_;
  FakeReply default_ = FakeReply::accept();
  std::size_t connections_ = 0;
  std::thread thread_;
};

// Records every newline-ended line that arrives on any connection, in
// arrival order, without its newline; what is left when a peer closes counts
// as one more line. A crash notice is one line per connection.
class LineListener {
 public:
  explicit LineListener(std::string path);
  ~LineListener();
  LineListener(const LineListener&) = delete;
  LineListener& operator=(const LineListener&) = delete;

  bool ok() const { return listen_fd_ >= 0; }
  const std::string& path() const { return path_; }

  std::vector<std::string> lines() const;
  std::size_t line_count() const;
  std::size_t connection_count() const;
  // True once at least n lines arrived, false at the deadline.
  bool wait_lines(std::size_t n, int timeout_ms) const;
  // The first line that matches, waiting for it until the deadline; empty
  // when none came.
  std::string wait_line(const std::function<bool(const std::string&)>& match,
                        int timeout_ms) const;
  std::string wait_prefix(std::string_view prefix, int timeout_ms) const;

 private:
  struct Conn {
    int fd;
    std::string partial;
  };
  void run();
  void take(Conn& c, const char* data, std::size_t n);
  void finish(Conn& c);

  std::string path_;
  int listen_fd_ = -1;
  int wake_[2] = { -1, -1 };
  std::atomic<bool> stop_{ false };
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<std::string> lines_;
  std::size_t connections_ = 0;
  std::thread thread_;
};

using CrashListener = LineListener;

}  // namespace fake
