// Who is calling, and acting as that caller. An "ncalrpc" caller is known
// from SO_PEERCRED (and SO_PEERGROUPS); a TCP caller is not known at all.
// Impersonation changes only the calling thread's file-system identity
// (fsuid, fsgid and supplementary groups), which Linux keeps per thread.
#pragma once

#include <sys/types.h>

#include <vector>

namespace tarn::rpc {

struct PeerIdentity {
  bool known = false;
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

// The identity of the process at the other end of a Unix socket.
PeerIdentity PeerOfSocket(int fd);

// Marks the calling thread as serving a call from peer for its lifetime;
// undoes any impersonation the manager routine left in place.
class CallScope {
 public:
  explicit CallScope(const PeerIdentity* peer);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

}  // namespace tarn::rpc
