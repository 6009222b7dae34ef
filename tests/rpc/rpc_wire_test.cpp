// The bytes on the wire, against the published PDU and NDR20 layout.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "call_helpers.h"
#include "platform/rpc/pdu.h"
#include "raw_peer.h"
#include "test_interface.h"

namespace tarn::rpc::test {
namespace {

using Bytes = tarn::rpc::WipedBytes;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kTestUuidWire = {0x10, 0x7a, 0x2f, 0x5d, 0x4b, 0x3c, 0x8f, 0x4e,
                             0x9a, 0x61, 0x0b, 0x7c, 0x2d, 0x9e, 0x4f, 0x13};
const Bytes kNdrWire = {0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11, 0x9f, 0xe8,
                        0x08, 0x00, 0x2b, 0x10, 0x48, 0x60, 0x02, 0x00, 0x00, 0x00};

class WireDir {
 public:
  WireDir() {
    char tmpl[] = "/tmp/tarn-rpc-wire-XXXXXX";
    dir_ = mkdtemp(tmpl);
    mkdir((dir_ + "/rpc").c_str(), 0700);
    setenv("TARNVAULT_MACHINE", dir_.c_str(), 1);
  }
  ~WireDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Socket(const char* name) const { return dir_ + "/rpc/" + name; }

 private:
  std::string dir_;
};

TEST(RpcWire, ClientBindAndRequestMatchTheLayout) {
  WireDir dir;
  Bytes bind, request;
  FakeServer fake(dir.Socket("wiresvc"), [&](RawConnection& c) {
    PduHeader h;
    if (!c.Receive(bind, h)) return;
    BindAckBody ack;
    ack.maxXmitFrag = ack.maxRecvFrag = 4280;
    ack.secondaryAddress = "wiresvc";
    ContextResult ok;
    ok.transferSyntax = kNdr20Syntax;
    ack.results.push_back(ok);
    c.Send(BuildBindAck(PduType::kBindAck, h.callId, ack));
    if (!c.Receive(request, h)) return;
    const Bytes stub = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x07, 0, 0, 0};
    for (auto& f : BuildResponse(h.callId, 0, stub, 4280)) c.Send(f);
  });
  ASSERT_TRUE(fake.Ok());
  RPC_BINDING_HANDLE h = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA(Cstr("ncalrpc:[wiresvc]"), &h), RPC_S_OK);
  const RPC_CLIENT_INTERFACE ifc = {sizeof(RPC_CLIENT_INTERFACE), &kTestDesc, &h};
  hyper sum = 0;
  long r = Guarded([&] { return NdrClientCall(&ifc, kOpMix, 1L, hyper{2}, char{3}, "abcd", &sum); });
  RpcBindingFree(&h);
  EXPECT_EQ(r, 7);
  EXPECT_EQ(sum, 0x1122334455667788LL);

  const Bytes expectBind = Cat({
      {5, 0, 11, 0x03, 0x10, 0, 0, 0, 72, 0, 0, 0, 1, 0, 0, 0},  // header, bind, first+last
      {0xb8, 0x10, 0xb8, 0x10, 0, 0, 0, 0},                       // 4280, 4280, group 0
      {1, 0, 0, 0},                                               // one context
      {0, 0, 1, 0},                                               // id 0, one transfer syntax
      kTestUuidWire,
      {1, 0, 0, 0},  // version 1.0
      kNdrWire,
  });
  EXPECT_EQ(bind, expectBind);

  const Bytes expectRequest = Cat({
      {5, 0, 0, 0x03, 0x10, 0, 0, 0, 61, 0, 0, 0, 2, 0, 0, 0},  // request, call 2
      {37, 0, 0, 0, 0, 0, 2, 0},                                 // alloc_hint, context, opnum
      {1, 0, 0, 0},                                              // long 1
      {0, 0, 0, 0},                                              // pad to 8
      {2, 0, 0, 0, 0, 0, 0, 0},                                  // hyper 2
      {3},                                                       // char
      {0, 0, 0},                                                 // pad to 4
      {5, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 'a', 'b', 'c', 'd', 0},
  });
  EXPECT_EQ(request, expectRequest);
}

TEST(RpcWire, ServerBindAckMatchesTheLayout) {
  TestServer server;
  RawConnection c(server.SocketPath());
  ASSERT_TRUE(c.Connected());
  BindBody bind;
  bind.maxXmitFrag = bind.maxRecvFrag = 5840;
  PresentationContext ctx;
  ctx.abstractSyntax = kTestDesc.InterfaceId;
  ctx.transferSyntaxes = {kNdr20Syntax};
  bind.contexts = {ctx};
  ASSERT_TRUE(c.Send(BuildBind(PduType::kBind, 9, bind)));
  Bytes ack;
  PduHeader h;
  ASSERT_TRUE(c.Receive(ack, h));
  ASSERT_EQ(ack.size(), 64u);
  EXPECT_EQ(Bytes(ack.begin(), ack.begin() + 16),
            (Bytes{5, 0, 12, 0x03, 0x10, 0, 0, 0, 64, 0, 0, 0, 9, 0, 0, 0}));
  EXPECT_EQ(Bytes(ack.begin() + 16, ack.begin() + 20), (Bytes{0xb8, 0x10, 0xb8, 0x10}));
  // Secondary address: length with NUL, the endpoint, padding to 4.
  EXPECT_EQ(Bytes(ack.begin() + 24, ack.begin() + 36),
            (Bytes{8, 0, 't', 'e', 's', 't', 's', 'v', 'c', 0, 0, 0}));
  EXPECT_EQ(Bytes(ack.begin() + 36, ack.begin() + 44), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Bytes(ack.begin() + 44, ack.end()), kNdrWire);
}

}  // namespace
}  // namespace tarn::rpc::test
