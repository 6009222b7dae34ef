// A client in its own process, for tests that need a caller with another
// identity. Usage: rpc_test_client MACHINE_DIR CREATE_PATH
// Prints "<result> <fsuid> <fsgid>" as the server saw them while impersonating.
#include <cstdio>
#include <cstdlib>

#include "call_helpers.h"
#include "test_interface.h"

using namespace tarn::rpc::test;

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  setenv("TARNVAULT_MACHINE", argv[1], 1);
  if (RpcBindingFromStringBindingA(Cstr("ncalrpc:[testsvc]"), &TestImplicitHandle) != RPC_S_OK)
    return 3;
  hyper uid = -1, gid = -1;
  const long r = Guarded([&] { return TestWhoAmI(argv[2], &uid, &gid); });
  std::printf("%ld %lld %lld\n", r, static_cast<long long>(uid), static_cast<long long>(gid));
  RpcBindingFree(&TestImplicitHandle);
  return 0;
}
