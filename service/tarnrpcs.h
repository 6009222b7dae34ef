// The server side of the interface: the routine table and the server start.
#pragma once

#include "platform/rpc/rpc.h"

extern RPC_IF_HANDLE tarnsvc_v1_0_s_ifspec;

// Registers the interface and listens on "ncalrpc" endpoint "tarnsvc". Does
// not return while the server listens when wait is set. On a failed step it
// writes "RPC Err: %d\nfile = %s, line=%d." to standard output and returns
// the status.
RPC_STATUS StartRpcServer(bool wait = true);
