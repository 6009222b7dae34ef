#include "platform/rpc/association.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "platform/rpc/server_runtime.h"
#include "platform/rpc/stub.h"

namespace tarn::rpc {

namespace {

std::atomic<uint32_t> gNextAssocGroup{0x1000};

// Presentation contexts one connection may hold; binds and alter_contexts
// beyond it are refused per context, so a peer cannot grow the table.
constexpr size_t kMaxContexts = 64;
constexpr uint16_t kReasonLocalLimitExceeded = 3;

}  // namespace

Association::Association(PeerIdentity peer, std::string secondaryAddress)
    : peer_(std::move(peer)), secondaryAddress_(std::move(secondaryAddress)) {}

bool Association::OnPdu(const uint8_t* pdu, size_t n, const PduHeader& h,
                        std::vector<WipedBytes>& replies) {
  // Only requests may interleave with nothing: a fragmented request must
  // be finished before anything else arrives.
  if (assembling_ && h.type != PduType::kRequest) return false;
  switch (h.type) {
    case PduType::kBind:
    case PduType::kAlterContext:
      return OnBind(pdu, n, h, replies);
    case PduType::kRequest:
      return OnRequest(pdu, n, h, replies);
    case PduType::kCoCancel:
    case PduType::kOrphaned:
      return true;  // calls run to completion; nothing to cancel
    default:
      return false;
  }
}

bool Association::OnBind(const uint8_t* pdu, size_t n, const PduHeader& h,
                         std::vector<WipedBytes>& replies) {
  const bool alter = h.type == PduType::kAlterContext;
  BindBody body;
  if ((alter != bound_) || h.authLength != 0 || !ParseBind(pdu, n, body) ||
      body.maxXmitFrag < kMinFrag || body.maxRecvFrag < kMinFrag) {
    if (!alter) replies.push_back(BuildBindNak(h.callId, kNakReasonNotSpecified));
    return false;
  }
  BindAckBody ack;
  ack.maxXmitFrag = std::min<uint16_t>(body.maxRecvFrag, kDefaultMaxFrag);
  ack.maxRecvFrag = kDefaultMaxFrag;
  ack.assocGroupId = body.assocGroupId != 0 ? body.assocGroupId : gNextAssocGroup++;
  if (!alter) ack.secondaryAddress = secondaryAddress_;
  for (const auto& ctx : body.contexts) {
    ContextResult r;
    InterfaceEntry entry;
    const bool ndr = std::any_of(ctx.transferSyntaxes.begin(), ctx.transferSyntaxes.end(),
                                 [](const RPC_SYNTAX_IDENTIFIER& s) {
                                   return SameSyntax(s, kNdr20Syntax);
                                 });
    if (contexts_.size() >= kMaxContexts && contexts_.count(ctx.contextId) == 0) {
      r.result = kResultProviderRejection;
      r.reason = kReasonLocalLimitExceeded;
    } else if (!FindInterface(ctx.abstractSyntax, entry)) {
      r.result = kResultProviderRejection;
      r.reason = kReasonAbstractSyntaxNotSupported;
    } else if (!ndr) {
      r.result = kResultProviderRejection;
      r.reason = kReasonTransferSyntaxesNotSupported;
    } else {
      r.transferSyntax = kNdr20Syntax;
      contexts_[ctx.contextId] = entry.desc;
    }
    ack.results.push_back(r);
  }
  maxXmitFrag_ = ack.maxXmitFrag;
  bound_ = true;
  replies.push_back(
      BuildBindAck(alter ? PduType::kAlterContextResp : PduType::kBindAck, h.callId, ack));
  return true;
}

bool Association::OnRequest(const uint8_t* pdu, size_t n, const PduHeader& h,
                            std::vector<WipedBytes>& replies) {
  RequestFragment req;
  if (!ParseRequest(pdu, n, h, req)) return false;
  if (!bound_ || h.authLength != 0) {
    replies.push_back(BuildFault(h.callId, req.contextId, nca_s_proto_error, true));
    return false;
  }
  if (h.flags & kPfcFirstFrag) {
    if (assembling_) return false;
    assembling_ = true;
    callId_ = h.callId;
    contextId_ = req.contextId;
    opnum_ = req.opnum;
    stub_.clear();
  } else if (!assembling_ || h.callId != callId_ || req.contextId != contextId_ ||
             req.opnum != opnum_) {
    return false;
  }
  if (req.stubLength > kMaxRequestStub - stub_.size()) {
    replies.push_back(BuildFault(h.callId, req.contextId, nca_s_proto_error, true));
    assembling_ = false;
    stub_.clear();
    return false;
  }
  stub_.insert(stub_.end(), req.stub, req.stub + req.stubLength);
  if (h.flags & kPfcLastFrag) {
    assembling_ = false;
    Dispatch(replies);
    stub_.clear();
    stub_.shrink_to_fit();
  }
  return true;
}

void Association::Dispatch(std::vector<WipedBytes>& replies) {
  auto fault = [&](uint32_t status, bool dne) {
    replies.push_back(BuildFault(callId_, contextId_, status, dne));
  };
  auto ctx = contexts_.find(contextId_);
  InterfaceEntry entry;
  if (ctx == contexts_.end() || !FindInterface(ctx->second, entry)) {
    fault(nca_s_unk_if, true);
    return;
  }
  // Reserved opnums have no routine: answered like one beyond the table.
  if (opnum_ >= entry.desc->ProcCount || !entry.routines[opnum_].Thunk) {
    fault(nca_s_op_rng_error, true);
    return;
  }
  if (entry.callback && entry.callback(entry.ifHandle, nullptr) != RPC_S_OK) {
    fault(RPC_S_ACCESS_DENIED, true);
    return;
  }
  WipedBytes out;
  RPC_STATUS st = RPC_S_OK;
  {
    CallScope scope(&peer_);
    try {
      st = ServerCall(entry.desc->Procs[opnum_], entry.routines[opnum_], stub_.data(),
                      stub_.size(), out);
    } catch (const RpcException& e) {
      st = e.Code();
    } catch (const std::bad_alloc&) {
      st = RPC_S_OUT_OF_MEMORY;
    } catch (...) {
      st = RPC_S_CALL_FAILED;
    }
  }
  if (st != RPC_S_OK) {
    fault(static_cast<uint32_t>(st), st == RPC_X_BAD_STUB_DATA || st == RPC_X_INVALID_BOUND);
    return;
  }
  for (auto& frag : BuildResponse(callId_, contextId_, out, maxXmitFrag_))
    replies.push_back(std::move(frag));
}

}  // namespace tarn::rpc
