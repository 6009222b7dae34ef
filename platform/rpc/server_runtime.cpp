// Server registration and listening: RpcServer*, RpcMgmt*, RpcEpRegister,
// RpcNsBindingExport.
#include "platform/rpc/server_runtime.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/rpc/binding.h"
#include "platform/rpc/listener.h"
#include "platform/rpc/machine_dir.h"
#include "platform/rpc/protected.h"
#include "platform/rpc/socket_io.h"
#include "platform/rpc/string_binding.h"
#include "platform/rpc/stub.h"

namespace tarn::rpc {

namespace {

struct Endpoint {
  std::string protseq;
  std::string name;  // endpoint name, or the port as text
  std::string path;  // the socket file of a local endpoint
  int fd = -1;
};

struct ServerState {
  std::vector<InterfaceEntry> interfaces;
  std::vector<Endpoint> endpoints;
  std::shared_ptr<Listener> listener;
};

Protected<ServerState>& State() {
  static Protected<ServerState> state;
  return state;
}

std::vector<ListenSocket> ListenSockets() {
  auto s = State().Lock();
  std::vector<ListenSocket> out;
  for (const auto& e : s->endpoints) out.push_back({e.fd, e.protseq == kProtseqTcp, e.name});
  return out;
}

bool SameInterfaceId(const RPC_SYNTAX_IDENTIFIER& registered, const RPC_SYNTAX_IDENTIFIER& asked) {
  RPC_SYNTAX_IDENTIFIER a = asked;
  a.SyntaxVersion = registered.SyntaxVersion;
  return SameSyntax(registered, a) &&
         asked.SyntaxVersion.MajorVersion == registered.SyntaxVersion.MajorVersion &&
         asked.SyntaxVersion.MinorVersion <= registered.SyntaxVersion.MinorVersion;
}

// mkdir -p, leaving existing directories as they are.
bool MakeDirectories(const std::string& path, mode_t mode) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The socket directory and its sockets belong to the machine directory's
// owner and group, mode 0770/0660: only they reach the service.
RPC_STATUS PrepareLocalDirectory(std::string& dir, struct stat& owner) {
  const std::string machine = MachineDirectory();
  if (!MakeDirectories(machine, 0770)) return RPC_S_CANT_CREATE_ENDPOINT;
  if (stat(machine.c_str(), &owner) != 0) return RPC_S_CANT_CREATE_ENDPOINT;
  dir = LocalEndpointDirectory();
  if (mkdir(dir.c_str(), 0770) != 0 && errno != EEXIST) return RPC_S_CANT_CREATE_ENDPOINT;
  struct stat st{};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return RPC_S_CANT_CREATE_ENDPOINT;
  if (st.st_uid != owner.st_uid || st.st_gid != owner.st_gid) {
    // Failing here (not root) leaves our own user as owner, still 0770.
    [[maybe_unused]] int r = chown(dir.c_str(), owner.st_uid, owner.st_gid);
  }
  chmod(dir.c_str(), 0770);
  return RPC_S_OK;
}

RPC_STATUS OpenLocalEndpoint(const std::string& name, unsigned backlog, Endpoint& e) {
  if (!ValidLocalEndpoint(name)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  std::string dir;
  struct stat owner{};
  RPC_STATUS st = PrepareLocalDirectory(dir, owner);
  if (st != RPC_S_OK) return st;
  const std::string path = dir + "/" + name;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat existing{};
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) return RPC_S_CANT_CREATE_ENDPOINT;
    int probe = -1;
    if (ConnectLocal(path, probe) == RPC_S_OK) {
      close(probe);
      return RPC_S_DUPLICATE_ENDPOINT;  // another server is alive on it
    }
    unlink(path.c_str());  // left behind by a server that ended
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return RPC_S_OUT_OF_RESOURCES;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(fd, static_cast<int>(backlog)) != 0) {
    close(fd);
    return RPC_S_CANT_CREATE_ENDPOINT;
  }
  chmod(path.c_str(), 0660);
  [[maybe_unused]] int r = chown(path.c_str(), owner.st_uid, owner.st_gid);
  e.protseq = kProtseqLocal;
  e.name = name;
  e.path = path;
  e.fd = fd;
  return RPC_S_OK;
}

RPC_STATUS OpenTcpEndpoint(const std::string& portText, unsigned backlog, Endpoint& e) {
  uint16_t port = 0;
  if (!ParsePort(portText, port)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return RPC_S_OUT_OF_RESOURCES;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // loopback only: TCP carries no caller identity
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(fd, static_cast<int>(backlog)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int err = errno;
    close(fd);
    return err == EADDRINUSE ? RPC_S_DUPLICATE_ENDPOINT : RPC_S_CANT_CREATE_ENDPOINT;
  }
  e.protseq = kProtseqTcp;
  e.name = std::to_string(ntohs(addr.sin_port));
  e.fd = fd;
  return RPC_S_OK;
}

RPC_STATUS UseProtseqEp(const std::string& protseq, unsigned maxCalls, const std::string& name) {
  const unsigned backlog = std::clamp(maxCalls, 16u, 1024u);
  std::shared_ptr<Listener> listener;
  {
    auto s = State().Lock();
    for (const auto& e : s->endpoints) {
      if (e.protseq == protseq && e.name == name) return RPC_S_DUPLICATE_ENDPOINT;
    }
    Endpoint e;
    RPC_STATUS st = RPC_S_PROTSEQ_NOT_SUPPORTED;
    if (protseq == kProtseqLocal) {
      st = OpenLocalEndpoint(name, backlog, e);
    } else if (protseq == kProtseqTcp) {
      st = OpenTcpEndpoint(name, backlog, e);
    }
    if (st != RPC_S_OK) return st;
    s->endpoints.push_back(e);
    listener = s->listener;
  }
  if (listener) listener->Wake();
  return RPC_S_OK;
}

const RPC_SERVER_INTERFACE* ServerInterface(RPC_IF_HANDLE ifHandle) {
  auto* si = static_cast<const RPC_SERVER_INTERFACE*>(ifHandle);
  if (!si || si->Length != sizeof(RPC_SERVER_INTERFACE) || !si->Desc) return nullptr;
  return si;
}

// Every described procedure has a routine of the matching shape; every
// reserved one has none.
RPC_STATUS CheckRoutines(const RPC_INTERFACE_DESC* desc, const NDR_SERVER_ROUTINE* routines) {
  if (!routines) return RPC_S_INVALID_ARG;
  for (unsigned i = 0; i < desc->ProcCount; ++i) {
    const NDR_PROC_DESC& proc = desc->Procs[i];
    const NDR_SERVER_ROUTINE& r = routines[i];
    if (!proc.Name) {
      if (r.Thunk) return RPC_S_INVALID_ARG;
      continue;
    }
    if (!r.Thunk || !r.Shapes ||
        !ShapesMatch(proc, r.Shapes, static_cast<unsigned>(std::strlen(r.Shapes))))
      return RPC_S_INVALID_ARG;
  }
  return RPC_S_OK;
}

}  // namespace

bool FindInterface(const RPC_SYNTAX_IDENTIFIER& id, InterfaceEntry& out) {
  auto s = State().Lock();
  for (const auto& i : s->interfaces) {
    if (SameInterfaceId(i.desc->InterfaceId, id)) {
      out = i;
      return true;
    }
  }
  return false;
}

bool FindInterface(const RPC_INTERFACE_DESC* desc, InterfaceEntry& out) {
  auto s = State().Lock();
  for (const auto& i : s->interfaces) {
    if (i.desc == desc) {
      out = i;
      return true;
    }
  }
  return false;
}

void ResetServer() {
  std::shared_ptr<Listener> listener;
  {
    auto s = State().Lock();
    listener = std::move(s->listener);
  }
  // Outside the lock: the dispatcher reads the endpoint list under it.
  if (listener) {
    listener->RequestStop();
    listener->Join();
  }
  auto s = State().Lock();
  for (auto& e : s->endpoints) {
    close(e.fd);
    if (!e.path.empty()) unlink(e.path.c_str());
  }
  s->endpoints.clear();
  s->interfaces.clear();
}

}  // namespace tarn::rpc

using namespace tarn::rpc;

RPC_STATUS RpcServerUseProtseqEpA(RPC_CSTR Protseq, unsigned int MaxCalls, RPC_CSTR Endpoint,
                                  void* SecurityDescriptor) {
  // The endpoint's access is fixed (owner and group of the machine
  // directory, 0660); there is no security descriptor to apply.
  (void)SecurityDescriptor;
  if (!Protseq) return RPC_S_INVALID_RPC_PROTSEQ;
  if (!Endpoint) return RPC_S_INVALID_ENDPOINT_FORMAT;
  return UseProtseqEp(reinterpret_cast<const char*>(Protseq), MaxCalls,
                      reinterpret_cast<const char*>(Endpoint));
}

RPC_STATUS RpcServerUseAllProtseqs(unsigned int MaxCalls, void* SecurityDescriptor) {
  (void)SecurityDescriptor;
  // "ncalrpc" needs a name and there are no dynamic endpoints here, so
  // only TCP can be added, and only when configured: it carries no caller
  // identity. FIXME: read the switch from the machine's configuration.
  const char* tcp = std::getenv("TARNVAULT_RPC_TCP");
  if (tcp && *tcp) {
    uint16_t port = 0;
    if (!ParsePort(tcp, port)) return RPC_S_INVALID_ENDPOINT_FORMAT;
    {
      auto s = State().Lock();
      for (const auto& e : s->endpoints) {
        if (e.protseq == kProtseqTcp) return RPC_S_OK;
      }
    }
    return UseProtseqEp(kProtseqTcp, MaxCalls, tcp);
  }
  auto s = State().Lock();
  return s->endpoints.empty() ? RPC_S_NO_PROTSEQS : RPC_S_OK;
}

RPC_STATUS RpcServerRegisterIfEx(RPC_IF_HANDLE IfHandle, UUID* MgrTypeUuid, RPC_MGR_EPV* MgrEpv,
                                 unsigned int Flags, unsigned int MaxCalls,
                                 RPC_IF_CALLBACK_FN* IfCallback) {
  // One manager type per interface; calls are bounded by the listener.
  (void)MgrTypeUuid;
  (void)Flags;
  (void)MaxCalls;
  const RPC_SERVER_INTERFACE* si = ServerInterface(IfHandle);
  if (!si) return RPC_S_INVALID_ARG;
  RPC_STATUS st = ValidateInterfaceDesc(si->Desc);
  if (st != RPC_S_OK) return st;
  const auto* routines =
      MgrEpv ? static_cast<const NDR_SERVER_ROUTINE*>(static_cast<void*>(MgrEpv)) : si->Routines;
  st = CheckRoutines(si->Desc, routines);
  if (st != RPC_S_OK) return st;
  auto s = State().Lock();
  for (const auto& i : s->interfaces) {
    if (SameSyntax(i.desc->InterfaceId, si->Desc->InterfaceId))
      return RPC_S_TYPE_ALREADY_REGISTERED;
  }
  s->interfaces.push_back({si->Desc, routines, IfCallback, IfHandle});
  return RPC_S_OK;
}

RPC_STATUS RpcServerRegisterIf(RPC_IF_HANDLE IfHandle, UUID* MgrTypeUuid, RPC_MGR_EPV* MgrEpv) {
  return RpcServerRegisterIfEx(IfHandle, MgrTypeUuid, MgrEpv, 0, RPC_C_LISTEN_MAX_CALLS_DEFAULT,
                               nullptr);
}

RPC_STATUS RpcServerUnregisterIf(RPC_IF_HANDLE IfHandle, UUID* MgrTypeUuid,
                                 unsigned int WaitForCallsToComplete) {
  // Calls in progress finish with the routines they started with.
  (void)MgrTypeUuid;
  (void)WaitForCallsToComplete;
  auto s = State().Lock();
  if (!IfHandle) {
    s->interfaces.clear();
    return RPC_S_OK;
  }
  const RPC_SERVER_INTERFACE* si = ServerInterface(IfHandle);
  if (!si) return RPC_S_INVALID_ARG;
  auto it = std::find_if(s->interfaces.begin(), s->interfaces.end(),
                         [&](const InterfaceEntry& e) { return e.desc == si->Desc; });
  if (it == s->interfaces.end()) return RPC_S_UNKNOWN_IF;
  s->interfaces.erase(it);
  return RPC_S_OK;
}

RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR** BindingVector) {
  if (!BindingVector) return RPC_S_INVALID_ARG;
  *BindingVector = nullptr;
  std::vector<BindingTarget> targets;
  {
    auto s = State().Lock();
    for (const auto& e : s->endpoints) {
      BindingTarget t;
      t.protseq = e.protseq;
      t.networkAddress = e.protseq == kProtseqTcp ? "127.0.0.1" : "";
      t.endpoint = e.name;
      targets.push_back(t);
    }
  }
  if (targets.empty()) return RPC_S_NO_BINDINGS;
  const size_t bytes =
      sizeof(RPC_BINDING_VECTOR) + (targets.size() - 1) * sizeof(RPC_BINDING_HANDLE);
  auto* v = static_cast<RPC_BINDING_VECTOR*>(std::calloc(1, bytes));
  if (!v) return RPC_S_OUT_OF_MEMORY;
  for (const auto& t : targets) {
    auto* b = new (std::nothrow) Binding(t);
    if (!b) {
      RpcBindingVectorFree(&v);
      return RPC_S_OUT_OF_MEMORY;
    }
    v->BindingH[v->Count++] = b;
  }
  *BindingVector = v;
  return RPC_S_OK;
}

RPC_STATUS RpcBindingVectorFree(RPC_BINDING_VECTOR** BindingVector) {
  if (!BindingVector || !*BindingVector) return RPC_S_INVALID_ARG;
  RPC_BINDING_VECTOR* v = *BindingVector;
  for (unsigned long i = 0; i < v->Count; ++i) {
    if (v->BindingH[i]) RpcBindingFree(&v->BindingH[i]);
  }
  std::free(v);
  *BindingVector = nullptr;
  return RPC_S_OK;
}

// There is no endpoint mapper on Linux: clients name the endpoint in their
// string binding, so registering with one succeeds doing nothing.
RPC_STATUS RpcEpRegisterA(RPC_IF_HANDLE IfHandle, RPC_BINDING_VECTOR* BindingVector,
                          UUID_VECTOR* UuidVector, RPC_CSTR Annotation) {
  (void)UuidVector;
  (void)Annotation;
  if (!IfHandle || !BindingVector) return RPC_S_INVALID_ARG;
  return RPC_S_OK;
}

// Nor a name service: exporting succeeds doing nothing.
RPC_STATUS RpcNsBindingExportA(unsigned long EntryNameSyntax, RPC_CSTR EntryName,
                               RPC_IF_HANDLE IfHandle, RPC_BINDING_VECTOR* BindingVec,
                               UUID_VECTOR* ObjectUuidVec) {
  (void)EntryNameSyntax;
  (void)EntryName;
  (void)IfHandle;
  (void)BindingVec;
  (void)ObjectUuidVec;
  return RPC_S_OK;
}

RPC_STATUS RpcServerListen(unsigned int MinimumCallThreads, unsigned int MaxCalls,
                           unsigned int DontWait) {
  {
    auto s = State().Lock();
    if (s->listener) return RPC_S_ALREADY_LISTENING;
    if (s->endpoints.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
    if (MaxCalls == 0 || MinimumCallThreads > MaxCalls) return RPC_S_MAX_CALLS_TOO_SMALL;
    auto listener = std::make_shared<Listener>(ListenSockets, MinimumCallThreads, MaxCalls);
    if (!listener->Start()) return RPC_S_OUT_OF_RESOURCES;
    s->listener = std::move(listener);
  }
  return DontWait ? RPC_S_OK : RpcMgmtWaitServerListen();
}

RPC_STATUS RpcMgmtStopServerListening(RPC_BINDING_HANDLE Binding) {
  if (Binding) return RPC_S_WRONG_KIND_OF_BINDING;  // only this process's server
  std::shared_ptr<Listener> listener;
  {
    auto s = State().Lock();
    listener = s->listener;
  }
  if (!listener) return RPC_S_NOT_LISTENING;
  listener->RequestStop();
  return RPC_S_OK;
}

RPC_STATUS RpcMgmtWaitServerListen(void) {
  std::shared_ptr<Listener> listener;
  {
    auto s = State().Lock();
    listener = s->listener;
  }
  if (!listener) return RPC_S_NOT_LISTENING;
  listener->Join();  // outside the lock: the dispatcher takes it
  auto s = State().Lock();
  if (s->listener == listener) s->listener.reset();
  return RPC_S_OK;
}
