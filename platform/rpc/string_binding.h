// String bindings: "[ObjUuid@]ProtSeq:[NetworkAddr][[Endpoint][,Options]]".
#pragma once

#include <string>

#include "platform/rpc/rpc.h"

namespace tarn::rpc {

inline constexpr const char* kProtseqLocal = "ncalrpc";
inline constexpr const char* kProtseqTcp = "ncacn_ip_tcp";

struct BindingTarget {
  std::string objectUuid;
  std::string protseq;
  std::string networkAddress;
  std::string endpoint;
  std::string options;
};

std::string ComposeStringBinding(const BindingTarget& t);

// RPC_S_INVALID_STRING_BINDING for bad syntax, RPC_S_PROTSEQ_NOT_SUPPORTED
// for a protocol sequence other than ours, RPC_S_INVALID_ENDPOINT_FORMAT for
// an endpoint that does not fit the protocol sequence.
RPC_STATUS ParseStringBinding(const std::string& text, BindingTarget& t);

// Endpoint names: a local endpoint is a plain file name (no path), a TCP
// endpoint a port number.
bool ValidLocalEndpoint(const std::string& name);
bool ParsePort(const std::string& text, uint16_t& port);

}  // namespace tarn::rpc
