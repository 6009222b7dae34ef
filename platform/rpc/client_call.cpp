// The client call path: marshal the ins, take or open a bound connection,
// send the request, gather the response and unmarshal the outs. Every failure
// is raised as an RPC status.
#include <algorithm>
#include <memory>
#include <new>

#include "platform/rpc/binding.h"
#include "platform/rpc/machine_dir.h"
#include "platform/rpc/pdu.h"
#include "platform/rpc/socket_io.h"
#include "platform/rpc/stub.h"

namespace tarn::rpc {

namespace {

// Largest response stub a client gathers; far above any procedure's outs.
constexpr size_t kMaxResponseStub = 1u << 20;

RPC_STATUS FaultToStatus(uint32_t fault) {
  switch (fault) {
    case nca_s_op_rng_error:
      return RPC_S_PROCNUM_OUT_OF_RANGE;
    case nca_s_unk_if:
      return RPC_S_UNKNOWN_IF;
    case nca_s_proto_error:
      return RPC_S_PROTOCOL_ERROR;
    default:
      return static_cast<RPC_STATUS>(fault);
  }
}

RPC_STATUS BindRejection(const ContextResult& r) {
  if (r.result == kResultProviderRejection && r.reason == kReasonAbstractSyntaxNotSupported)
    return RPC_S_UNKNOWN_IF;
  if (r.result == kResultProviderRejection && r.reason == kReasonTransferSyntaxesNotSupported)
    return RPC_S_UNSUPPORTED_TRANS_SYN;
  return RPC_S_CALL_FAILED_DNE;
}

RPC_STATUS NakToStatus(uint16_t reason) {
  switch (reason) {
    case 1:  // temporary congestion
    case 2:  // local limit exceeded
      return RPC_S_SERVER_TOO_BUSY;
    case kNakProtocolVersionNotSupported:
      return RPC_S_PROTOCOL_ERROR;
    default:
      return RPC_S_CALL_FAILED_DNE;
  }
}

RPC_STATUS Connect(const BindingTarget& t, int& fd) {
  if (t.endpoint.empty()) return EPT_S_NOT_REGISTERED;  // there is no endpoint mapper
  if (t.protseq == kProtseqLocal) {
    if (!t.networkAddress.empty() && t.networkAddress != "localhost")
      return RPC_S_INVALID_NET_ADDR;
    return ConnectLocal(LocalEndpointDirectory() + "/" + t.endpoint, fd);
  }
  uint16_t port = 0;
  if (!ParsePort(t.endpoint, port)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  return ConnectTcp(t.networkAddress, port, fd);
}

RPC_STATUS OpenBound(const BindingTarget& t, const RPC_INTERFACE_DESC* iface,
                     std::unique_ptr<ClientConnection>& out) {
  auto c = std::make_unique<ClientConnection>();
  RPC_STATUS st = Connect(t, c->fd);
  if (st != RPC_S_OK) return st;

  BindBody bind;
  bind.maxXmitFrag = kDefaultMaxFrag;
  bind.maxRecvFrag = kDefaultMaxFrag;
  PresentationContext ctx;
  ctx.contextId = 0;
  ctx.abstractSyntax = iface->InterfaceId;
  ctx.transferSyntaxes.push_back(kNdr20Syntax);
  bind.contexts.push_back(ctx);
  if (WriteAll(c->fd, BuildBind(PduType::kBind, 1, bind), IoTimeoutMs()) != IoResult::kOk)
    return RPC_S_SERVER_UNAVAILABLE;

  WipedBytes pdu;
  PduHeader h;
  IoResult r = ReadPdu(c->fd, 3 * IoTimeoutMs(), IoTimeoutMs(), kDefaultMaxFrag, pdu, h);
  if (r == IoResult::kBadFrame) return RPC_S_PROTOCOL_ERROR;
  if (r != IoResult::kOk) return RPC_S_SERVER_UNAVAILABLE;
  if (h.callId != 1) return RPC_S_PROTOCOL_ERROR;
  if (h.type == PduType::kBindNak) {
    uint16_t reason = 0;
    ParseBindNak(pdu.data(), pdu.size(), reason);
    return NakToStatus(reason);
  }
  BindAckBody ack;
  if (h.type != PduType::kBindAck || !ParseBindAck(pdu.data(), pdu.size(), ack) ||
      ack.results.empty())
    return RPC_S_PROTOCOL_ERROR;
  if (ack.results[0].result != kResultAcceptance) return BindRejection(ack.results[0]);
  if (!SameSyntax(ack.results[0].transferSyntax, kNdr20Syntax))
    return RPC_S_UNSUPPORTED_TRANS_SYN;
  if (ack.maxRecvFrag < kMinFrag) return RPC_S_PROTOCOL_ERROR;
  c->maxXmitFrag = std::min<uint16_t>(ack.maxRecvFrag, kDefaultMaxFrag);
  c->iface = iface;
  out = std::move(c);
  return RPC_S_OK;
}

// Sends one request and gathers its response stub. On return, keep tells
// whether the connection is still in step and may serve another call.
RPC_STATUS Exchange(ClientConnection& c, uint16_t opnum, const WipedBytes& in,
                    WipedBytes& out, bool& keep) {
  keep = false;
  const uint32_t callId = c.nextCallId++;
  for (const auto& frag : BuildRequest(callId, 0, opnum, in, c.maxXmitFrag)) {
    if (WriteAll(c.fd, frag, IoTimeoutMs()) != IoResult::kOk) return RPC_S_CALL_FAILED_DNE;
  }
  out.clear();
  bool first = true;
  for (;;) {
    WipedBytes pdu;
    PduHeader h;
    // The server may work for as long as it likes before the first byte.
    IoResult r = ReadPdu(c.fd, first ? -1 : IoTimeoutMs(), IoTimeoutMs(), kDefaultMaxFrag, pdu, h);
    if (r == IoResult::kBadFrame) return RPC_S_PROTOCOL_ERROR;
    if (r != IoResult::kOk) return RPC_S_CALL_FAILED;
    if (h.callId != callId) return RPC_S_PROTOCOL_ERROR;
    if (h.type == PduType::kFault) {
      uint32_t fault = 0;
      if (!ParseFault(pdu.data(), pdu.size(), fault)) return RPC_S_PROTOCOL_ERROR;
      keep = true;
      return FaultToStatus(fault);
    }
    ResponseFragment resp;
    if (h.type != PduType::kResponse || !ParseResponse(pdu.data(), pdu.size(), resp))
      return RPC_S_PROTOCOL_ERROR;
    if (first != ((h.flags & kPfcFirstFrag) != 0)) return RPC_S_PROTOCOL_ERROR;
    if (resp.stubLength > kMaxResponseStub - out.size()) return RPC_S_PROTOCOL_ERROR;
    out.insert(out.end(), resp.stub, resp.stub + resp.stubLength);
    first = false;
    if (h.flags & kPfcLastFrag) break;
  }
  keep = true;
  return RPC_S_OK;
}

long ClientCall(const RPC_CLIENT_INTERFACE* ifc, unsigned short opnum, const NDR_ARG* args,
                const char* shapes, unsigned count) {
  if (!ifc || ifc->Length != sizeof(RPC_CLIENT_INTERFACE) ||
      ValidateInterfaceDesc(ifc->Desc) != RPC_S_OK)
    RpcRaiseException(RPC_S_INTERNAL_ERROR);
  if (opnum >= ifc->Desc->ProcCount) RpcRaiseException(RPC_S_PROCNUM_OUT_OF_RANGE);
  const NDR_PROC_DESC& proc = ifc->Desc->Procs[opnum];
  if (!ShapesMatch(proc, shapes, count)) RpcRaiseException(RPC_S_INTERNAL_ERROR);
  Binding* b = ifc->ImplicitHandle ? BindingFromHandle(*ifc->ImplicitHandle) : nullptr;
  if (!b) RpcRaiseException(RPC_S_INVALID_BINDING);

  WipedBytes in;
  RPC_STATUS st = MarshalIns(proc, args, in);
  if (st != RPC_S_OK) RpcRaiseException(st);

  std::unique_ptr<ClientConnection> c = b->TakeIdle(ifc->Desc);
  if (!c) {
    st = OpenBound(b->Target(), ifc->Desc, c);
    if (st != RPC_S_OK) RpcRaiseException(st);
  }
  WipedBytes out;
  bool keep = false;
  st = Exchange(*c, opnum, in, out, keep);
  if (keep) b->ReturnIdle(std::move(c));
  if (st != RPC_S_OK) RpcRaiseException(st);

  long result = 0;
  st = UnmarshalOuts(proc, args, out.data(), out.size(), result);
  if (st != RPC_S_OK) RpcRaiseException(st);
  return result;
}

}  // namespace

}  // namespace tarn::rpc

long NdrClientCallV(const RPC_CLIENT_INTERFACE* Interface, unsigned short Opnum,
                    const NDR_ARG* Args, const char* Shapes, unsigned int ArgCount) {
  try {
    return tarn::rpc::ClientCall(Interface, Opnum, Args, Shapes, ArgCount);
  } catch (const std::bad_alloc&) {
    RpcRaiseException(RPC_S_OUT_OF_MEMORY);
  }
}

void RpcRaiseException(RPC_STATUS Exception) { throw tarn::rpc::RpcException(Exception); }
