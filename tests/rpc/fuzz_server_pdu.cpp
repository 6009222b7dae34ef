// Feeds arbitrary bytes to one server association as a stream of PDUs, the
// way the listener does after framing: every header the framer accepts is
// handed over, every reply must be a well-framed PDU.
#include "fuzz_server_pdu.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/rpc/association.h"
#include "platform/rpc/ndr_buffer.h"
#include "platform/rpc/pdu.h"
#include "test_interface.h"

using namespace tarn::rpc;

namespace {

bool Setup() {
  RpcServerRegisterIf(test::TestServerIfHandle, nullptr, nullptr);
  test::ServerState().release = true;  // Block() returns at once
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = Setup();
  (void)ready;
  // No caller identity: impersonation fails, so no routine touches files.
  Association a(PeerIdentity{}, "fuzz");
  size_t off = 0;
  while (size - off >= kHeaderSize) {
    PduHeader h;
    if (!ParseHeader(data + off, size - off, kDefaultMaxFrag, h) || h.fragLength > size - off) break;
    // A buffer of exactly the PDU, so that any read beyond it is caught.
    std::unique_ptr<uint8_t[]> pdu(new uint8_t[h.fragLength]);
    std::memcpy(pdu.get(), data + off, h.fragLength);
    std::vector<tarn::rpc::WipedBytes> replies;
    const bool keep = a.OnPdu(pdu.get(), h.fragLength, h, replies);
    for (const auto& r : replies) {
      PduHeader rh;
      if (!ParseHeader(r.data(), r.size(), kDefaultMaxFrag, rh) || rh.fragLength != r.size())
        std::abort();
    }
    if (!keep) break;
    off += h.fragLength;
  }
  return 0;
}

namespace tarn::rpc::test {

std::vector<std::vector<uint8_t>> FuzzSeeds() {
  BindBody bind;
  bind.maxXmitFrag = bind.maxRecvFrag = kDefaultMaxFrag;
  PresentationContext ctx;
  ctx.abstractSyntax = kTestDesc.InterfaceId;
  ctx.transferSyntaxes = {kNdr20Syntax};
  bind.contexts = {ctx};
  const tarn::rpc::WipedBytes bindPdu = BuildBind(PduType::kBind, 1, bind);

  auto str = [](NdrWriter& w, const char* s) {
    const uint32_t n = static_cast<uint32_t>(std::strlen(s) + 1);
    w.Align(4);
    w.U32(n);
    w.U32(0);
    w.U32(n);
    w.Bytes(s, n);
  };
  std::vector<std::pair<uint16_t, tarn::rpc::WipedBytes>> calls;
  calls.push_back({kOpPing, {}});
  {
    NdrWriter w;
    str(w, "E:");
    w.Align(4);
    w.U32(0x20000);
    str(w, "C:\\");
    calls.push_back({kOpEcho, w.Take()});
  }
  {
    NdrWriter w;
    w.U32(1);
    w.Align(8);
    w.U64(2);
    w.U8(3);
    str(w, "abcd");
    calls.push_back({kOpMix, w.Take()});
  }
  calls.push_back({kOpReserved3, {}});
  calls.push_back({kOpGetMessage, {128, 0, 0, 0}});
  calls.push_back({kOpQueryRecord, {'E'}});
  {
    NdrWriter w;
    w.U32(2);
    w.U32(kRecordSize);
    w.Bytes(tarn::rpc::WipedBytes(kRecordSize, 0x5a).data(), kRecordSize);
    w.U8('F');
    calls.push_back({kOpStoreRecord, w.Take()});
  }
  {
    NdrWriter w;
    str(w, "");
    calls.push_back({kOpWhoAmI, w.Take()});
  }
  calls.push_back({kOpRaise, {5, 0, 0, 0}});
  calls.push_back({kOpBlock, {}});

  std::vector<std::vector<uint8_t>> seeds;
  tarn::rpc::WipedBytes all = bindPdu;
  uint32_t callId = 2;
  for (const auto& [opnum, stub] : calls) {
    tarn::rpc::WipedBytes one = bindPdu;
    // Small fragments, so that assembly is part of every seed with a stub.
    for (const auto& f : BuildRequest(callId++, 0, opnum, stub, kMinFrag)) {
      one.insert(one.end(), f.begin(), f.end());
      all.insert(all.end(), f.begin(), f.end());
    }
    seeds.emplace_back(one.begin(), one.end());
  }
  seeds.emplace_back(all.begin(), all.end());
  return seeds;
}

}  // namespace tarn::rpc::test
