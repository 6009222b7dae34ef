// Calls through the client path against the in-process test server.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "call_helpers.h"
#include "platform/rpc/server_runtime.h"
#include "test_interface.h"

namespace tarn::rpc::test {
namespace {

TEST(RpcCall, EveryWireTypeSurvivesTheRoundTrip) {
  TestServer server;
  struct Case {
    std::string text;
    const char* maybe;
  };
  const std::string longMaybe(9000, 'z');
  const Case cases[] = {
      {"", nullptr},  // empty string, null unique pointer
      {"E:", "C:\\"},
      {std::string(3000, 'x'), ""},
      {std::string(20000, 'y'), longMaybe.c_str()},  // several request fragments
      {"\x80\xff high bytes", "a"},
  };
  for (const Case& c : cases) {
    hyper len = -7, maybeLen = -7;
    const std::string maybe = c.maybe ? c.maybe : "";
    long r = Guarded([&] { return TestEcho(c.text.c_str(), c.maybe ? maybe.c_str() : nullptr, &len, &maybeLen); });
    EXPECT_EQ(r, c.text.empty() ? 0 : static_cast<unsigned char>(c.text[0])) << c.text.size();
    EXPECT_EQ(len, static_cast<hyper>(c.text.size()));
    EXPECT_EQ(maybeLen, c.maybe ? static_cast<hyper>(maybe.size()) : -1);
  }

  // A char between a long and a hyper, then a string: alignment from the
  // start of the stub data on both sides.
  struct MixCase {
    long a;
    hyper b;
    char c;
    const char* s;
  };
  const MixCase mix[] = {
      {1, 2, 3, "abcd"},
      {-5, 0x7fffffff00000000LL, '\xff', ""},
      {2147483647, -9, 'Q', "x"},
  };
  for (const MixCase& m : mix) {
    hyper sum = 0;
    long r = Guarded([&] { return TestMix(m.a, m.b, m.c, m.s, &sum); });
    EXPECT_EQ(r, static_cast<long>(static_cast<int32_t>(m.b >> 32)));
    EXPECT_EQ(sum, m.a + m.b + static_cast<unsigned char>(m.c) + static_cast<hyper>(std::strlen(m.s)));
  }
}

TEST(RpcCall, SizeIsBufferFollowsTheSizingParameter) {
  TestServer server;
  const std::string msg = ServerState().message;
  struct Case {
    long bufSize;
    long expect;
    bool gotMessage;
  };
  const Case cases[] = {
      {128, 0, true},
      {static_cast<long>(msg.size()) + 1, 0, true},
      {static_cast<long>(msg.size()), 0, false},  // too short: left as the stub delivered it
      {0, 0, false},
      {-1, RPC_X_INVALID_BOUND, false},
      {static_cast<long>(kMessageMax) + 1, RPC_X_INVALID_BOUND, false},
      {static_cast<long>(kMessageMax), 0, true},  // response in several fragments
  };
  for (const Case& c : cases) {
    std::vector<byte> buf(static_cast<size_t>(std::max<long>(c.bufSize, 1)) + 16, 0xAA);
    long r = Guarded([&] { return TestGetMessage(c.bufSize, buf.data()); });
    EXPECT_EQ(r, c.expect) << c.bufSize;
    if (c.gotMessage) {
      EXPECT_STREQ(reinterpret_cast<char*>(buf.data()), msg.c_str()) << c.bufSize;
    } else if (c.expect == 0 && c.bufSize > 0) {
      EXPECT_EQ(buf[0], 0) << "server memory must arrive zeroed";
    }
    // Nothing beyond bufSize is written.
    if (c.bufSize >= 0) {
      EXPECT_EQ(buf[static_cast<size_t>(c.bufSize)], 0xAA);
    }
  }
}

TEST(RpcCall, ConstantSizeRecordsMoveAllTwoThousandFortyEightBytes) {
  TestServer server;
  std::vector<byte> record(kRecordSize);
  long sum = 0;
  for (unsigned i = 0; i < kRecordSize; ++i) {
    record[i] = static_cast<byte>(i * 7 + 1);
    sum += record[i];
  }
  EXPECT_EQ(Guarded([&] { return TestStoreRecord(3, record.data(), 'M'); }), sum);
  EXPECT_EQ(ServerState().lastDevice, 3);
  EXPECT_EQ(ServerState().lastLetter, 'M');

  std::vector<byte> back(kRecordSize, 0);
  EXPECT_EQ(Guarded([&] { return TestQueryRecord('M', back.data()); }), 0);
  EXPECT_EQ(back, record);

  // A procedure error leaves the out array as the server's zeroed copy.
  std::vector<byte> other(kRecordSize, 0x55);
  EXPECT_EQ(Guarded([&] { return TestQueryRecord('N', other.data()); }), 2);
  EXPECT_EQ(other[0], 0);
}

TEST(RpcCall, ReservedAndUnknownOpnumsFaultWithoutKillingTheConnection) {
  TestServer server;
  EXPECT_EQ(Guarded([] { return NdrClientCall(&kTestClientIf, kOpReserved3); }),
            RPC_S_PROCNUM_OUT_OF_RANGE);
  // A newer client that knows more procedures than this server.
  NDR_PROC_DESC procs[kProcCount + 3];
  std::memcpy(procs, kTestDesc.Procs, sizeof(NDR_PROC_DESC) * kProcCount);
  for (unsigned short i = kProcCount; i < kProcCount + 3; ++i) procs[i] = NDR_PROC_NOPARAMS(i, Later);
  const RPC_INTERFACE_DESC newer = {kTestDesc.InterfaceId, procs, kProcCount + 3};
  const RPC_CLIENT_INTERFACE newerIf = {sizeof(RPC_CLIENT_INTERFACE), &newer, &TestImplicitHandle};
  EXPECT_EQ(Guarded([&] { return NdrClientCall(&newerIf, kProcCount + 2); }),
            RPC_S_PROCNUM_OUT_OF_RANGE);
  EXPECT_EQ(Guarded([] { return NdrClientCall(&kTestClientIf, 500); }), RPC_S_PROCNUM_OUT_OF_RANGE);
  EXPECT_EQ(Guarded([] { return TestPing(); }), 0);
}

TEST(RpcCall, ManagerExceptionsReachTheClientAsTheirCode) {
  TestServer server;
  EXPECT_EQ(Guarded([] { return TestRaise(5); }), 5);
  EXPECT_EQ(Guarded([] { return TestRaise(0x1234); }), 0x1234);
  EXPECT_EQ(Guarded([] { return TestPing(); }), 0);
}

TEST(RpcCall, CallerMistakesAreRaisedBeforeAnythingIsSent) {
  TestServer server;
  hyper h = 0;
  EXPECT_EQ(Guarded([&] { return TestEcho(nullptr, nullptr, &h, &h); }), RPC_X_NULL_REF_POINTER);
  EXPECT_EQ(Guarded([&] { return TestEcho("a", nullptr, nullptr, &h); }), RPC_X_NULL_REF_POINTER);
  EXPECT_EQ(Guarded([&] { return TestStoreRecord(1, nullptr, 'A'); }), RPC_X_NULL_REF_POINTER);
  const std::string huge(NDR_DEFAULT_MAX_STRING, 'q');
  EXPECT_EQ(Guarded([&] { return TestEcho(huge.c_str(), nullptr, &h, &h); }), RPC_S_STRING_TOO_LONG);
  // 64-bit C++ longs that do not fit the 32-bit wire value are refused, not cut.
  byte small[8];
  EXPECT_EQ(Guarded([&] { return TestGetMessage(0x100000005L, small); }), RPC_X_INVALID_BOUND);
  EXPECT_EQ(Guarded([&] { return TestRaise(1L << 40); }), RPC_S_INVALID_ARG);
  // A wrapper whose C++ types disagree with the table.
  EXPECT_EQ(Guarded([&] { return NdrClientCall(&kTestClientIf, kOpEcho, 1, 2, &h, &h); }),
            RPC_S_INTERNAL_ERROR);
  EXPECT_EQ(Guarded([&] { return NdrClientCall(&kTestClientIf, kOpPing, 1); }), RPC_S_INTERNAL_ERROR);
  EXPECT_EQ(Guarded([] { return TestPing(); }), 0);
}

TEST(RpcCall, RpcExceptFilterThatDeclinesLetsTheExceptionThrough) {
  bool outerCaught = false;
  try {
    RpcTryExcept { RpcRaiseException(1722); }
    RpcExcept(RpcExceptionCode() == 5) { FAIL() << "filter should have declined"; }
    RpcEndExcept
  } catch (const RpcException& e) {
    outerCaught = e.Code() == 1722;
  }
  EXPECT_TRUE(outerCaught);
}

TEST(RpcCall, MaximumCallsBoundsConcurrentManagerRoutines) {
  TestServer server(2);
  TestServerState& s = ServerState();
  s.release = false;
  s.maxActive = 0;
  std::vector<std::thread> callers;
  std::vector<long> results(5, -1);
  for (int i = 0; i < 5; ++i) {
    callers.emplace_back([&, i] {
      RPC_BINDING_HANDLE own = nullptr;
      // Separate bindings, so each caller has its own connection.
      RpcBindingFromStringBindingA(Cstr("ncalrpc:[testsvc]"), &own);
      const RPC_CLIENT_INTERFACE ifc = {sizeof(RPC_CLIENT_INTERFACE), &kTestDesc, &own};
      results[static_cast<size_t>(i)] = Guarded([&] { return NdrClientCall(&ifc, kOpBlock); });
      RpcBindingFree(&own);
    });
  }
  while (s.active.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // Give a third call every chance to start wrongly before releasing them.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  s.release = true;
  for (auto& t : callers) t.join();
  EXPECT_EQ(s.maxActive.load(), 2);
  for (long r : results) EXPECT_EQ(r, 0);
}

TEST(RpcCall, NoServerGivesServerUnavailable) {
  TestServer server;
  ResetServer();  // nothing listens any more; the socket file is gone
  EXPECT_EQ(Guarded([] { return TestPing(); }), RPC_S_SERVER_UNAVAILABLE);

  // A socket file left behind by a server that ended: refused.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, server.SocketPath().c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  close(fd);
  EXPECT_EQ(Guarded([] { return TestPing(); }), RPC_S_SERVER_UNAVAILABLE);

  RPC_BINDING_HANDLE tcp = nullptr;
  RpcBindingFromStringBindingA(Cstr("ncacn_ip_tcp:127.0.0.1[1]"), &tcp);
  const RPC_CLIENT_INTERFACE tcpIf = {sizeof(RPC_CLIENT_INTERFACE), &kTestDesc, &tcp};
  EXPECT_EQ(Guarded([&] { return NdrClientCall(&tcpIf, kOpPing); }), RPC_S_SERVER_UNAVAILABLE);
  RpcBindingFree(&tcp);
}

TEST(RpcCall, RestartedServerIsReachedWithoutAStaleConnectionFailure) {
  TestServer server;
  EXPECT_EQ(Guarded([] { return TestPing(); }), 0);  // leaves an idle connection
  ResetServer();
  ASSERT_EQ(RpcServerUseProtseqEpA(Cstr("ncalrpc"), 5, Cstr("testsvc"), nullptr), RPC_S_OK);
  ASSERT_EQ(RpcServerRegisterIf(TestServerIfHandle, nullptr, nullptr), RPC_S_OK);
  ASSERT_EQ(RpcServerListen(1, 4, 1), RPC_S_OK);
  EXPECT_EQ(Guarded([] { return TestPing(); }), 0);
}

}  // namespace
}  // namespace tarn::rpc::test
