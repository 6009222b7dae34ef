// A test interface that uses every wire type the runtime supports, served
// in-process on a temporary machine directory.
#pragma once

#include <atomic>
#include <string>

#include "platform/rpc/rpcndr.h"

namespace tarn::rpc::test {

// Opnums.
enum : unsigned short {
  kOpPing = 0,
  kOpEcho = 1,
  kOpMix = 2,
  kOpReserved3 = 3,
  kOpGetMessage = 4,
  kOpQueryRecord = 5,
  kOpStoreRecord = 6,
  kOpWhoAmI = 7,
  kOpRaise = 8,
  kOpBlock = 9,
  kProcCount = 10,
};

constexpr unsigned kRecordSize = 2048;
constexpr unsigned kMessageMax = 65536;

extern const RPC_INTERFACE_DESC kTestDesc;
extern RPC_IF_HANDLE TestServerIfHandle;
extern RPC_BINDING_HANDLE TestImplicitHandle;
extern const RPC_CLIENT_INTERFACE kTestClientIf;

// Client wrappers, written as a generated client stub would be.
long TestPing();
long TestEcho(const char* text, const char* maybe, hyper* length, hyper* maybeLength);
long TestMix(long a, hyper b, char c, const char* s, hyper* sum);
long TestGetMessage(long bufSize, byte* buf);
long TestQueryRecord(char letter, byte* record);
long TestStoreRecord(long deviceNumber, const byte* record, char letter);
long TestWhoAmI(const char* createPath, hyper* fsuid, hyper* fsgid);
long TestRaise(long code);
long TestBlock();

// Server-side state the tests look at.
struct TestServerState {
  std::string message = "Disk converted.";
  std::atomic<int> active{0};
  std::atomic<int> maxActive{0};
  std::atomic<bool> release{false};
  byte lastRecord[kRecordSize] = {};
  long lastDevice = 0;
  char lastLetter = 0;
};
TestServerState& ServerState();

// Runs a temporary machine directory with the test interface served on
// "ncalrpc" endpoint "testsvc" and binds the implicit handle to it.
class TestServer {
 public:
  explicit TestServer(unsigned maxCalls = 8);
  ~TestServer();
  const std::string& MachineDir() const { return dir_; }
  std::string SocketPath() const { return dir_ + "/rpc/testsvc"; }

 private:
  std::string dir_;
};

}  // namespace tarn::rpc::test
