#include "platform/rpc/impersonation.h"

#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/rpc/rpc.h"

namespace tarn::rpc {

namespace {

struct ThreadCallState {
  const PeerIdentity* caller = nullptr;
  bool inCall = false;
  bool impersonating = false;
  uid_t savedFsuid = 0;
  gid_t savedFsgid = 0;
  std::vector<gid_t> savedGroups;
};

thread_local ThreadCallState tCall;

// glibc's setgroups changes every thread of the process; the raw system
// call changes only this one.
int SetThreadGroups(const std::vector<gid_t>& groups) {
  return static_cast<int>(syscall(SYS_setgroups, groups.size(), groups.data()));
}

std::vector<gid_t> ThreadGroups() {
  int n = static_cast<int>(syscall(SYS_getgroups, 0, nullptr));
  std::vector<gid_t> g(n > 0 ? static_cast<size_t>(n) : 0);
  if (n > 0) {
    n = static_cast<int>(syscall(SYS_getgroups, n, g.data()));
    g.resize(n > 0 ? static_cast<size_t>(n) : 0);
  }
  return g;
}

// setfsuid/setfsgid report the previous value and never fail loudly; an
// invalid id (-1) reads the current one.
uid_t CurrentFsuid() { return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))); }
gid_t CurrentFsgid() { return static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))); }

void Restore(ThreadCallState& s) {
  setfsuid(s.savedFsuid);
  setfsgid(s.savedFsgid);
  SetThreadGroups(s.savedGroups);
  s.impersonating = false;
}

bool SameSet(std::vector<gid_t> a, std::vector<gid_t> b) {
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  a.erase(std::unique(a.begin(), a.end()), a.end());
  b.erase(std::unique(b.begin(), b.end()), b.end());
  return a == b;
}

}  // namespace

PeerIdentity PeerOfSocket(int fd) {
  PeerIdentity id;
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return id;
  id.known = true;
  id.pid = cred.pid;
  id.uid = cred.uid;
  id.gid = cred.gid;
#ifdef SO_PEERGROUPS
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 3; ++attempt) {
    socklen_t glen = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &glen) == 0) {
      groups.resize(glen / sizeof(gid_t));
      id.groups = std::move(groups);
      break;
    }
    if (errno != ERANGE || glen / sizeof(gid_t) > 65536) break;
    groups.resize(glen / sizeof(gid_t));
  }
#endif
  return id;
}

CallScope::CallScope(const PeerIdentity* peer) {
  tCall.caller = peer;
  tCall.inCall = true;
}

CallScope::~CallScope() {
  if (tCall.impersonating) Restore(tCall);
  tCall.caller = nullptr;
  tCall.inCall = false;
}

}  // namespace tarn::rpc

RPC_STATUS RpcImpersonateClient(RPC_BINDING_HANDLE BindingHandle) {
  using tarn::rpc::tCall;
  if (BindingHandle != nullptr) return RPC_S_INVALID_BINDING;  // only the current call
  if (!tCall.inCall) return RPC_S_NO_CALL_ACTIVE;
  const tarn::rpc::PeerIdentity* peer = tCall.caller;
  if (!peer || !peer->known) return RPC_S_BINDING_HAS_NO_AUTH;
  if (!tCall.impersonating) {
    tCall.savedFsuid = tarn::rpc::CurrentFsuid();
    tCall.savedFsgid = tarn::rpc::CurrentFsgid();
    tCall.savedGroups = tarn::rpc::ThreadGroups();
  }
  const std::vector<gid_t>& groups = peer->groups;
  // Groups first: after the fsuid changes the thread may lose the right to.
  if (tarn::rpc::SetThreadGroups(groups) != 0 &&
      !tarn::rpc::SameSet(groups, tarn::rpc::ThreadGroups())) {
    tarn::rpc::Restore(tCall);
    return ERROR_CANNOT_IMPERSONATE;
  }
  setfsgid(peer->gid);
  setfsuid(peer->uid);
  tCall.impersonating = true;
  if (tarn::rpc::CurrentFsuid() != peer->uid || tarn::rpc::CurrentFsgid() != peer->gid) {
    tarn::rpc::Restore(tCall);
    return ERROR_CANNOT_IMPERSONATE;
  }
  return RPC_S_OK;
}

RPC_STATUS RpcRevertToSelf(void) {
  using tarn::rpc::tCall;
  if (!tCall.inCall) return RPC_S_NO_CALL_ACTIVE;
  if (tCall.impersonating) tarn::rpc::Restore(tCall);
  return RPC_S_OK;
}
