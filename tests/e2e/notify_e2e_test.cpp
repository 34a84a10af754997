// Readiness datagrams for a service manager: both daemons, through
// NOTIFY_SOCKET, received on a datagram socket of the test's own.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;

// A datagram socket at name: a path, or "@name" for an abstract one.
class Manager {
 public:
  explicit Manager(const std::string& name) : name_(name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    name.copy(addr.sun_path, sizeof addr.sun_path - 1);
    std::size_t n = name.size() + (name[0] == '@' ? 0 : 1);
    if (name[0] == '@') {
      addr.sun_path[0] = '\0';
    }
    bind(fd_, reinterpret_cast<sockaddr*>(&addr),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n));
  }
  ~Manager() { close(fd_); }
  std::string env() const { return "NOTIFY_SOCKET=" + name_; }
  // The next datagram, or "" when none came in time.
  std::string next(int timeout_ms = 20000) {
    struct pollfd p = { fd_, POLLIN, 0 };
    if (poll(&p, 1, timeout_ms) <= 0) {
      return "";
    }
    char buf[256];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
  }

 private:
  std::string name_;
  int fd_ = -1;
};

TEST(Readiness, EachDaemonTellsAManagerThatAskedForIt) {
  TempDir dir;
  const std::string names[] = { dir.file("notify.sock"),
                                "@quor-test-" + std::to_string(getpid()) };
  for (const std::string& name : names) {
    Manager m(name);
    Amsd a(dir);
    ASSERT_TRUE(a.start({}, { m.env() }));
    EXPECT_EQ(m.next(), "READY=1") << name;
    EXPECT_EQ(a.stop(), 0);
    EXPECT_EQ(m.next(), "STOPPING=1") << name;

    Process route;
    std::vector<std::string> argv = program(QUOR_ROUTE_BIN);
    argv.insert(argv.end(), { "--iters", "1" });
    ASSERT_TRUE(route.spawn(argv,
                            { m.env(), "QUOR_HEADSET_SW=/nonexistent",
                              "QUOR_BALANCE_SW=/nonexistent" },
                            dir.file("route.out"), dir.file("route.err"),
                            dir.path()));
    EXPECT_EQ(route.wait_exit(), 0);
    EXPECT_EQ(m.next(), "READY=1") << name;
  }
}

}  // namespace
