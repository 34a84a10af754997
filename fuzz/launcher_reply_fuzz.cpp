// The launcher client's reply reader: launcher_call (with no pause between
// its attempts) against a listener in a scratch directory whose thread reads
// each request whole, answers with input bytes and closes.
// The first two bytes (little-endian) give the length of the first
// attempt's answer; the bytes after it answer the second attempt. The
// result must be the one the frame layout gives for those bytes.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "amsd/base/clock.h"
#include "amsd/base/fd_io.h"
#include "amsd/base/text.h"
#include "amsd/base/unix_addr.h"
#include "amsd/launcher/frame.h"
#include "amsd/launcher/launcher_client.h"
#include "fuzz/fuzz_target.h"
#include "tests/support/temp_dir.h"

namespace {

struct Bytes {
  const std::uint8_t* p;
  std::size_t n;
};

// The request every input sends.
StartRequest request() {
  return make_start_request("demo", "main", 1, 7, "share", "cam");
}

// The request arrives at once; the wait only bounds a broken client.
bool read_full(int fd, void* buf, std::size_t n) {
  return sock_recv_all(fd, buf, n, monotonic_ms() + 2000, 2000) == 0;
}

// The launcher's side, on one thread for the whole run (a thread per input
// would cost more than the input). Pipes hand each call over: go wakes the
// thread, which answers one connection per attempt until stop is readable,
// then writes done.
class FakeLauncher {
 public:
  FakeLauncher() {
    launcher_set_retry_pause_ms(0);  // thousands of inputs a second
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    socklen_t len = unix_addr(addr, path_.c_str());
    FUZZ_CHECK(fd_ >= 0 &&
               bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
               listen(fd_, 4) == 0);
    FUZZ_CHECK(pipe2(go_, O_CLOEXEC) == 0 && pipe2(stop_, O_CLOEXEC) == 0 &&
               pipe2(done_, O_CLOEXEC) == 0);
    thread_ = std::thread([this] { run(); });
  }
  ~FakeLauncher() {
    poke(go_[1], 'q');
    thread_.join();
    for (int fd :
         { fd_, go_[0], go_[1], stop_[0], stop_[1], done_[0], done_[1] }) {
      close(fd);
    }
  }
  FakeLauncher(const FakeLauncher&) = delete;
  FakeLauncher& operator=(const FakeLauncher&) = delete;

  // One launcher_call answered with answers, attempt by attempt. Returns
  // its result; good counts the requests that arrived intact.
  int call(const Bytes (&answers)[2], std::uint32_t& code, int& good) {
    answers_ = &answers;
    good_ = 0;
    poke(go_[1], 'g');
    StartRequest r = request();
    int rc = launcher_call(path_.c_str(), MSG_START, &r, sizeof r, &code);
    poke(stop_[1], 's');
    char c;
    FUZZ_CHECK(read(done_[0], &c, 1) == 1 && read(stop_[0], &c, 1) == 1);
    good = good_;
    return rc;
  }

 private:
  static void poke(int fd, char c) { FUZZ_CHECK(write(fd, &c, 1) == 1); }

  void run() {
    char c;
    while (read(go_[0], &c, 1) == 1 && c == 'g') {
      for (const Bytes& answer : *answers_) {
        if (!serve_one(answer)) {
          break;
        }
      }
      poke(done_[1], 'd');
    }
  }

  // False once stop is readable.
  bool serve_one(const Bytes& answer) {
    struct pollfd p[2] = { { fd_, POLLIN, 0 }, { stop_[0], POLLIN, 0 } };
    if (poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) {
      return false;
    }
    int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      return false;
    }
    std::uint8_t head[IPC_HEADER_SIZE];
    StartRequest body;
    StartRequest want = request();
    if (read_full(fd, head, sizeof head) && read_full(fd, &body, sizeof body)) {
      IpcHeader h = decode_header(head);
      good_ += h.magic == IPC_MAGIC && h.kind == MSG_START &&
               h.length == sizeof body &&
               std::memcmp(&body, &want, sizeof body) == 0;
    }
    // The client may be gone before the whole answer is out.
    send(fd, answer.p, answer.n, MSG_NOSIGNAL);
    close(fd);
    return true;
  }

  TempDir dir_;
  std::string path_ = dir_.file("ipc.sock");
  int fd_ = -1;
  int go_[2] = { -1, -1 };
  int stop_[2] = { -1, -1 };
  int done_[2] = { -1, -1 };
  const Bytes (*answers_)[2] = nullptr;
  int good_ = 0;
  std::thread thread_;
};

enum class Outcome { kFailed, kResult, kError };

// What one answer means, read from the frame layout: magic, version, kind
// and length at bytes 0, 4, 6 and 12; up to 64 body bytes are read.
Outcome expected(Bytes a, std::uint32_t& code) {
  if (a.n < IPC_HEADER_SIZE || load_le32(a.p) != IPC_MAGIC ||
      load_le16(a.p + 4) != IPC_VERSION) {
    return Outcome::kFailed;
  }
  std::uint32_t length = load_le32(a.p + 12);
  std::size_t body = length < REPLY_BODY_MAX ? length : REPLY_BODY_MAX;
  if (a.n - IPC_HEADER_SIZE < body) {
    return Outcome::kFailed;
  }
  std::uint16_t kind = load_le16(a.p + 6);
  if (kind == REPLY_ERROR) {
    return Outcome::kError;
  }
  if (kind != REPLY_RESULT || body < 4) {
    return Outcome::kFailed;
  }
  code = load_le32(a.p + IPC_HEADER_SIZE);
  return Outcome::kResult;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static FakeLauncher launcher;
  Bytes answers[2] = { { data, 0 }, { data, 0 } };
  if (size >= 2) {
    std::size_t first = load_le16(data);
    if (first > size - 2) {
      first = size - 2;
    }
    answers[0] = { data + 2, first };
    answers[1] = { data + 2 + first, size - 2 - first };
  }
  std::uint32_t code = 0xDEADBEEF;
  int good = 0;
  int rc = launcher.call(answers, code, good);

  std::uint32_t want_code = 0;
  Outcome first = expected(answers[0], want_code);
  Outcome last =
      first == Outcome::kFailed ? expected(answers[1], want_code) : first;
  int attempts = first == Outcome::kFailed ? 2 : 1;
  FUZZ_CHECK(good == attempts);
  switch (last) {
  case Outcome::kResult:
    FUZZ_CHECK(rc == 0 && code == want_code);
    break;
  case Outcome::kError:
    FUZZ_CHECK(rc == LAUNCHER_REPLY_ERROR && code == 0xDEADBEEF);
    break;
  case Outcome::kFailed:
    FUZZ_CHECK(rc == -1 && code == 0xDEADBEEF);
    break;
  }
  return 0;
}
