// The NDR20 marshalling engine driven by procedure descriptions: the client
// half (ins out, outs and result back) and the server half (ins in, manager
// routine, outs and result out). Every count read from the wire is checked
// against what the description allows before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/rpc/rpcndr.h"
#include "platform/rpc/wiped_bytes.h"

namespace tarn::rpc {

// Most parameters one procedure may have; keeps frames on the stack.
constexpr unsigned kMaxParams = 32;

// Checks a description once, at registration or first use: opnums in order,
// known wire types and directions, size_is references to an [in] long.
RPC_STATUS ValidateInterfaceDesc(const RPC_INTERFACE_DESC* desc);

// True when the C++ parameter shapes fit the procedure's wire types.
bool ShapesMatch(const NDR_PROC_DESC& proc, const char* shapes, unsigned count);

// Client: checks the arguments (null references, bounds) and marshals the ins.
RPC_STATUS MarshalIns(const NDR_PROC_DESC& proc, const NDR_ARG* args,
                      WipedBytes& stub);

// Client: decodes the outs and the result; writes the caller's out parameters
// only when the whole response decoded.
RPC_STATUS UnmarshalOuts(const NDR_PROC_DESC& proc, const NDR_ARG* args, const uint8_t* stub,
                         size_t n, long& result);

// Server: unmarshals the ins, calls the routine, marshals the outs and the
// result into out. A non-zero status is the fault to send.
RPC_STATUS ServerCall(const NDR_PROC_DESC& proc, const NDR_SERVER_ROUTINE& routine,
                      const uint8_t* in, size_t n, WipedBytes& out);

}  // namespace tarn::rpc
