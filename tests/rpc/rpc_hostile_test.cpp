// Byte sequences a hostile or broken peer may send. Each gets a fault, a
// rejection or a closed connection, and the server goes on serving.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "call_helpers.h"
#include "platform/rpc/ndr_buffer.h"
#include "platform/rpc/pdu.h"
#include "platform/rpc/server_runtime.h"
#include "raw_peer.h"
#include "test_interface.h"

namespace tarn::rpc::test {
namespace {

using Bytes = tarn::rpc::WipedBytes;

struct Outcome {
  enum Kind { kClosed, kFault, kBindAck, kBindNak, kResponse, kOther } kind = kOther;
  uint32_t value = 0;  // fault status, or bind result reason
  bool operator==(const Outcome& o) const { return kind == o.kind && value == o.value; }
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  static const char* names[] = {"closed", "fault", "bind_ack", "bind_nak", "response", "other"};
  return os << names[o.kind] << " " << std::hex << o.value;
}

Outcome Closed() { return {Outcome::kClosed, 0}; }
Outcome Fault(uint32_t s) { return {Outcome::kFault, s}; }
Outcome Rejected(uint16_t reason) { return {Outcome::kBindAck, reason}; }

// What the server answers next on c.
Outcome Answer(RawConnection& c) {
  Bytes pdu;
  PduHeader h;
  if (!c.Receive(pdu, h)) return Closed();
  switch (h.type) {
    case PduType::kFault: {
      uint32_t s = 0;
      ParseFault(pdu.data(), pdu.size(), s);
      return Fault(s);
    }
    case PduType::kBindAck: {
      BindAckBody ack;
      ParseBindAck(pdu.data(), pdu.size(), ack);
      return ack.results.empty() ? Outcome{} : Outcome{Outcome::kBindAck, ack.results[0].reason};
    }
    case PduType::kBindNak:
      return {Outcome::kBindNak, 0};
    case PduType::kResponse:
      return {Outcome::kResponse, 0};
    default:
      return {};
  }
}

Bytes Bind(const RPC_SYNTAX_IDENTIFIER& abstract, const RPC_SYNTAX_IDENTIFIER& transfer) {
  BindBody b;
  b.maxXmitFrag = b.maxRecvFrag = 4280;
  PresentationContext ctx;
  ctx.abstractSyntax = abstract;
  ctx.transferSyntaxes = {transfer};
  b.contexts = {ctx};
  return BuildBind(PduType::kBind, 1, b);
}

Bytes GoodBind() { return Bind(kTestDesc.InterfaceId, kNdr20Syntax); }

Bytes Request(uint16_t opnum, const Bytes& stub, uint32_t callId = 2) {
  return BuildRequest(callId, 0, opnum, stub, 4280).front();
}

Bytes Patched(Bytes b, size_t at, std::initializer_list<uint8_t> with) {
  for (uint8_t v : with) b[at++] = v;
  return b;
}

// NDR string with chosen counts: max, offset, actual, then the bytes.
Bytes StringStub(uint32_t max, uint32_t offset, uint32_t actual, const std::string& bytes) {
  NdrWriter w;
  w.U32(max);
  w.U32(offset);
  w.U32(actual);
  w.Bytes(bytes.data(), bytes.size());
  w.Align(4);
  w.U32(0);  // null unique pointer for the second Echo string
  return w.Take();
}

RPC_SYNTAX_IDENTIFIER WithVersion(RPC_SYNTAX_IDENTIFIER s, unsigned short major, unsigned short minor) {
  s.SyntaxVersion = {major, minor};
  return s;
}

long Ping() { return Guarded([] { return TestPing(); }); }

TEST(RpcHostile, FramingErrorsCloseTheConnectionAndNothingElse) {
  TestServer server;
  SetIoTimeoutMs(1500);  // stalled peers are cut off after this
  struct Case {
    const char* name;
    std::function<void(RawConnection&)> send;
  };
  const Bytes bind = GoodBind();
  const Case cases[] = {
      {"truncated header", [&](RawConnection& c) { c.Send(Bytes(bind.begin(), bind.begin() + 10)); c.ShutdownWrite(); }},
      {"truncated body", [&](RawConnection& c) { c.Send(Bytes(bind.begin(), bind.begin() + 40)); c.ShutdownWrite(); }},
      {"stalled partial PDU", [&](RawConnection& c) { c.Send(Bytes(bind.begin(), bind.begin() + 40)); }},
      {"stalled partial header", [&](RawConnection& c) { c.Send(Bytes(bind.begin(), bind.begin() + 5)); }},
      {"oversized frag_length", [&](RawConnection& c) { c.Send(Patched(bind, 8, {0xff, 0xff})); }},
      {"frag_length below header", [&](RawConnection& c) { c.Send(Patched(bind, 8, {8, 0})); }},
      {"wrong version", [&](RawConnection& c) { c.Send(Patched(bind, 0, {4})); }},
      {"big-endian data representation", [&](RawConnection& c) { c.Send(Patched(bind, 4, {0x00})); }},
      {"EBCDIC characters", [&](RawConnection& c) { c.Send(Patched(bind, 4, {0x11})); }},
      {"client sends a response", [&](RawConnection& c) { c.Send(Patched(bind, 2, {2})); }},
      {"alter_context before bind", [&](RawConnection& c) { c.Send(Patched(bind, 2, {14})); }},
  };
  for (const Case& k : cases) {
    RawConnection c(server.SocketPath());
    ASSERT_TRUE(c.Connected());
    k.send(c);
    EXPECT_TRUE(c.ClosedByPeer()) << k.name;
    EXPECT_EQ(Ping(), 0) << "after " << k.name;
  }
}

TEST(RpcHostile, BadBindsAreRejectedWithTheReason) {
  TestServer server;
  RPC_SYNTAX_IDENTIFIER otherUuid = kTestDesc.InterfaceId;
  otherUuid.SyntaxGUID.Data1 ^= 1;
  RPC_SYNTAX_IDENTIFIER otherTransfer = kNdr20Syntax;
  otherTransfer.SyntaxGUID.Data4[7] ^= 1;  // looks like NDR, is not
  struct Case {
    const char* name;
    Bytes bind;
    Outcome expect;
  };
  Bytes noContexts = GoodBind();
  noContexts[24] = 0;
  Bytes manyTransfers = GoodBind();
  manyTransfers[30] = 255;  // more transfer syntaxes than the PDU holds
  Bytes manyContexts = GoodBind();
  manyContexts[24] = 200;
  Bytes withAuth = Patched(GoodBind(), 10, {8, 0});
  Bytes tinyFragments = Patched(GoodBind(), 16, {0x40, 0, 0x40, 0});
  const Case cases[] = {
      {"unknown interface", Bind(otherUuid, kNdr20Syntax), Rejected(kReasonAbstractSyntaxNotSupported)},
      {"other major version", Bind(WithVersion(kTestDesc.InterfaceId, 2, 0), kNdr20Syntax),
       Rejected(kReasonAbstractSyntaxNotSupported)},
      {"newer minor version", Bind(WithVersion(kTestDesc.InterfaceId, 1, 1), kNdr20Syntax),
       Rejected(kReasonAbstractSyntaxNotSupported)},
      {"unknown transfer syntax", Bind(kTestDesc.InterfaceId, otherTransfer),
       Rejected(kReasonTransferSyntaxesNotSupported)},
      {"no contexts", noContexts, {Outcome::kBindNak, 0}},
      {"transfer count beyond the PDU", manyTransfers, {Outcome::kBindNak, 0}},
      {"context count beyond the PDU", manyContexts, {Outcome::kBindNak, 0}},
      {"authentication requested", withAuth, {Outcome::kBindNak, 0}},
      {"fragments below the minimum", tinyFragments, {Outcome::kBindNak, 0}},
  };
  for (const Case& k : cases) {
    RawConnection c(server.SocketPath());
    ASSERT_TRUE(c.Send(k.bind)) << k.name;
    EXPECT_EQ(Answer(c), k.expect) << k.name;
    if (k.expect.kind == Outcome::kBindAck) {
      // Nothing was accepted, so a request on the context is an unknown interface.
      ASSERT_TRUE(c.Send(Request(kOpPing, {})));
      EXPECT_EQ(Answer(c), Fault(nca_s_unk_if)) << k.name;
    }
    EXPECT_EQ(Ping(), 0) << "after " << k.name;
  }

  // Through the client path, an unknown interface is RPC_S_UNKNOWN_IF.
  const RPC_INTERFACE_DESC other = {otherUuid, kTestDesc.Procs, kTestDesc.ProcCount};
  const RPC_CLIENT_INTERFACE otherIf = {sizeof(RPC_CLIENT_INTERFACE), &other, &TestImplicitHandle};
  EXPECT_EQ(Guarded([&] { return NdrClientCall(&otherIf, kOpPing); }), RPC_S_UNKNOWN_IF);
}

TEST(RpcHostile, BadStubDataFaultsAndTheConnectionServesOn) {
  TestServer server;
  auto record = [](uint32_t count, size_t present) {
    NdrWriter w;
    w.U32(1);  // deviceNumber
    w.U32(count);
    w.Bytes(std::string(present, 'r').data(), present);
    w.U8('E');
    return w.Take();
  };
  struct Case {
    const char* name;
    uint16_t opnum;
    Bytes stub;
    uint32_t fault;
  };
  const Case cases[] = {
      {"string actual above max", kOpEcho, StringStub(2, 0, 3, std::string("ab\0", 3)), RPC_X_BAD_STUB_DATA},
      {"string offset not zero", kOpEcho, StringStub(3, 1, 3, std::string("ab\0", 3)), RPC_X_BAD_STUB_DATA},
      {"string actual zero", kOpEcho, StringStub(0, 0, 0, ""), RPC_X_BAD_STUB_DATA},
      {"string without terminator", kOpEcho, StringStub(3, 0, 3, "abc"), RPC_X_BAD_STUB_DATA},
      {"string with inner NUL", kOpEcho, StringStub(4, 0, 4, std::string("a\0b\0", 4)), RPC_X_BAD_STUB_DATA},
      {"string count beyond the bytes", kOpEcho, StringStub(0x7fffffff, 0, 0x7fffffff, "ab"), RPC_X_BAD_STUB_DATA},
      {"string max beyond the limit", kOpEcho, StringStub(0x10000000, 0, 3, std::string("ab\0", 3)), RPC_X_BAD_STUB_DATA},
      {"size_is beyond the bound", kOpGetMessage, {0xff, 0xff, 0xff, 0x7f}, RPC_X_INVALID_BOUND},
      {"size_is negative", kOpGetMessage, {0xff, 0xff, 0xff, 0xff}, RPC_X_INVALID_BOUND},
      {"constant array count too large", kOpStoreRecord, record(4096, 4096), RPC_X_BAD_STUB_DATA},
      {"constant array count too small", kOpStoreRecord, record(16, 16), RPC_X_BAD_STUB_DATA},
      {"constant array bytes missing", kOpStoreRecord, record(2048, 100), RPC_X_BAD_STUB_DATA},
      {"truncated hyper", kOpMix, {1, 0, 0, 0, 0, 0, 0, 0, 2, 0}, RPC_X_BAD_STUB_DATA},
      {"empty stub", kOpEcho, {}, RPC_X_BAD_STUB_DATA},
      {"reserved opnum", kOpReserved3, {}, nca_s_op_rng_error},
      {"opnum beyond the table", 0xffff, {}, nca_s_op_rng_error},
  };
  RawConnection c(server.SocketPath());
  ASSERT_TRUE(c.Send(GoodBind()));
  ASSERT_EQ(Answer(c), Rejected(0));
  uint32_t callId = 10;
  for (const Case& k : cases) {
    ASSERT_TRUE(c.Send(Request(k.opnum, k.stub, ++callId))) << k.name;
    EXPECT_EQ(Answer(c), Fault(k.fault)) << k.name;
    // The same connection still serves a good call.
    ASSERT_TRUE(c.Send(Request(kOpPing, {}, ++callId)));
    EXPECT_EQ(Answer(c).kind, Outcome::kResponse) << "after " << k.name;
  }
}

TEST(RpcHostile, RequestSequenceErrorsEndTheConnection) {
  TestServer server;
  SetIoTimeoutMs(1500);  // stalled peers are cut off after this
  auto fragment = [](uint32_t callId, uint8_t flags, size_t bytes) {
    Bytes f = BuildRequest(callId, 0, kOpPing, Bytes(bytes, 0), 4280).front();
    f[3] = flags;
    return f;
  };
  struct Case {
    const char* name;
    std::vector<Bytes> pdus;
    Outcome expect;
  };
  std::vector<Bytes> flood;
  for (int i = 0; i < 70; ++i) flood.push_back(fragment(5, i == 0 ? kPfcFirstFrag : 0, 4000));
  const Case cases[] = {
      {"request before bind", {Request(kOpPing, {})}, Fault(nca_s_proto_error)},
      {"middle fragment first", {GoodBind(), fragment(5, 0, 10)}, Closed()},
      {"fragment of another call", {GoodBind(), fragment(5, kPfcFirstFrag, 10), fragment(6, kPfcLastFrag, 10)}, Closed()},
      {"new call inside a fragmented one", {GoodBind(), fragment(5, kPfcFirstFrag, 10), fragment(6, kPfcFirstFrag, 10)}, Closed()},
      {"bind inside a fragmented call", {GoodBind(), fragment(5, kPfcFirstFrag, 10), GoodBind()}, Closed()},
      {"second bind", {GoodBind(), GoodBind()}, {Outcome::kBindNak, 0}},
      {"fragments beyond the bound", {}, Fault(nca_s_proto_error)},
      {"last fragment never comes", {GoodBind(), fragment(5, kPfcFirstFrag, 10)}, Closed()},
  };
  for (const Case& k : cases) {
    RawConnection c(server.SocketPath());
    std::vector<Bytes> pdus = k.pdus;
    if (pdus.empty()) {
      pdus.push_back(GoodBind());
      pdus.insert(pdus.end(), flood.begin(), flood.end());
    }
    for (const Bytes& p : pdus) c.Send(p);
    if (pdus.front() == GoodBind()) {
      EXPECT_EQ(Answer(c), Rejected(0)) << k.name;
    }
    EXPECT_EQ(Answer(c), k.expect) << k.name;
    EXPECT_TRUE(c.ClosedByPeer()) << k.name;
    EXPECT_EQ(Ping(), 0) << "after " << k.name;
  }
}

TEST(RpcHostile, AlterContextAddsContextsUpToTheLimit) {
  TestServer server;
  RawConnection c(server.SocketPath());
  ASSERT_TRUE(c.Send(GoodBind()));
  ASSERT_EQ(Answer(c), Rejected(0));
  auto alter = [&](uint16_t id) {
    BindBody b;
    b.maxXmitFrag = b.maxRecvFrag = 4280;
    PresentationContext ctx;
    ctx.contextId = id;
    ctx.abstractSyntax = kTestDesc.InterfaceId;
    ctx.transferSyntaxes = {kNdr20Syntax};
    b.contexts = {ctx};
    c.Send(BuildBind(PduType::kAlterContext, 100 + id, b));
    Bytes pdu;
    PduHeader h;
    BindAckBody ack;
    if (!c.Receive(pdu, h) || h.type != PduType::kAlterContextResp ||
        !ParseBindAck(pdu.data(), pdu.size(), ack) || ack.results.size() != 1)
      return -1;
    return static_cast<int>(ack.results[0].reason) + 10 * ack.results[0].result;
  };
  EXPECT_EQ(alter(7), 0);
  // A request on the new context is served.
  Bytes req = Request(kOpPing, {}, 50);
  req[20] = 7;
  ASSERT_TRUE(c.Send(req));
  EXPECT_EQ(Answer(c).kind, Outcome::kResponse);
  // The table stops growing at its limit; known ids may still be renewed.
  int refused = 0;
  for (uint16_t id = 8; id < 200; ++id) refused += alter(id) == 23 ? 1 : 0;
  EXPECT_GT(refused, 100);
  EXPECT_EQ(alter(7), 0);
  EXPECT_EQ(Ping(), 0);
}

TEST(RpcHostile, MoreConnectionsThanTheLimitAreRefusedNotQueuedForever) {
  // Both ends live in this process: room for the limit twice over.
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_cur < 2 * kMaxConnections + 100) GTEST_SKIP() << "too few file descriptors allowed";
  TestServer server;
  std::vector<std::unique_ptr<RawConnection>> held;
  for (unsigned i = 0; i < 520; ++i) held.push_back(std::make_unique<RawConnection>(server.SocketPath()));
  // One of the last ones is turned away at once.
  EXPECT_TRUE(held.back()->ClosedByPeer());
  held.clear();
  long r = -1;
  // The server notices the closed connections in its own time.
  for (int tries = 0; tries < 1000 && r != 0; ++tries) {
    r = Ping();
    if (r != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(r, 0);
}

}  // namespace
}  // namespace tarn::rpc::test
