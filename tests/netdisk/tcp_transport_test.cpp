// The "\Device\Tcp" transport, reached as a driver reaches it: opens with
// extended attributes, referenced file objects, and TDI requests built with
// IoBuildDeviceIoControlRequest and the TdiBuild macros, against a plain
// listening socket in the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "platform/nt/host.h"
#include "platform/nt/testing.h"
#include "tdi_endpoint.h"

using namespace netdisk_test;

namespace {

constexpr ULONG kConnectionTag = 0x43706354;  // "TcpC"
constexpr ULONG kAddressTag = 0x41706354;     // "TcpA"

// A one-connection TCP peer on loopback whose behaviour each test picks.
class Peer {
 public:
  explicit Peer(std::function<void(int)> Behaviour) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_, 4);
    socklen_t n = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = a.sin_port;
    thread_ = std::thread([this, Behaviour] {
      // Waits a bounded time, so a test that never connects still ends.
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) return;
      int fd = accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      Behaviour(fd);
      close(fd);
    });
  }
  ~Peer() {
    thread_.join();
    close(listen_);
  }
  USHORT PortNetworkOrder() const { return port_; }

 private:
  int listen_;
  USHORT port_;
  std::thread thread_;
};

bool ReadAll(int Fd, void* Data, size_t Length) {
  auto* p = static_cast<char*>(Data);
  while (Length > 0) {
    ssize_t n = recv(Fd, p, Length, 0);
    if (n <= 0) return false;
    p += n;
    Length -= size_t(n);
  }
  return true;
}

class TcpTransport : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(NtHostLoadDriver(u"\\Driver\\Tcp", TcpDriverEntry, nullptr, &driver_), STATUS_SUCCESS);
  }
  static void TearDownTestSuite() { NtHostUnloadDriver(driver_); }
  void SetUp() override { NtTcpSetTimeouts(5000, 5000); }
  void TearDown() override {
    NtTcpSetTimeouts(0, 0);
    // Closing every handle and reference gave back what the transport took.
    EXPECT_EQ(NtPoolOutstanding(kConnectionTag), 0u);
    EXPECT_EQ(NtPoolOutstanding(kAddressTag), 0u);
  }
  static PDRIVER_OBJECT driver_;
};
PDRIVER_OBJECT TcpTransport::driver_ = nullptr;

TEST_F(TcpTransport, ConnectSendReceiveCarriesEveryByte) {
  Peer peer([](int fd) {
    std::vector<char> data(100000);
    if (ReadAll(fd, data.data(), data.size())) send(fd, data.data(), data.size(), MSG_NOSIGNAL);
  });
  Endpoint e;
  ASSERT_EQ(e.OpenBoth(), STATUS_SUCCESS);
  ASSERT_EQ(e.Associate(), STATUS_SUCCESS);
  ASSERT_EQ(e.Connect(peer.PortNetworkOrder()), STATUS_SUCCESS);
  std::vector<UCHAR> out(100000), in(100000);
  for (size_t i = 0; i < out.size(); ++i) out[i] = UCHAR(i * 7);
  // Sends and receives may move part of the buffer: loop as a client must.
  for (size_t done = 0; done < out.size();) {
    ULONG_PTR moved = 0;
    ASSERT_EQ(e.Send(out.data() + done, ULONG(out.size() - done), &moved), STATUS_SUCCESS);
    ASSERT_GT(moved, 0u);
    done += moved;
  }
  for (size_t done = 0; done < in.size();) {
    ULONG_PTR moved = 0;
    ASSERT_EQ(e.Receive(in.data() + done, ULONG(in.size() - done), &moved), STATUS_SUCCESS);
    ASSERT_GT(moved, 0u);
    done += moved;
  }
  EXPECT_EQ(in, out);
  EXPECT_EQ(e.Disconnect(), STATUS_SUCCESS);
}

TEST_F(TcpTransport, ReceiveCompletesPartlyWithWhatHasArrived) {
  std::atomic<bool> more{false};
  Peer peer([&](int fd) {
    send(fd, "0123456789", 10, MSG_NOSIGNAL);
    while (!more.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    send(fd, "abcdef", 6, MSG_NOSIGNAL);
  });
  Endpoint e;
  ASSERT_EQ(e.OpenBoth(), STATUS_SUCCESS);
  ASSERT_EQ(e.Associate(), STATUS_SUCCESS);
  ASSERT_EQ(e.Connect(peer.PortNetworkOrder()), STATUS_SUCCESS);
  char buffer[100] = {};
  ULONG_PTR moved = 0;
  ASSERT_EQ(e.Receive(buffer, sizeof buffer, &moved), STATUS_SUCCESS);
  EXPECT_EQ(moved, 10u) << "a receive must not wait for the whole buffer";
  EXPECT_EQ(std::string(buffer, 10), "0123456789");
  more = true;
  ASSERT_EQ(e.Receive(buffer, sizeof buffer, &moved), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, moved), "abcdef");
}

// A header and its data part travel as one request with an MDL per piece:
// pieces out of order, a piece dropped, or the requested length ignored
// would corrupt the stream.
TEST_F(TcpTransport, MdlChainsMoveTheirPiecesInOrderUpToTheRequestedLength) {
  std::vector<UCHAR> echoed(4 + 3000 + 3);
  Peer peer([&](int fd) {
    if (ReadAll(fd, echoed.data(), echoed.size())) send(fd, echoed.data(), echoed.size(), MSG_NOSIGNAL);
  });
  Endpoint e;
  ASSERT_EQ(e.OpenBoth(), STATUS_SUCCESS);
  ASSERT_EQ(e.Associate(), STATUS_SUCCESS);
  ASSERT_EQ(e.Connect(peer.PortNetworkOrder()), STATUS_SUCCESS);

  // Three pieces, of which the request asks for all but the last two bytes.
  UCHAR head[4] = {'H', 'E', 'A', 'D'};
  std::vector<UCHAR> body(3000);
  for (size_t i = 0; i < body.size(); ++i) body[i] = UCHAR(i * 13);
  UCHAR tail[5] = {'t', 'a', 'i', 'l', '!'};
  const ULONG length = ULONG(echoed.size());
  ULONG_PTR sent = 0;
  while (sent < length) {
    // Partial sends resume where they stopped, as the client does.
    std::vector<std::pair<void*, ULONG>> pieces;
    ULONG skip = ULONG(sent);
    for (auto [data, size] : {std::pair<UCHAR*, ULONG>{head, 4}, {body.data(), 3000}, {tail, 5}}) {
      if (skip >= size) {
        skip -= size;
        continue;
      }
      pieces.push_back({data + skip, size - skip});
      skip = 0;
    }
    ULONG_PTR moved = 0;
    ASSERT_EQ(e.TransferChain(TDI_SEND, pieces, length - ULONG(sent), &moved), STATUS_SUCCESS);
    ASSERT_GT(moved, 0u);
    sent += moved;
  }
  EXPECT_EQ(sent, length) << "more than the requested length went out";

  // Scattered back into two pieces: the first fills before the second.
  std::vector<UCHAR> first(10), second(echoed.size() - 10);
  ULONG_PTR received = 0;
  while (received < length) {
    std::vector<std::pair<void*, ULONG>> pieces;
    if (received < first.size()) pieces.push_back({first.data() + received, ULONG(first.size() - received)});
    ULONG into = received > first.size() ? ULONG(received - first.size()) : 0;
    pieces.push_back({second.data() + into, ULONG(second.size() - into)});
    ULONG_PTR moved = 0;
    ASSERT_EQ(e.TransferChain(TDI_RECEIVE, pieces, length - ULONG(received), &moved), STATUS_SUCCESS);
    ASSERT_GT(moved, 0u);
    received += moved;
  }
  std::vector<UCHAR> expected(head, head + 4);
  expected.insert(expected.end(), body.begin(), body.end());
  expected.insert(expected.end(), tail, tail + 3);
  EXPECT_EQ(echoed, expected);
  EXPECT_EQ(first, std::vector<UCHAR>(expected.begin(), expected.begin() + 10));
  EXPECT_EQ(second, std::vector<UCHAR>(expected.begin() + 10, expected.end()));
  EXPECT_EQ(e.Disconnect(), STATUS_SUCCESS);
}

TEST_F(TcpTransport, StalledPeerEndsTheReceiveWithATimeout) {
  NtTcpSetTimeouts(5000, 200);
  std::atomic<bool> release{false};
  Peer peer([&](int) {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  Endpoint e;
  ASSERT_EQ(e.OpenBoth(), STATUS_SUCCESS);
  ASSERT_EQ(e.Associate(), STATUS_SUCCESS);
  ASSERT_EQ(e.Connect(peer.PortNetworkOrder()), STATUS_SUCCESS);
  char buffer[16];
  ULONG_PTR moved = 99;
  EXPECT_EQ(e.Receive(buffer, sizeof buffer, &moved), STATUS_IO_TIMEOUT);
  EXPECT_EQ(moved, 0u);
  // A peer that never reads: once the socket buffers are full a send
  // times out too, instead of blocking for ever.
  std::vector<UCHAR> block(1 << 20, 0x11);
  NTSTATUS status = STATUS_SUCCESS;
  for (int i = 0; i < 256 && NT_SUCCESS(status); ++i) status = e.Send(block.data(), ULONG(block.size()), &moved);
  EXPECT_EQ(status, STATUS_IO_TIMEOUT);
  release = true;
}

TEST_F(TcpTransport, RefusedConnectFailsCleanlyAndTheEndpointConnectsLater) {
  // A port nobody listens on: bind, note it, close.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  close(s);

  Endpoint e;
  ASSERT_EQ(e.OpenBoth(), STATUS_SUCCESS);
  ASSERT_EQ(e.Associate(), STATUS_SUCCESS);
  EXPECT_EQ(e.Connect(a.sin_port), STATUS_CONNECTION_REFUSED);
  char byte;
  ULONG_PTR moved;
  EXPECT_EQ(e.Receive(&byte, 1, &moved), STATUS_INVALID_CONNECTION);

  Peer peer([](int fd) { send(fd, "x", 1, MSG_NOSIGNAL); });
  ASSERT_EQ(e.Connect(peer.PortNetworkOrder()), STATUS_SUCCESS);
  ASSERT_EQ(e.Receive(&byte, 1, &moved), STATUS_SUCCESS);
  EXPECT_EQ(byte, 'x');
}

// The peer going away is STATUS_INVALID_DEVICE_STATE (what makes a client
// reconnect), and a disconnect and a new connect on the same endpoint work.
TEST_F(TcpTransport, PeerCloseIsInvalidDeviceStateAndReconnectWorks) {
  Endpoint e;
  ASSERT_EQ(e.OpenBoth(), STATUS_SUCCESS);
  ASSERT_EQ(e.Associate(), STATUS_SUCCESS);
  {
    Peer gone([](int) {});
    ASSERT_EQ(e.Connect(gone.PortNetworkOrder()), STATUS_SUCCESS);
    char byte;
    ULONG_PTR moved = 5;
    EXPECT_EQ(e.Receive(&byte, 1, &moved), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(e.Send("abc", 3, &moved), STATUS_INVALID_DEVICE_STATE) << "a gone peer stays gone";
  }
  EXPECT_EQ(e.Disconnect(), STATUS_SUCCESS);
  Peer again([](int fd) { send(fd, "y", 1, MSG_NOSIGNAL); });
  ASSERT_EQ(e.Connect(again.PortNetworkOrder()), STATUS_SUCCESS);
  char byte = 0;
  ULONG_PTR moved = 0;
  ASSERT_EQ(e.Receive(&byte, 1, &moved), STATUS_SUCCESS);
  EXPECT_EQ(byte, 'y');
}

// Closing without a disconnect still ends the connection: the peer sees
// the end of the stream, and the transport's records are freed (TearDown).
TEST_F(TcpTransport, ClosingTheHandlesReleasesTheConnection) {
  std::atomic<int> peerSaw{-1};
  {
    Peer peer([&](int fd) {
      char byte;
      peerSaw = int(recv(fd, &byte, 1, 0));
      if (peerSaw < 0) peerSaw = -errno;
    });
    Endpoint e;
    ASSERT_EQ(e.OpenBoth(), STATUS_SUCCESS);
    ASSERT_EQ(e.Associate(), STATUS_SUCCESS);
    ASSERT_EQ(e.Connect(peer.PortNetworkOrder()), STATUS_SUCCESS);
    e.Close();
  }
  EXPECT_EQ(peerSaw.load(), 0);
}

TEST_F(TcpTransport, MisusedRequestsAreRefused) {
  Endpoint e;
  ASSERT_EQ(e.OpenBoth(), STATUS_SUCCESS);
  ULONG_PTR moved;
  char byte;
  EXPECT_EQ(e.Connect(htons(1)), STATUS_INVALID_ADDRESS) << "connect before associate";
  EXPECT_EQ(e.Send("a", 1, &moved), STATUS_INVALID_CONNECTION) << "send before connect";
  ASSERT_EQ(e.Associate(), STATUS_SUCCESS);
  EXPECT_EQ(e.Associate(), STATUS_ADDRESS_ALREADY_ASSOCIATED);

  struct BadAddress {
    const char* name;
    TA_IP_ADDRESS address;
    LONG length;
  };
  TA_IP_ADDRESS wrongType = IpAddress(htonl(INADDR_LOOPBACK), htons(9));
  wrongType.Address[0].AddressType = 17;
  TA_IP_ADDRESS noAddresses = IpAddress(htonl(INADDR_LOOPBACK), htons(9));
  noAddresses.TAAddressCount = 0;
  TA_IP_ADDRESS shortAddress = IpAddress(htonl(INADDR_LOOPBACK), htons(9));
  shortAddress.Address[0].AddressLength = 6;
  const BadAddress bad[] = {
      {"address type not IP", wrongType, sizeof(TA_IP_ADDRESS)},
      {"no address", noAddresses, sizeof(TA_IP_ADDRESS)},
      {"address length short", shortAddress, sizeof(TA_IP_ADDRESS)},
      {"record cut short", IpAddress(htonl(INADDR_LOOPBACK), htons(9)), sizeof(TA_IP_ADDRESS) - 1},
      {"negative length", IpAddress(htonl(INADDR_LOOPBACK), htons(9)), -1},
      {"address 0", IpAddress(0, htons(9)), sizeof(TA_IP_ADDRESS)},
      {"port 0", IpAddress(htonl(INADDR_LOOPBACK), 0), sizeof(TA_IP_ADDRESS)},
  };
  for (const auto& b : bad) {
    TA_IP_ADDRESS copy = b.address;
    EXPECT_EQ(e.ConnectTo(&copy, b.length), STATUS_INVALID_ADDRESS) << b.name;
  }
  EXPECT_EQ(e.ConnectTo(nullptr, 0), STATUS_INVALID_ADDRESS) << "no remote address";
  EXPECT_EQ(e.Disconnect(), STATUS_INVALID_CONNECTION);
  EXPECT_EQ(e.Receive(&byte, 1, &moved), STATUS_INVALID_CONNECTION);

  Peer peer([](int) {});
  ASSERT_EQ(e.Connect(peer.PortNetworkOrder()), STATUS_SUCCESS);
  EXPECT_EQ(e.Connect(peer.PortNetworkOrder()), STATUS_CONNECTION_ACTIVE);
}

TEST_F(TcpTransport, OpensWithBadNamesOrAttributesFail) {
  HANDLE h = nullptr;
  PVOID context = nullptr;
  EXPECT_EQ(Open(u"\\Device\\Nope", Ea(TdiConnectionContext, &context, sizeof context), &h),
            STATUS_OBJECT_NAME_NOT_FOUND);

  // An entry whose value runs past the end of the list.
  std::vector<UCHAR> cut = Ea(TdiConnectionContext, &context, sizeof context);
  reinterpret_cast<PFILE_FULL_EA_INFORMATION>(cut.data())->EaValueLength = 200;
  EXPECT_EQ(Open(DD_TCP_DEVICE_NAME, cut, &h), STATUS_EA_LIST_INCONSISTENT);
  // A next-entry offset pointing back into the entry.
  std::vector<UCHAR> loop = Ea("Other", &context, sizeof context);
  reinterpret_cast<PFILE_FULL_EA_INFORMATION>(loop.data())->NextEntryOffset = 1;
  EXPECT_EQ(Open(DD_TCP_DEVICE_NAME, loop, &h), STATUS_EA_LIST_INCONSISTENT);
  // A transport address too short for an IP address.
  USHORT tiny = 1;
  EXPECT_EQ(Open(DD_TCP_DEVICE_NAME, Ea(TdiTransportAddress, &tiny, sizeof tiny), &h), STATUS_INVALID_ADDRESS);
  EXPECT_EQ(Open(DD_TCP_DEVICE_NAME, Ea("Unknown", &tiny, sizeof tiny), &h), STATUS_INVALID_EA_NAME);
  EXPECT_EQ(h, nullptr);

  // The kernel saying no: the open fails with a clear status and leaves
  // nothing behind (TearDown checks the transport's pool).
  struct Fault {
    const char* name;
    ULONG tag;
  };
  const Fault faults[] = {{"connection record", kConnectionTag}, {"request packet", NT_TAG_IRP}};
  for (const auto& f : faults) {
    ULONG files = NtPoolOutstanding(0x656C6946 /* "File" */);
    NtPoolFailAllocation(f.tag, 1);
    EXPECT_EQ(Open(DD_TCP_DEVICE_NAME, Ea(TdiConnectionContext, &context, sizeof context), &h),
              STATUS_INSUFFICIENT_RESOURCES)
        << f.name;
    NtResetFaults();
    EXPECT_EQ(h, nullptr) << f.name;
    EXPECT_EQ(NtPoolOutstanding(0x656C6946), files) << f.name << ": file object left behind";
  }

  // TDI requests on an address object are not for it.
  Endpoint e;
  ASSERT_EQ(e.OpenBoth(), STATUS_SUCCESS);
  std::swap(e.ConnectionObject, e.AddressObject);
  ULONG_PTR moved;
  char byte;
  EXPECT_EQ(e.Receive(&byte, 1, &moved), STATUS_INVALID_DEVICE_REQUEST);
  std::swap(e.ConnectionObject, e.AddressObject);
}

}  // namespace

namespace {

// ZwCreateFile hands "\Device\..." names, with their extended attributes, to
// the device's driver instead of looking for a Linux file.
TEST_F(TcpTransport, ZwCreateFileOpensDeviceNamesThroughTheirDriver) {
  struct Case {
    const char16_t* name;
    bool withEa;
    NTSTATUS expected;
    ULONG_PTR kind;  // FsContext2 of the opened file object
  } cases[] = {
      {u"\\Device\\Tcp", true, STATUS_SUCCESS, TDI_CONNECTION_FILE},
      {u"\\device\\TCP", true, STATUS_SUCCESS, TDI_CONNECTION_FILE},
      {u"\\Device\\Tcp", false, STATUS_SUCCESS, TDI_CONTROL_CHANNEL_FILE},
      {u"\\Device\\NoSuchTransport", true, STATUS_OBJECT_NAME_NOT_FOUND, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)));
    PVOID context = nullptr;
    std::vector<UCHAR> ea = netdisk_test::Ea(TdiConnectionContext, &context, sizeof context);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, c.name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateFile(&handle, 0, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN, 0,
                                   c.withEa ? ea.data() : nullptr, c.withEa ? ULONG(ea.size()) : 0);
    EXPECT_EQ(status, c.expected);
    if (!NT_SUCCESS(status)) {
      EXPECT_EQ(handle, nullptr);
      continue;
    }
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, GENERIC_READ | GENERIC_WRITE, *IoFileObjectType, KernelMode, &object,
                                        nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(static_cast<PFILE_OBJECT>(object)->FsContext2), c.kind);
    ObDereferenceObject(object);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  }
}

}  // namespace
