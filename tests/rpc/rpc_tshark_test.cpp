// An independent decoder reads our traffic: Wireshark's DCE/RPC dissector
// must see our bind (interface UUID, NDR) and request (opnum) on loopback
// TCP without a malformed-packet complaint.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "call_helpers.h"
#include "platform/rpc/socket_io.h"
#include "test_interface.h"

namespace tarn::rpc::test {
namespace {

bool OnPath(const char* tool) {
  const std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

std::string Output(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string TcpPort() {
  RPC_BINDING_VECTOR* vec = nullptr;
  std::string port;
  if (RpcServerInqBindings(&vec) != RPC_S_OK) return port;
  for (unsigned long i = 0; i < vec->Count; ++i) {
    RPC_CSTR text = nullptr;
    RpcBindingToStringBindingA(vec->BindingH[i], &text);
    const std::string s = reinterpret_cast<char*>(text);
    RpcStringFreeA(&text);
    const std::string prefix = "ncacn_ip_tcp:127.0.0.1[";
    if (s.rfind(prefix, 0) == 0) port = s.substr(prefix.size(), s.size() - prefix.size() - 1);
  }
  RpcBindingVectorFree(&vec);
  return port;
}

TEST(RpcTshark, DissectorDecodesOurBindAndRequest) {
  if (!OnPath("tshark") || !OnPath("dumpcap")) GTEST_SKIP() << "tshark is not installed";
  TestServer server;
  ASSERT_EQ(RpcServerUseProtseqEpA(Cstr("ncacn_ip_tcp"), 5, Cstr("0"), nullptr), RPC_S_OK);
  const std::string port = TcpPort();
  ASSERT_FALSE(port.empty());
  const std::string pcap = server.MachineDir() + "/call.pcapng";
  const std::string log = server.MachineDir() + "/dumpcap.log";

  const pid_t pid = fork();
  if (pid == 0) {
    FILE* err = std::freopen(log.c_str(), "w", stderr);
    (void)err;
    execlp("dumpcap", "dumpcap", "-q", "-i", "lo", "-f", ("tcp port " + port).c_str(), "-w",
           pcap.c_str(), nullptr);
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  bool capturing = false;
  for (int i = 0; i < 200 && !capturing; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) break;  // ended: no capture rights
    capturing = ReadFile(log).find("Capturing on") != std::string::npos;
    if (!capturing) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!capturing) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    GTEST_SKIP() << "cannot capture on loopback: " << ReadFile(log);
  }

  // "Capturing on" may come before packets are really seen: knock on the
  // port until the knock shows up in the file, then make the call.
  bool seen = false;
  for (int i = 0; i < 40 && !seen; ++i) {
    int fd = -1;
    if (ConnectTcp("127.0.0.1", static_cast<uint16_t>(std::stoi(port)), fd) == RPC_S_OK) close(fd);
    seen = !Output("tshark -n -r " + pcap + " -T fields -e frame.number 2>/dev/null").empty();
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(seen) << "the capture never saw the port";

  RPC_BINDING_HANDLE tcp = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingA(Cstr(("ncacn_ip_tcp:127.0.0.1[" + port + "]").c_str()), &tcp),
            RPC_S_OK);
  const RPC_CLIENT_INTERFACE ifc = {sizeof(RPC_CLIENT_INTERFACE), &kTestDesc, &tcp};
  hyper sum = 0;
  EXPECT_EQ(Guarded([&] { return NdrClientCall(&ifc, kOpMix, 1L, hyper{2}, char{3}, "abcd", &sum); }), 0);
  RpcBindingFree(&tcp);  // closes the connection, so the capture has all of it

  const std::string decode = "tshark -n -r " + pcap + " -d tcp.port==" + port + ",dcerpc ";
  const std::string fieldArgs =
      "-Y dcerpc -T fields -e dcerpc.pkt_type -e dcerpc.cn_bind_to_uuid -e dcerpc.opnum 2>/dev/null";
  // Wait until the capture file shows all four PDUs (or give up after a
  // while and let the final read below report what is missing).
  for (int i = 0; i < 50; ++i) {
    const std::string so_far = Output(decode + fieldArgs);
    if (std::count(so_far.begin(), so_far.end(), '\n') >= 4) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGINT);
  waitpid(pid, nullptr, 0);
  const std::string fields = Output(decode + fieldArgs);
  // bind with our interface, bind_ack, request opnum 2, its response.
  EXPECT_EQ(fields,
            "11\t5d2f7a10-3c4b-4e8f-9a61-0b7c2d9e4f13\t\n"
            "12\t\t\n"
            "0\t\t2\n"
            "2\t\t2\n");
  const std::string verbose = Output(decode + "-V 2>/dev/null");
  EXPECT_EQ(verbose.find("Malformed"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("Data Representation: 10000000"), std::string::npos);
}

}  // namespace
}  // namespace tarn::rpc::test
