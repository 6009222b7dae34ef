// Registration, endpoints and binding strings: the calls a service makes to
// start its server and a client makes to bind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <algorithm>
#include <unistd.h>

#include "call_helpers.h"
#include "platform/rpc/server_runtime.h"
#include "test_interface.h"

namespace tarn::rpc::test {
namespace {

std::string Str(RPC_CSTR s) { return reinterpret_cast<const char*>(s); }

TEST(RpcStringBinding, ComposeAndParseAgreeAndRejectBadText) {
  RPC_CSTR text = nullptr;
  ASSERT_EQ(RpcStringBindingComposeA(nullptr, Cstr("ncalrpc"), nullptr, Cstr("tarnsvc"), nullptr,
                                     &text),
            RPC_S_OK);
  EXPECT_EQ(Str(text), "ncalrpc:[tarnsvc]");
  RPC_BINDING_HANDLE h = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA(text, &h), RPC_S_OK);
  RpcStringFreeA(&text);
  EXPECT_EQ(text, nullptr);
  ASSERT_EQ(RpcBindingToStringBindingA(h, &text), RPC_S_OK);
  EXPECT_EQ(Str(text), "ncalrpc:[tarnsvc]");
  RpcStringFreeA(&text);
  EXPECT_EQ(RpcBindingFree(&h), RPC_S_OK);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(RpcBindingFree(&h), RPC_S_INVALID_BINDING);

  struct Case {
    const char* text;
    RPC_STATUS expect;
  };
  const Case cases[] = {
      {"ncalrpc:[tarnsvc]", RPC_S_OK},
      {"ncalrpc:[endpoint=tarnsvc]", RPC_S_OK},
      {"ncacn_ip_tcp:127.0.0.1[4000]", RPC_S_OK},
      {"ncacn_ip_tcp:localhost[4000,Security=none]", RPC_S_OK},
      {"5d2f7a10-3c4b-4e8f-9a61-0b7c2d9e4f13@ncalrpc:[x]", RPC_S_OK},
      {"ncacn_np:\\\\host[\\pipe\\x]", RPC_S_PROTSEQ_NOT_SUPPORTED},
      {"tarnsvc", RPC_S_INVALID_STRING_BINDING},
      {"ncalrpc:[tarnsvc", RPC_S_INVALID_STRING_BINDING},
      {"ncalrpc:[a][b]", RPC_S_INVALID_STRING_BINDING},
      {"ncalrpc:[../../etc/passwd]", RPC_S_INVALID_ENDPOINT_FORMAT},
      {"ncalrpc:[a/b]", RPC_S_INVALID_ENDPOINT_FORMAT},
      {"ncacn_ip_tcp:127.0.0.1[http]", RPC_S_INVALID_ENDPOINT_FORMAT},
      {"ncacn_ip_tcp:127.0.0.1[70000]", RPC_S_INVALID_ENDPOINT_FORMAT},
      {"not-a-uuid@ncalrpc:[x]", RPC_S_INVALID_STRING_UUID},
  };
  for (const Case& c : cases) {
    RPC_BINDING_HANDLE b = nullptr;
    EXPECT_EQ(RpcBindingFromStringBindingA(Cstr(c.text), &b), c.expect) << c.text;
    EXPECT_EQ(b != nullptr, c.expect == RPC_S_OK) << c.text;
    if (b) RpcBindingFree(&b);
  }
}

TEST(RpcServerApi, MisuseIsAnsweredWithTheWindowsStatus) {
  TestServer server;
  EXPECT_EQ(RpcServerListen(1, 4, 1), RPC_S_ALREADY_LISTENING);
  EXPECT_EQ(RpcServerRegisterIf(TestServerIfHandle, nullptr, nullptr), RPC_S_TYPE_ALREADY_REGISTERED);
  EXPECT_EQ(RpcServerUseProtseqEpA(Cstr("ncalrpc"), 5, Cstr("testsvc"), nullptr),
            RPC_S_DUPLICATE_ENDPOINT);
  EXPECT_EQ(RpcServerUseProtseqEpA(Cstr("ncalrpc"), 5, Cstr("../escape"), nullptr),
            RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(RpcServerUseProtseqEpA(Cstr("ncacn_np"), 5, Cstr("x"), nullptr),
            RPC_S_PROTSEQ_NOT_SUPPORTED);
  EXPECT_EQ(RpcServerRegisterIf(nullptr, nullptr, nullptr), RPC_S_INVALID_ARG);
  EXPECT_EQ(RpcImpersonateClient(0), RPC_S_NO_CALL_ACTIVE);
  EXPECT_EQ(RpcRevertToSelf(), RPC_S_NO_CALL_ACTIVE);

  ResetServer();
  EXPECT_EQ(RpcServerListen(1, 4, 1), RPC_S_NO_PROTSEQS_REGISTERED);
  EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_NOT_LISTENING);
  ASSERT_EQ(RpcServerUseProtseqEpA(Cstr("ncalrpc"), 5, Cstr("testsvc"), nullptr), RPC_S_OK);
  EXPECT_EQ(RpcServerListen(5, 4, 1), RPC_S_MAX_CALLS_TOO_SMALL);
}

long WrongShape(long, long) { return 0; }
long NoArgs() { return 0; }

TEST(RpcServerApi, RoutineTableThatDisagreesWithTheDescriptionIsRefused) {
  ResetServer();
  const NDR_SERVER_ROUTINE* good = static_cast<const RPC_SERVER_INTERFACE*>(TestServerIfHandle)->Routines;
  NDR_SERVER_ROUTINE routines[kProcCount];
  auto registerWith = [&](unsigned op, NDR_SERVER_ROUTINE r) {
    std::copy(good, good + kProcCount, routines);
    routines[op] = r;
    const RPC_SERVER_INTERFACE si = {sizeof(RPC_SERVER_INTERFACE), &kTestDesc, routines};
    RPC_STATUS st = RpcServerRegisterIf(const_cast<RPC_SERVER_INTERFACE*>(&si), nullptr, nullptr);
    RpcServerUnregisterIf(nullptr, nullptr, 0);
    return st;
  };
  EXPECT_EQ(registerWith(kOpEcho, NDR_ROUTINE(WrongShape)), RPC_S_INVALID_ARG);  // ints for strings
  EXPECT_EQ(registerWith(kOpEcho, NDR_ROUTINE(NoArgs)), RPC_S_INVALID_ARG);      // too few
  EXPECT_EQ(registerWith(kOpEcho, NDR_ROUTINE_RESERVED), RPC_S_INVALID_ARG);     // missing
  EXPECT_EQ(registerWith(kOpReserved3, NDR_ROUTINE(NoArgs)), RPC_S_INVALID_ARG); // reserved slot
  EXPECT_EQ(registerWith(kOpPing, NDR_ROUTINE(NoArgs)), RPC_S_OK);

  // A description whose size_is points at a non-long parameter.
  const NDR_PARAM_DESC badParams[] = {{NDR_IN, NDR_STRING, -1, 0, 0},
                                      {NDR_OUT, NDR_BYTE_ARRAY, 0, 0, 16}};
  const NDR_PROC_DESC badProcs[] = {NDR_PROC(0, Bad, badParams)};
  const RPC_INTERFACE_DESC badDesc = {kTestDesc.InterfaceId, badProcs, 1};
  const NDR_SERVER_ROUTINE one[] = {NDR_ROUTINE(WrongShape)};
  const RPC_SERVER_INTERFACE si = {sizeof(RPC_SERVER_INTERFACE), &badDesc, one};
  EXPECT_EQ(RpcServerRegisterIf(const_cast<RPC_SERVER_INTERFACE*>(&si), nullptr, nullptr),
            RPC_S_INVALID_ARG);
}

TEST(RpcServerApi, ServiceStartSequenceServesLocalAndConfiguredTcp) {
  TestServer server;
  ResetServer();
  setenv("TARNVAULT_RPC_TCP", "0", 1);  // any free port
  ASSERT_EQ(RpcServerUseProtseqEpA(Cstr("ncalrpc"), 5, Cstr("testsvc"), nullptr), RPC_S_OK);
  ASSERT_EQ(RpcServerRegisterIf(TestServerIfHandle, nullptr, nullptr), RPC_S_OK);
  ASSERT_EQ(RpcServerUseAllProtseqs(10, nullptr), RPC_S_OK);
  RPC_BINDING_VECTOR* vec = nullptr;
  ASSERT_EQ(RpcServerInqBindings(&vec), RPC_S_OK);
  EXPECT_EQ(RpcNsBindingExportA(RPC_C_NS_SYNTAX_DEFAULT, Cstr("/.:/testsvc"), TestServerIfHandle, vec,
                                nullptr),
            RPC_S_OK);
  EXPECT_EQ(RpcEpRegisterA(TestServerIfHandle, vec, nullptr, nullptr), RPC_S_OK);
  ASSERT_EQ(vec->Count, 2u);
  std::string tcpBinding;
  for (unsigned long i = 0; i < vec->Count; ++i) {
    RPC_CSTR text = nullptr;
    ASSERT_EQ(RpcBindingToStringBindingA(vec->BindingH[i], &text), RPC_S_OK);
    if (Str(text).rfind("ncacn_ip_tcp:127.0.0.1[", 0) == 0) tcpBinding = Str(text);
    RpcStringFreeA(&text);
  }
  EXPECT_EQ(RpcBindingVectorFree(&vec), RPC_S_OK);
  EXPECT_EQ(vec, nullptr);
  unsetenv("TARNVAULT_RPC_TCP");
  ASSERT_FALSE(tcpBinding.empty());

  std::thread listener([] { EXPECT_EQ(RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, 0), RPC_S_OK); });
  // Over ncalrpc the caller is known; over TCP it is not, so impersonation fails there.
  hyper uid = -1, gid = -1;
  long local = -1;
  for (int tries = 0; tries < 500 && local != 0; ++tries) {
    local = Guarded([&] { return TestWhoAmI("", &uid, &gid); });
    if (local != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(local, 0);
  EXPECT_EQ(uid, static_cast<hyper>(geteuid()));
  RPC_BINDING_HANDLE tcp = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA(Cstr(tcpBinding.c_str()), &tcp), RPC_S_OK);
  const RPC_CLIENT_INTERFACE tcpIf = {sizeof(RPC_CLIENT_INTERFACE), &kTestDesc, &tcp};
  EXPECT_EQ(Guarded([&] { return NdrClientCall(&tcpIf, kOpWhoAmI, "", &uid, &gid); }),
            RPC_S_BINDING_HAS_NO_AUTH);
  EXPECT_EQ(Guarded([&] { return NdrClientCall(&tcpIf, kOpPing); }), 0);
  RpcBindingFree(&tcp);

  EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_OK);
  listener.join();
}

RPC_STATUS DenyAll(RPC_IF_HANDLE, void*) { return RPC_S_ACCESS_DENIED; }

TEST(RpcServerApi, SecurityCallbackRefusalReachesTheClient) {
  TestServer server;
  RpcServerUnregisterIf(TestServerIfHandle, nullptr, 0);
  EXPECT_EQ(Guarded([] { return TestPing(); }), RPC_S_UNKNOWN_IF);  // bound, then gone
  ASSERT_EQ(RpcServerRegisterIfEx(TestServerIfHandle, nullptr, nullptr, 0, 10, DenyAll), RPC_S_OK);
  EXPECT_EQ(Guarded([] { return TestPing(); }), RPC_S_ACCESS_DENIED);
}

TEST(RpcServerApi, TcpStaysOffUnlessConfigured) {
  TestServer server;
  unsetenv("TARNVAULT_RPC_TCP");
  EXPECT_EQ(RpcServerUseAllProtseqs(10, nullptr), RPC_S_OK);
  RPC_BINDING_VECTOR* vec = nullptr;
  ASSERT_EQ(RpcServerInqBindings(&vec), RPC_S_OK);
  EXPECT_EQ(vec->Count, 1u);
  RpcBindingVectorFree(&vec);
  setenv("TARNVAULT_RPC_TCP", "http", 1);
  EXPECT_EQ(RpcServerUseAllProtseqs(10, nullptr), RPC_S_INVALID_ENDPOINT_FORMAT);
  unsetenv("TARNVAULT_RPC_TCP");
}

TEST(RpcServerApi, LocalSocketIsOwnerAndGroupOnly) {
  TestServer server;
  struct stat st{};
  ASSERT_EQ(stat(server.SocketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  struct stat machine{};
  ASSERT_EQ(stat(server.MachineDir().c_str(), &machine), 0);
  EXPECT_EQ(st.st_uid, machine.st_uid);
  EXPECT_EQ(st.st_gid, machine.st_gid);
  struct stat dir{};
  ASSERT_EQ(stat((server.MachineDir() + "/rpc").c_str(), &dir), 0);
  EXPECT_EQ(dir.st_mode & 0007, 0u);
}

}  // namespace
}  // namespace tarn::rpc::test
