// The process-wide server: registered interfaces and endpoints, and the
// listener (a dispatcher thread plus a bounded pool of call threads).
#pragma once

#include "platform/rpc/rpcndr.h"

namespace tarn::rpc {

struct InterfaceEntry {
  const RPC_INTERFACE_DESC* desc = nullptr;
  const NDR_SERVER_ROUTINE* routines = nullptr;
  RPC_IF_CALLBACK_FN* callback = nullptr;
  RPC_IF_HANDLE ifHandle = nullptr;
};

// Finds a registered interface by its syntax identifier: the same UUID and
// major version, and a minor version no higher than the registered one.
bool FindInterface(const RPC_SYNTAX_IDENTIFIER& id, InterfaceEntry& out);

// The current registration of desc, if it is still registered.
bool FindInterface(const RPC_INTERFACE_DESC* desc, InterfaceEntry& out);

// For tests: stops listening, closes every endpoint and unregisters every
// interface, so that a process may start a fresh server.
void ResetServer();

// Limit of simultaneous connections a server keeps; more are refused.
constexpr unsigned kMaxConnections = 512;

}  // namespace tarn::rpc
