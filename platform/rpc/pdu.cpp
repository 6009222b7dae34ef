#include "platform/rpc/pdu.h"

#include <algorithm>

#include "platform/rpc/ndr_buffer.h"

namespace tarn::rpc {

// 8a885d04-1ceb-11c9-9fe8-08002b104860 version 2.0
const RPC_SYNTAX_IDENTIFIER kNdr20Syntax = {
    {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, {2, 0}};

namespace {

void WriteHeader(NdrWriter& w, PduType type, uint8_t flags, uint32_t callId) {
  w.U8(5);
  w.U8(0);
  w.U8(static_cast<uint8_t>(type));
  w.U8(flags);
  w.U8(0x10);  // little-endian integers, ASCII characters, IEEE floats
  w.U8(0);
  w.U8(0);
  w.U8(0);
  w.U16(0);  // frag_length, patched by Finish
  w.U16(0);  // auth_length
  w.U32(callId);
}

WipedBytes Finish(NdrWriter& w) {
  w.PatchU16(8, static_cast<uint16_t>(w.Size()));
  return w.Take();
}

void WriteSyntax(NdrWriter& w, const RPC_SYNTAX_IDENTIFIER& s) {
  w.U32(s.SyntaxGUID.Data1);
  w.U16(s.SyntaxGUID.Data2);
  w.U16(s.SyntaxGUID.Data3);
  w.Bytes(s.SyntaxGUID.Data4, 8);
  w.U16(s.SyntaxVersion.MajorVersion);
  w.U16(s.SyntaxVersion.MinorVersion);
}

bool ReadSyntax(NdrReader& r, RPC_SYNTAX_IDENTIFIER& s) {
  uint16_t major = 0, minor = 0;
  r.U32(s.SyntaxGUID.Data1);
  r.U16(s.SyntaxGUID.Data2);
  r.U16(s.SyntaxGUID.Data3);
  const uint8_t* d4 = r.Take(8);
  if (d4) std::copy(d4, d4 + 8, s.SyntaxGUID.Data4);
  r.U16(major);
  r.U16(minor);
  s.SyntaxVersion.MajorVersion = major;
  s.SyntaxVersion.MinorVersion = minor;
  return r.Ok();
}

// A reader over the body of a PDU whose header was already checked.
NdrReader BodyReader(const uint8_t* pdu, size_t n) {
  NdrReader r(pdu, n);
  r.Skip(kHeaderSize);
  return r;
}

std::vector<WipedBytes> Fragment(PduType type, uint32_t callId, uint16_t contextId,
                                           uint16_t opnum, const WipedBytes& stub,
                                           uint16_t maxFrag) {
  const size_t room = std::max<size_t>(maxFrag, kMinFrag) - kRequestFixedSize;
  std::vector<WipedBytes> out;
  size_t off = 0;
  do {
    const size_t len = std::min(room, stub.size() - off);
    uint8_t flags = 0;
    if (off == 0) flags |= kPfcFirstFrag;
    if (off + len == stub.size()) flags |= kPfcLastFrag;
    NdrWriter w;
    WriteHeader(w, type, flags, callId);
    w.U32(static_cast<uint32_t>(stub.size() - off));  // alloc_hint: what remains
    w.U16(contextId);
    if (type == PduType::kRequest) {
      w.U16(opnum);
    } else {
      w.U8(0);  // cancel_count
      w.U8(0);
    }
    w.Bytes(stub.data() + off, len);
    out.push_back(Finish(w));
    off += len;
  } while (off < stub.size());
  return out;
}

}  // namespace

bool ParseHeader(const uint8_t* p, size_t n, size_t maxFrag, PduHeader& h) {
  if (n < kHeaderSize) return false;
  if (p[0] != 5 || p[1] > 1) return false;
  if ((p[4] & 0xF0) != 0x10 || (p[4] & 0x0F) != 0) return false;
  h.type = static_cast<PduType>(p[2]);
  h.flags = p[3];
  h.fragLength = static_cast<uint16_t>(p[8] | (p[9] << 8));
  h.authLength = static_cast<uint16_t>(p[10] | (p[11] << 8));
  h.callId = static_cast<uint32_t>(p[12]) | (static_cast<uint32_t>(p[13]) << 8) |
             (static_cast<uint32_t>(p[14]) << 16) | (static_cast<uint32_t>(p[15]) << 24);
  return h.fragLength >= kHeaderSize && h.fragLength <= maxFrag;
}

bool SameSyntax(const RPC_SYNTAX_IDENTIFIER& a, const RPC_SYNTAX_IDENTIFIER& b) {
  return a.SyntaxGUID.Data1 == b.SyntaxGUID.Data1 && a.SyntaxGUID.Data2 == b.SyntaxGUID.Data2 &&
         a.SyntaxGUID.Data3 == b.SyntaxGUID.Data3 &&
         std::equal(a.SyntaxGUID.Data4, a.SyntaxGUID.Data4 + 8, b.SyntaxGUID.Data4) &&
         a.SyntaxVersion.MajorVersion == b.SyntaxVersion.MajorVersion &&
         a.SyntaxVersion.MinorVersion == b.SyntaxVersion.MinorVersion;
}

bool ParseBind(const uint8_t* pdu, size_t n, BindBody& body) {
  NdrReader r = BodyReader(pdu, n);
  uint8_t count = 0;
  r.U16(body.maxXmitFrag);
  r.U16(body.maxRecvFrag);
  r.U32(body.assocGroupId);
  r.U8(count);
  r.Skip(3);
  if (!r.Ok() || count == 0) return false;
  body.contexts.clear();
  for (unsigned i = 0; i < count; ++i) {
    PresentationContext c;
    uint8_t nTransfer = 0;
    r.U16(c.contextId);
    r.U8(nTransfer);
    r.Skip(1);
    if (!ReadSyntax(r, c.abstractSyntax) || nTransfer == 0) return false;
    // Each syntax is 20 bytes; refuse a count the PDU cannot hold before reserving.
    if (static_cast<size_t>(nTransfer) * 20 > r.Remaining()) return false;
    c.transferSyntaxes.resize(nTransfer);
    for (auto& t : c.transferSyntaxes) {
      if (!ReadSyntax(r, t)) return false;
    }
    body.contexts.push_back(std::move(c));
  }
  return r.Ok();
}

bool ParseBindAck(const uint8_t* pdu, size_t n, BindAckBody& body) {
  NdrReader r = BodyReader(pdu, n);
  uint16_t addrLen = 0;
  uint8_t count = 0;
  r.U16(body.maxXmitFrag);
  r.U16(body.maxRecvFrag);
  r.U32(body.assocGroupId);
  r.U16(addrLen);
  const uint8_t* addr = r.Take(addrLen);
  if (!r.Ok()) return false;
  body.secondaryAddress.assign(reinterpret_cast<const char*>(addr),
                               addrLen > 0 ? addrLen - 1 : 0);
  r.Align(4);
  r.U8(count);
  r.Skip(3);
  if (!r.Ok()) return false;
  body.results.clear();
  for (unsigned i = 0; i < count; ++i) {
    ContextResult c;
    r.U16(c.result);
    r.U16(c.reason);
    if (!ReadSyntax(r, c.transferSyntax)) return false;
    body.results.push_back(c);
  }
  return r.Ok();
}

bool ParseBindNak(const uint8_t* pdu, size_t n, uint16_t& reason) {
  NdrReader r = BodyReader(pdu, n);
  return r.U16(reason);
}

bool ParseRequest(const uint8_t* pdu, size_t n, const PduHeader& h, RequestFragment& req) {
  NdrReader r = BodyReader(pdu, n);
  r.U32(req.allocHint);
  r.U16(req.contextId);
  r.U16(req.opnum);
  if (h.flags & kPfcObjectUuid) r.Skip(16);
  if (!r.Ok()) return false;
  req.stub = pdu + r.Offset();
  req.stubLength = r.Remaining();
  return true;
}

bool ParseResponse(const uint8_t* pdu, size_t n, ResponseFragment& resp) {
  NdrReader r = BodyReader(pdu, n);
  r.U32(resp.allocHint);
  r.U16(resp.contextId);
  r.Skip(2);
  if (!r.Ok()) return false;
  resp.stub = pdu + r.Offset();
  resp.stubLength = r.Remaining();
  return true;
}

bool ParseFault(const uint8_t* pdu, size_t n, uint32_t& status) {
  NdrReader r = BodyReader(pdu, n);
  r.Skip(8);
  return r.U32(status);
}

WipedBytes BuildBind(PduType type, uint32_t callId, const BindBody& body) {
  NdrWriter w;
  WriteHeader(w, type, kPfcFirstFrag | kPfcLastFrag, callId);
  w.U16(body.maxXmitFrag);
  w.U16(body.maxRecvFrag);
  w.U32(body.assocGroupId);
  w.U8(static_cast<uint8_t>(body.contexts.size()));
  w.U8(0);
  w.U16(0);
  for (const auto& c : body.contexts) {
    w.U16(c.contextId);
    w.U8(static_cast<uint8_t>(c.transferSyntaxes.size()));
    w.U8(0);
    WriteSyntax(w, c.abstractSyntax);
    for (const auto& t : c.transferSyntaxes) WriteSyntax(w, t);
  }
  return Finish(w);
}

WipedBytes BuildBindAck(PduType type, uint32_t callId, const BindAckBody& body) {
  NdrWriter w;
  WriteHeader(w, type, kPfcFirstFrag | kPfcLastFrag, callId);
  w.U16(body.maxXmitFrag);
  w.U16(body.maxRecvFrag);
  w.U32(body.assocGroupId);
  if (body.secondaryAddress.empty()) {
    w.U16(0);
  } else {
    w.U16(static_cast<uint16_t>(body.secondaryAddress.size() + 1));
    w.Bytes(body.secondaryAddress.data(), body.secondaryAddress.size());
    w.U8(0);
  }
  w.Align(4);
  w.U8(static_cast<uint8_t>(body.results.size()));
  w.U8(0);
  w.U16(0);
  for (const auto& c : body.results) {
    w.U16(c.result);
    w.U16(c.reason);
    WriteSyntax(w, c.transferSyntax);
  }
  return Finish(w);
}

WipedBytes BuildBindNak(uint32_t callId, uint16_t reason) {
  NdrWriter w;
  WriteHeader(w, PduType::kBindNak, kPfcFirstFrag | kPfcLastFrag, callId);
  w.U16(reason);
  w.U8(1);  // one supported protocol version: 5.0
  w.U8(5);
  w.U8(0);
  return Finish(w);
}

WipedBytes BuildFault(uint32_t callId, uint16_t contextId, uint32_t status,
                                bool didNotExecute) {
  NdrWriter w;
  uint8_t flags = kPfcFirstFrag | kPfcLastFrag;
  if (didNotExecute) flags |= kPfcDidNotExecute;
  WriteHeader(w, PduType::kFault, flags, callId);
  w.U32(0);  // alloc_hint
  w.U16(contextId);
  w.U8(0);  // cancel_count
  w.U8(0);
  w.U32(status);
  w.U32(0);
  return Finish(w);
}

std::vector<WipedBytes> BuildRequest(uint32_t callId, uint16_t contextId,
                                               uint16_t opnum, const WipedBytes& stub,
                                               uint16_t maxFrag) {
  return Fragment(PduType::kRequest, callId, contextId, opnum, stub, maxFrag);
}

std::vector<WipedBytes> BuildResponse(uint32_t callId, uint16_t contextId,
                                                const WipedBytes& stub,
                                                uint16_t maxFrag) {
  return Fragment(PduType::kResponse, callId, contextId, 0, stub, maxFrag);
}

}  // namespace tarn::rpc
