// Binding handles: what a string binding names, plus on the client side the
// connections kept open between calls (each bound to one interface).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/rpc/protected.h"
#include "platform/rpc/rpcndr.h"
#include "platform/rpc/string_binding.h"

namespace tarn::rpc {

struct ClientConnection {
  ClientConnection() = default;
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;
  ~ClientConnection();

  int fd = -1;
  const RPC_INTERFACE_DESC* iface = nullptr;
  uint16_t maxXmitFrag = 0;  // largest fragment we may send
  uint32_t nextCallId = 2;   // 1 went to the bind
};

class Binding {
 public:
  static constexpr uint32_t kMagic = 0x54524243;

  explicit Binding(BindingTarget t) : target_(std::move(t)) {}
  ~Binding() { magic_ = 0; }

  bool Valid() const { return magic_ == kMagic; }
  const BindingTarget& Target() const { return target_; }

  // An open connection bound to iface, or null when none is idle.
  std::unique_ptr<ClientConnection> TakeIdle(const RPC_INTERFACE_DESC* iface);
  void ReturnIdle(std::unique_ptr<ClientConnection> c);

 private:
  uint32_t magic_ = kMagic;
  BindingTarget target_;
  Protected<std::vector<std::unique_ptr<ClientConnection>>> idle_;
};

// Null for a null or foreign handle.
Binding* BindingFromHandle(RPC_BINDING_HANDLE h);

}  // namespace tarn::rpc
