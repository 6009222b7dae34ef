// The transport's objects behind its file objects: an address (where to
// bind) and a connection endpoint (one Linux TCP socket). Both live in pool
// memory under their own tags, so a test can see that closing gives them back.
#pragma once

#include <condition_variable>
#include <mutex>

#include "../tdi.h"

namespace tarn::nt {

inline constexpr ULONG kTcpAddressTag = 0x41706354;     // "TcpA" in memory
inline constexpr ULONG kTcpConnectionTag = 0x43706354;  // "TcpC" in memory

struct TcpAddress {
  ULONG InAddr = 0;   // network byte order; 0 = any
  USHORT Port = 0;    // network byte order; 0 = any
};

// Socket buffer sizes asked for on every connection endpoint.
inline constexpr int kTcpBufferBytes = 2 << 20;

// The buffers of one send or receive, in stream order: the pieces of the
// request's MDL chain (a header and its data part go in one request).
inline constexpr ULONG kMaxTransferPieces = 8;
struct TcpBuffers {
  struct Piece {
    PVOID Address;
    ULONG Length;
  };
  Piece Pieces[kMaxTransferPieces];
  ULONG Count = 0;
};

// Fd, Connecting, PeerGone and Users are guarded by Mutex; Address by the
// I/O order of the client (associate before connect, close last).
class TcpConnection {
 public:
  explicit TcpConnection(PVOID Context) : context_(Context) {}
  ~TcpConnection();

  NTSTATUS Associate(PFILE_OBJECT AddressFile);  // takes over the reference
  NTSTATUS Disassociate();
  NTSTATUS Connect(const TDI_ADDRESS_IP& Remote, ULONG TimeoutMs);
  NTSTATUS Disconnect(bool Abort);
  // Moves what one sendmsg()/recvmsg() moves over the pieces, in order;
  // *Moved gets the byte count.
  NTSTATUS Send(const TcpBuffers& Buffers, ULONG* Moved);
  NTSTATUS Receive(const TcpBuffers& Buffers, ULONG* Moved);
  // Cleanup: wakes any send or receive still blocked on the socket.
  void Shutdown();

 private:
  // Marks one send/receive running on the socket; false with *Status when
  // the endpoint cannot carry one.
  bool BeginTransfer(int* Fd, NTSTATUS* Status);
  void EndTransfer(bool PeerGone);

  PVOID context_;
  PFILE_OBJECT address_ = nullptr;  // referenced address file object
  std::mutex mutex_;
  std::condition_variable idle_;
  int fd_ = -1;
  bool connecting_ = false;
  bool peerGone_ = false;
  int users_ = 0;
};

// Current time-outs (NtTcpSetTimeouts).
ULONG TcpConnectTimeoutMs();
ULONG TcpReceiveTimeoutMs();

}  // namespace tarn::nt
