#include "test_interface.h"

#include <fcntl.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/rpc/server_runtime.h"
#include "platform/rpc/socket_io.h"

namespace tarn::rpc::test {

namespace {

const NDR_PARAM_DESC kEcho[] = {NDR_IN_STRING, NDR_IN_UNIQUE_STRING, NDR_OUT_HYPER, NDR_OUT_HYPER};
const NDR_PARAM_DESC kMix[] = {NDR_IN_LONG, NDR_IN_HYPER, NDR_IN_CHAR, NDR_IN_STRING, NDR_OUT_HYPER};
const NDR_PARAM_DESC kGetMessage[] = {NDR_IN_LONG, NDR_OUT_BYTES_SIZE_IS(0, kMessageMax)};
const NDR_PARAM_DESC kQueryRecord[] = {NDR_IN_CHAR, NDR_OUT_BYTES_CONST(kRecordSize)};
const NDR_PARAM_DESC kStoreRecord[] = {NDR_IN_LONG, NDR_IN_BYTES_CONST(kRecordSize), NDR_IN_CHAR};
const NDR_PARAM_DESC kWhoAmI[] = {NDR_IN_STRING, NDR_OUT_HYPER, NDR_OUT_HYPER};
const NDR_PARAM_DESC kRaise[] = {NDR_IN_LONG};

const NDR_PROC_DESC kProcs[] = {
    NDR_PROC_NOPARAMS(kOpPing, Ping),
    NDR_PROC(kOpEcho, Echo, kEcho),
    NDR_PROC(kOpMix, Mix, kMix),
    NDR_PROC_RESERVED(kOpReserved3),
    NDR_PROC(kOpGetMessage, GetMessage, kGetMessage),
    NDR_PROC(kOpQueryRecord, QueryRecord, kQueryRecord),
    NDR_PROC(kOpStoreRecord, StoreRecord, kStoreRecord),
    NDR_PROC(kOpWhoAmI, WhoAmI, kWhoAmI),
    NDR_PROC(kOpRaise, Raise, kRaise),
    NDR_PROC_NOPARAMS(kOpBlock, Block),
};

// Manager routines.
long Ping() { return 0; }

long Echo(unsigned char* text, unsigned char* maybe, hyper* length, hyper* maybeLength) {
  *length = static_cast<hyper>(std::strlen(reinterpret_cast<char*>(text)));
  *maybeLength = maybe ? static_cast<hyper>(std::strlen(reinterpret_cast<char*>(maybe))) : -1;
  return text[0];
}

long Mix(long a, hyper b, char c, unsigned char* s, hyper* sum) {
  // Wraps instead of overflowing: the fuzzer sends any a and b.
  *sum = static_cast<hyper>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b) + static_cast<unsigned char>(c) +
                            std::strlen(reinterpret_cast<char*>(s)));
  return static_cast<long>(b >> 32);
}

long GetMessage(long bufSize, byte* buf) {
  const std::string& m = ServerState().message;
  if (static_cast<long>(m.size()) < bufSize) std::memcpy(buf, m.c_str(), m.size() + 1);
  return 0;
}

long QueryRecord(char letter, byte* record) {
  if (letter != ServerState().lastLetter) return 2;  // ERROR_FILE_NOT_FOUND
  std::memcpy(record, ServerState().lastRecord, kRecordSize);
  return 0;
}

long StoreRecord(long deviceNumber, byte* record, char letter) {
  std::memcpy(ServerState().lastRecord, record, kRecordSize);
  ServerState().lastDevice = deviceNumber;
  ServerState().lastLetter = letter;
  long sum = 0;
  for (unsigned i = 0; i < kRecordSize; ++i) sum += record[i];
  return sum;
}

long WhoAmI(unsigned char* createPath, hyper* fsuid, hyper* fsgid) {
  RPC_STATUS st = RpcImpersonateClient(0);
  if (st != RPC_S_OK) return st;
  *fsuid = setfsuid(static_cast<uid_t>(-1));
  *fsgid = setfsgid(static_cast<gid_t>(-1));
  if (createPath[0] != 0) {
    int fd = open(reinterpret_cast<char*>(createPath), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    if (fd >= 0) close(fd);
  }
  // Left impersonating on purpose: the runtime must revert after the call.
  return 0;
}

long Raise(long code) { RpcRaiseException(static_cast<RPC_STATUS>(code)); }

long Block() {
  TestServerState& s = ServerState();
  const int now = ++s.active;
  int seen = s.maxActive.load();
  while (now > seen && !s.maxActive.compare_exchange_weak(seen, now)) {
  }
  while (!s.release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  --s.active;
  return 0;
}

const NDR_SERVER_ROUTINE kRoutines[] = {
    NDR_ROUTINE(Ping),        NDR_ROUTINE(Echo),        NDR_ROUTINE(Mix),
    NDR_ROUTINE_RESERVED,     NDR_ROUTINE(GetMessage),  NDR_ROUTINE(QueryRecord),
    NDR_ROUTINE(StoreRecord), NDR_ROUTINE(WhoAmI),      NDR_ROUTINE(Raise),
    NDR_ROUTINE(Block),
};

const RPC_SERVER_INTERFACE kServerIf = {sizeof(RPC_SERVER_INTERFACE), &kTestDesc, kRoutines};

}  // namespace

// 5d2f7a10-3c4b-4e8f-9a61-0b7c2d9e4f13 version 1.0
const RPC_INTERFACE_DESC kTestDesc = {
    {{0x5d2f7a10, 0x3c4b, 0x4e8f, {0x9a, 0x61, 0x0b, 0x7c, 0x2d, 0x9e, 0x4f, 0x13}}, {1, 0}},
    kProcs,
    kProcCount};

RPC_IF_HANDLE TestServerIfHandle = const_cast<RPC_SERVER_INTERFACE*>(&kServerIf);
RPC_BINDING_HANDLE TestImplicitHandle = nullptr;
const RPC_CLIENT_INTERFACE kTestClientIf = {sizeof(RPC_CLIENT_INTERFACE), &kTestDesc,
                                            &TestImplicitHandle};

long TestPing() { return NdrClientCall(&kTestClientIf, kOpPing); }
long TestEcho(const char* text, const char* maybe, hyper* length, hyper* maybeLength) {
  return NdrClientCall(&kTestClientIf, kOpEcho, text, maybe, length, maybeLength);
}
long TestMix(long a, hyper b, char c, const char* s, hyper* sum) {
  return NdrClientCall(&kTestClientIf, kOpMix, a, b, c, s, sum);
}
long TestGetMessage(long bufSize, byte* buf) {
  return NdrClientCall(&kTestClientIf, kOpGetMessage, bufSize, buf);
}
long TestQueryRecord(char letter, byte* record) {
  return NdrClientCall(&kTestClientIf, kOpQueryRecord, letter, record);
}
long TestStoreRecord(long deviceNumber, const byte* record, char letter) {
  return NdrClientCall(&kTestClientIf, kOpStoreRecord, deviceNumber, record, letter);
}
long TestWhoAmI(const char* createPath, hyper* fsuid, hyper* fsgid) {
  return NdrClientCall(&kTestClientIf, kOpWhoAmI, createPath, fsuid, fsgid);
}
long TestRaise(long code) { return NdrClientCall(&kTestClientIf, kOpRaise, code); }
long TestBlock() { return NdrClientCall(&kTestClientIf, kOpBlock); }

TestServerState& ServerState() {
  static TestServerState state;
  return state;
}

TestServer::TestServer(unsigned maxCalls) {
  char tmpl[] = "/tmp/tarn-rpc-XXXXXX";
  const char* d = mkdtemp(tmpl);
  dir_ = d ? d : "";
  setenv("TARNVAULT_MACHINE", dir_.c_str(), 1);
  SetIoTimeoutMs(2000);
  RpcServerUseProtseqEpA(reinterpret_cast<RPC_CSTR>(const_cast<char*>("ncalrpc")), 5,
                         reinterpret_cast<RPC_CSTR>(const_cast<char*>("testsvc")), nullptr);
  RpcServerRegisterIf(TestServerIfHandle, nullptr, nullptr);
  RpcServerListen(1, maxCalls, 1);
  RPC_CSTR text = nullptr;
  RpcStringBindingComposeA(nullptr, reinterpret_cast<RPC_CSTR>(const_cast<char*>("ncalrpc")),
                           nullptr, reinterpret_cast<RPC_CSTR>(const_cast<char*>("testsvc")),
                           nullptr, &text);
  RpcBindingFromStringBindingA(text, &TestImplicitHandle);
  RpcStringFreeA(&text);
}

TestServer::~TestServer() {
  RpcBindingFree(&TestImplicitHandle);
  ResetServer();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

}  // namespace tarn::rpc::test
