// The server side of one connection: presentation contexts negotiated by
// bind and alter_context, fragment assembly of requests, and dispatch to the
// registered interfaces. It sees whole PDUs only; framing and time limits are
// the transport's.
//
// Answers to a hostile peer: a PDU that cannot be understood closes the
// connection (after a bind_nak or fault where the peer can still use one);
// a well-framed request that cannot be served gets a fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/rpc/impersonation.h"
#include "platform/rpc/pdu.h"
#include "platform/rpc/rpcndr.h"
#include "platform/rpc/wiped_bytes.h"

namespace tarn::rpc {

// Largest request stub assembled from fragments; the interface's largest
// call is a few kilobytes.
constexpr size_t kMaxRequestStub = 256 * 1024;

class Association {
 public:
  Association(PeerIdentity peer, std::string secondaryAddress);

  // Handles one whole PDU whose header passed ParseHeader and appends the
  // PDUs to send. Returns false when the connection must close after them.
  bool OnPdu(const uint8_t* pdu, size_t n, const PduHeader& h,
             std::vector<WipedBytes>& replies);

  // True while a fragmented request is incomplete.
  bool Assembling() const { return assembling_; }

 private:
  bool OnBind(const uint8_t* pdu, size_t n, const PduHeader& h,
              std::vector<WipedBytes>& replies);
  bool OnRequest(const uint8_t* pdu, size_t n, const PduHeader& h,
                 std::vector<WipedBytes>& replies);
  void Dispatch(std::vector<WipedBytes>& replies);

  PeerIdentity peer_;
  std::string secondaryAddress_;
  bool bound_ = false;
  uint16_t maxXmitFrag_ = kDefaultMaxFrag;
  std::map<uint16_t, const RPC_INTERFACE_DESC*> contexts_;

  bool assembling_ = false;
  uint32_t callId_ = 0;
  uint16_t contextId_ = 0;
  uint16_t opnum_ = 0;
  WipedBytes stub_;
};

}  // namespace tarn::rpc
