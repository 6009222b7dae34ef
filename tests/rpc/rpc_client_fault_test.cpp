// A server that breaks the protocol or the connection: the client raises
// the matching RPC status and writes nothing into the caller's buffers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "call_helpers.h"
#include "platform/rpc/ndr_buffer.h"
#include "platform/rpc/pdu.h"
#include "raw_peer.h"
#include "test_interface.h"

namespace tarn::rpc::test {
namespace {

using Bytes = tarn::rpc::WipedBytes;

bool AcceptBind(RawConnection& c, uint16_t result = kResultAcceptance, uint16_t reason = 0) {
  Bytes pdu;
  PduHeader h;
  if (!c.Receive(pdu, h)) return false;
  BindAckBody ack;
  ack.maxXmitFrag = ack.maxRecvFrag = 4280;
  ContextResult r;
  r.result = result;
  r.reason = reason;
  if (result == kResultAcceptance) r.transferSyntax = kNdr20Syntax;
  ack.results.push_back(r);
  return c.Send(BuildBindAck(PduType::kBindAck, h.callId, ack));
}

uint32_t NextRequest(RawConnection& c) {
  Bytes pdu;
  PduHeader h;
  return c.Receive(pdu, h) ? h.callId : 0;
}

void Respond(RawConnection& c, uint32_t callId, const Bytes& stub) {
  for (auto& f : BuildResponse(callId, 0, stub, 4280)) c.Send(f);
}

Bytes MessageStub(uint32_t count, uint8_t fill) {
  NdrWriter w;
  w.U32(count);
  w.Bytes(Bytes(count, fill).data(), count);
  w.Align(4);
  w.U32(0);
  return w.Take();
}

TEST(RpcClientFault, BrokenServersRaiseTheMatchingStatus) {
  char tmpl[] = "/tmp/tarn-rpc-cf-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  mkdir((dir + "/rpc").c_str(), 0700);
  setenv("TARNVAULT_MACHINE", dir.c_str(), 1);
  // Long enough that a loaded machine does not turn a protocol error into
  // a time-out; the stalling case waits well beyond it.
  SetIoTimeoutMs(1500);

  struct Case {
    const char* name;
    std::function<void(RawConnection&)> server;
    long expect;
  };
  const Case cases[] = {
      {"closes during the bind", [](RawConnection& c) { Bytes p; PduHeader h; c.Receive(p, h); }, RPC_S_SERVER_UNAVAILABLE},
      {"closes after the request", [](RawConnection& c) { AcceptBind(c); NextRequest(c); }, RPC_S_CALL_FAILED},
      {"unknown interface", [](RawConnection& c) { AcceptBind(c, kResultProviderRejection, kReasonAbstractSyntaxNotSupported); }, RPC_S_UNKNOWN_IF},
      {"unknown transfer syntax", [](RawConnection& c) { AcceptBind(c, kResultProviderRejection, kReasonTransferSyntaxesNotSupported); }, RPC_S_UNSUPPORTED_TRANS_SYN},
      {"bind_nak", [](RawConnection& c) { Bytes p; PduHeader h; c.Receive(p, h); c.Send(BuildBindNak(h.callId, 0)); }, RPC_S_CALL_FAILED_DNE},
      {"bind_nak busy", [](RawConnection& c) { Bytes p; PduHeader h; c.Receive(p, h); c.Send(BuildBindNak(h.callId, 2)); }, RPC_S_SERVER_TOO_BUSY},
      {"answers another call", [](RawConnection& c) { AcceptBind(c); Respond(c, NextRequest(c) + 1, MessageStub(128, 1)); }, RPC_S_PROTOCOL_ERROR},
      {"answers with garbage", [](RawConnection& c) { AcceptBind(c); NextRequest(c); c.Send(Bytes(32, 0x41)); }, RPC_S_PROTOCOL_ERROR},
      {"operation out of range", [](RawConnection& c) { AcceptBind(c); c.Send(BuildFault(NextRequest(c), 0, nca_s_op_rng_error, true)); }, RPC_S_PROCNUM_OUT_OF_RANGE},
      {"fault with a Win32 status", [](RawConnection& c) { AcceptBind(c); c.Send(BuildFault(NextRequest(c), 0, 5, false)); }, 5},
      {"array count differs", [](RawConnection& c) { AcceptBind(c); Respond(c, NextRequest(c), MessageStub(127, 1)); }, RPC_X_BAD_STUB_DATA},
      {"return value missing", [](RawConnection& c) { AcceptBind(c); Bytes s = MessageStub(128, 1); s.resize(s.size() - 4); Respond(c, NextRequest(c), s); }, RPC_X_BAD_STUB_DATA},
      {"stalls inside the response", [](RawConnection& c) {
         AcceptBind(c);
         Bytes f = BuildResponse(NextRequest(c), 0, MessageStub(128, 1), 4280).front();
         c.Send(Bytes(f.begin(), f.begin() + 30));
         std::this_thread::sleep_for(std::chrono::milliseconds(4500));
       }, RPC_S_CALL_FAILED},
      {"middle fragment first", [](RawConnection& c) {
         AcceptBind(c);
         Bytes f = BuildResponse(NextRequest(c), 0, MessageStub(128, 1), 4280).front();
         f[3] = kPfcLastFrag;
         c.Send(f);
       }, RPC_S_PROTOCOL_ERROR},
      {"endless fragments", [](RawConnection& c) {
         AcceptBind(c);
         const uint32_t id = NextRequest(c);
         for (int i = 0; i < 300; ++i) {
           Bytes f = BuildResponse(id, 0, Bytes(4000, 0), 4280).front();
           f[3] = i == 0 ? kPfcFirstFrag : 0;
           if (!c.Send(f)) break;
         }
       }, RPC_S_PROTOCOL_ERROR},
  };
  for (const Case& k : cases) {
    FakeServer fake(dir + "/rpc/fake", k.server);
    ASSERT_TRUE(fake.Ok());
    RPC_BINDING_HANDLE h = nullptr;
    ASSERT_EQ(RpcBindingFromStringBindingA(Cstr("ncalrpc:[fake]"), &h), RPC_S_OK);
    const RPC_CLIENT_INTERFACE ifc = {sizeof(RPC_CLIENT_INTERFACE), &kTestDesc, &h};
    Bytes buf(128, 0xEE);
    EXPECT_EQ(Guarded([&] { return NdrClientCall(&ifc, kOpGetMessage, 128L, buf.data()); }), k.expect)
        << k.name;
    EXPECT_EQ(buf, Bytes(128, 0xEE)) << k.name << ": caller's buffer written";
    RpcBindingFree(&h);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace tarn::rpc::test
