// DCE/RPC 5.0 connection-oriented PDUs: the common header and the bodies of
// bind, bind_ack, bind_nak, alter_context(_resp), request, response and fault.
// Builders produce whole PDUs; parsers check every length against the bytes
// actually present.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/rpc/rpc.h"
#include "platform/rpc/wiped_bytes.h"

namespace tarn::rpc {

enum class PduType : uint8_t {
  kRequest = 0,
  kResponse = 2,
  kFault = 3,
  kBind = 11,
  kBindAck = 12,
  kBindNak = 13,
  kAlterContext = 14,
  kAlterContextResp = 15,
  kShutdown = 17,
  kCoCancel = 18,
  kOrphaned = 19,
};

constexpr uint8_t kPfcFirstFrag = 0x01;
constexpr uint8_t kPfcLastFrag = 0x02;
constexpr uint8_t kPfcDidNotExecute = 0x20;
constexpr uint8_t kPfcObjectUuid = 0x80;

constexpr size_t kHeaderSize = 16;
constexpr size_t kRequestFixedSize = 24;
constexpr size_t kResponseFixedSize = 24;
constexpr size_t kFaultSize = 32;

// Fragment sizes: what we offer, and the least a peer may announce.
constexpr uint16_t kDefaultMaxFrag = 4280;
constexpr uint16_t kMinFrag = 1432;

// Bind results and rejection reasons.
constexpr uint16_t kResultAcceptance = 0;
constexpr uint16_t kResultProviderRejection = 2;
constexpr uint16_t kReasonAbstractSyntaxNotSupported = 1;
constexpr uint16_t kReasonTransferSyntaxesNotSupported = 2;
constexpr uint16_t kNakReasonNotSpecified = 0;
constexpr uint16_t kNakProtocolVersionNotSupported = 4;

extern const RPC_SYNTAX_IDENTIFIER kNdr20Syntax;

struct PduHeader {
  PduType type = PduType::kRequest;
  uint8_t flags = 0;
  uint16_t fragLength = 0;
  uint16_t authLength = 0;
  uint32_t callId = 0;
};

// Decodes the 16 common bytes. Fails for another protocol version, a data
// representation other than little-endian ASCII, or a frag_length shorter
// than the header or longer than maxFrag: a peer sending any of these cannot
// be framed, so the connection is closed.
bool ParseHeader(const uint8_t* p, size_t n, size_t maxFrag, PduHeader& h);

bool SameSyntax(const RPC_SYNTAX_IDENTIFIER& a, const RPC_SYNTAX_IDENTIFIER& b);

struct PresentationContext {
  uint16_t contextId = 0;
  RPC_SYNTAX_IDENTIFIER abstractSyntax{};
  std::vector<RPC_SYNTAX_IDENTIFIER> transferSyntaxes;
};

struct BindBody {
  uint16_t maxXmitFrag = 0;
  uint16_t maxRecvFrag = 0;
  uint32_t assocGroupId = 0;
  std::vector<PresentationContext> contexts;
};

struct ContextResult {
  uint16_t result = kResultAcceptance;
  uint16_t reason = 0;
  RPC_SYNTAX_IDENTIFIER transferSyntax{};
};

struct BindAckBody {
  uint16_t maxXmitFrag = 0;
  uint16_t maxRecvFrag = 0;
  uint32_t assocGroupId = 0;
  std::string secondaryAddress;
  std::vector<ContextResult> results;
};

// pdu/n: a whole PDU, header included.
bool ParseBind(const uint8_t* pdu, size_t n, BindBody& body);
bool ParseBindAck(const uint8_t* pdu, size_t n, BindAckBody& body);
bool ParseBindNak(const uint8_t* pdu, size_t n, uint16_t& reason);

struct RequestFragment {
  uint32_t allocHint = 0;
  uint16_t contextId = 0;
  uint16_t opnum = 0;
  const uint8_t* stub = nullptr;
  size_t stubLength = 0;
};
bool ParseRequest(const uint8_t* pdu, size_t n, const PduHeader& h, RequestFragment& req);

struct ResponseFragment {
  uint32_t allocHint = 0;
  uint16_t contextId = 0;
  const uint8_t* stub = nullptr;
  size_t stubLength = 0;
};
bool ParseResponse(const uint8_t* pdu, size_t n, ResponseFragment& resp);
bool ParseFault(const uint8_t* pdu, size_t n, uint32_t& status);

WipedBytes BuildBind(PduType type, uint32_t callId, const BindBody& body);
WipedBytes BuildBindAck(PduType type, uint32_t callId, const BindAckBody& body);
WipedBytes BuildBindNak(uint32_t callId, uint16_t reason);
WipedBytes BuildFault(uint32_t callId, uint16_t contextId, uint32_t status,
                                bool didNotExecute);

// Splits a stub into fragments no longer than maxFrag (at least kMinFrag).
std::vector<WipedBytes> BuildRequest(uint32_t callId, uint16_t contextId,
                                               uint16_t opnum, const WipedBytes& stub,
                                               uint16_t maxFrag);
std::vector<WipedBytes> BuildResponse(uint32_t callId, uint16_t contextId,
                                                const WipedBytes& stub,
                                                uint16_t maxFrag);

}  // namespace tarn::rpc
