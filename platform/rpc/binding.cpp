#include "platform/rpc/binding.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/rpc/socket_io.h"

namespace tarn::rpc {

namespace {

// Idle connections kept per binding; more are closed after their call.
constexpr size_t kMaxIdle = 4;

RPC_STATUS CopyOut(const std::string& s, RPC_CSTR* out) {
  auto* p = static_cast<unsigned char*>(std::malloc(s.size() + 1));
  if (!p) return RPC_S_OUT_OF_MEMORY;
  std::memcpy(p, s.c_str(), s.size() + 1);
  *out = p;
  return RPC_S_OK;
}

std::string Text(RPC_CSTR s) { return s ? reinterpret_cast<const char*>(s) : ""; }

}  // namespace

ClientConnection::~ClientConnection() {
  if (fd >= 0) close(fd);
}

std::unique_ptr<ClientConnection> Binding::TakeIdle(const RPC_INTERFACE_DESC* iface) {
  auto idle = idle_.Lock();
  for (size_t i = idle->size(); i-- > 0;) {
    if ((*idle)[i]->iface != iface) continue;
    std::unique_ptr<ClientConnection> c = std::move((*idle)[i]);
    idle->erase(idle->begin() + static_cast<std::ptrdiff_t>(i));
    if (!IdleConnectionStale(c->fd)) return c;
  }
  return nullptr;
}

void Binding::ReturnIdle(std::unique_ptr<ClientConnection> c) {
  auto idle = idle_.Lock();
  if (idle->size() < kMaxIdle) idle->push_back(std::move(c));
}

Binding* BindingFromHandle(RPC_BINDING_HANDLE h) {
  auto* b = static_cast<Binding*>(h);
  return b && b->Valid() ? b : nullptr;
}

}  // namespace tarn::rpc

using tarn::rpc::Binding;
using tarn::rpc::BindingTarget;

RPC_STATUS RpcStringBindingComposeA(RPC_CSTR ObjUuid, RPC_CSTR ProtSeq, RPC_CSTR NetworkAddr,
                                    RPC_CSTR Endpoint, RPC_CSTR Options,
                                    RPC_CSTR* StringBinding) {
  if (!StringBinding) return RPC_S_INVALID_ARG;
  BindingTarget t;
  using tarn::rpc::Text;
  t.objectUuid = Text(ObjUuid);
  t.protseq = Text(ProtSeq);
  t.networkAddress = Text(NetworkAddr);
  t.endpoint = Text(Endpoint);
  t.options = Text(Options);
  return tarn::rpc::CopyOut(tarn::rpc::ComposeStringBinding(t), StringBinding);
}

RPC_STATUS RpcBindingFromStringBindingA(RPC_CSTR StringBinding, RPC_BINDING_HANDLE* Binding) {
  if (!Binding) return RPC_S_INVALID_ARG;
  *Binding = nullptr;
  if (!StringBinding) return RPC_S_INVALID_STRING_BINDING;
  BindingTarget t;
  RPC_STATUS st = tarn::rpc::ParseStringBinding(tarn::rpc::Text(StringBinding), t);
  if (st != RPC_S_OK) return st;
  auto* b = new (std::nothrow) ::Binding(std::move(t));
  if (!b) return RPC_S_OUT_OF_MEMORY;
  *Binding = b;
  return RPC_S_OK;
}

RPC_STATUS RpcBindingToStringBindingA(RPC_BINDING_HANDLE Binding, RPC_CSTR* StringBinding) {
  ::Binding* b = tarn::rpc::BindingFromHandle(Binding);
  if (!b) return RPC_S_INVALID_BINDING;
  if (!StringBinding) return RPC_S_INVALID_ARG;
  return tarn::rpc::CopyOut(tarn::rpc::ComposeStringBinding(b->Target()), StringBinding);
}

RPC_STATUS RpcStringFreeA(RPC_CSTR* String) {
  if (!String) return RPC_S_INVALID_ARG;
  std::free(*String);
  *String = nullptr;
  return RPC_S_OK;
}

RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* Binding) {
  if (!Binding) return RPC_S_INVALID_ARG;
  ::Binding* b = tarn::rpc::BindingFromHandle(*Binding);
  if (!b) return RPC_S_INVALID_BINDING;
  delete b;
  *Binding = nullptr;
  return RPC_S_OK;
}
