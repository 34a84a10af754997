#include "amsd/protocol/peer_trust.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "amsd/log/service_log.h"

namespace {

// Trusted: root, the daemon's own user, the owner of the launcher's socket
// file (that is the launcher), or the configured launcher uid.
void peer_check(Peer& p, const TrustRule& rule) {
  p.checked = true;
  struct ucred cred = {};
  socklen_t len = sizeof cred;
  if (getsockopt(p.fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    p.uid = static_cast<std::uint32_t>(-1);
    p.trusted = false;  // unknown: not trusted
    return;
  }
  p.uid = cred.uid;
  p.trusted = cred.uid == 0 || cred.uid == geteuid() ||
              static_cast<std::int64_t>(cred.uid) == rule.launcher_uid;
  struct stat st;
  if (!p.trusted && stat(rule.ipc_sock_path, &st) == 0) {
    p.trusted = st.st_uid == cred.uid;
  }
}

}  // namespace

bool peer_may_report(Peer& peer, const TrustRule& rule, ServiceLog& log) {
  if (!peer.checked) {
    peer_check(peer, rule);
  }
  if (!peer.trusted) {
    if (!peer.refusal_logged) {
      amsd_log(log, "event lines from uid %u ignored", peer.uid);
      peer.refusal_logged = true;
    }
    return false;
  }
  peer.reported = true;
  return true;
}
