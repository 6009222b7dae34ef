// The RPC runtime as the service uses it.
#pragma once

#if __has_include("platform/rpc/rpc.h")
#include "platform/rpc/rpc.h"
#else
// FIXME: stand-in until the RPC runtime (platform/rpc) is merged: no calls
// arrive yet, so impersonation has nobody to become and succeeds doing nothing.
typedef long RPC_STATUS;
#define RPC_S_OK 0
inline RPC_STATUS RpcImpersonateClient(void*) { return RPC_S_OK; }
inline RPC_STATUS RpcRevertToSelf() { return RPC_S_OK; }
#endif
