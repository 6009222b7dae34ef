// Runs a client call the way the program's wrappers do: an RPC failure comes
// back as its status.
#pragma once

#include "platform/rpc/rpc.h"

namespace tarn::rpc::test {

template <typename F>
long Guarded(F&& call) {
  long r = 0;
  RpcTryExcept { r = call(); }
  RpcExcept(1) { r = RpcExceptionCode(); }
  RpcEndExcept
  return r;
}

inline RPC_CSTR Cstr(const char* s) { return reinterpret_cast<RPC_CSTR>(const_cast<char*>(s)); }

}  // namespace tarn::rpc::test
