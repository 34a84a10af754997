#include "amsd/base/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

void notify_service_manager(const char* state) {
  const char* where = std::getenv("NOTIFY_SOCKET");
  if (!where || (where[0] != '/' && where[0] != '@')) {
    return;
  }
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::size_t n = std::strlen(where);
  if (n >= sizeof addr.sun_path) {
    return;
  }
  std::memcpy(addr.sun_path, where, n);
  if (where[0] == '@') {
    addr.sun_path[0] = '\0';  // an abstract name is not terminated
  } else {
    ++n;
  }
  auto len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + n);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return;
  }
  ssize_t ignored = sendto(fd, state, std::strlen(state), MSG_NOSIGNAL,
                           reinterpret_cast<struct sockaddr*>(&addr), len);
  (void)ignored;
  close(fd);
}
