// Connection endpoints of the TCP transport on Linux sockets.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "private/tcp_endpoint.h"

namespace tarn::nt {

namespace {

std::atomic<ULONG> ConnectTimeout{TCP_CONNECT_TIMEOUT_MS};
std::atomic<ULONG> ReceiveTimeout{TCP_RECEIVE_TIMEOUT_MS};

NTSTATUS ConnectStatus(int Error) {
  switch (Error) {
    case ECONNREFUSED: return STATUS_CONNECTION_REFUSED;
    case ETIMEDOUT: return STATUS_IO_TIMEOUT;
    case ENETUNREACH: return STATUS_NETWORK_UNREACHABLE;
    case EHOSTUNREACH: return STATUS_HOST_UNREACHABLE;
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT: return STATUS_INVALID_ADDRESS;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE: return STATUS_INSUFFICIENT_RESOURCES;
    default: return STATUS_BAD_NETWORK_PATH;
  }
}

// The status of a failed send or receive, and whether the peer is gone.
NTSTATUS TransferStatus(int Error, bool* PeerGone) {
  *PeerGone = false;
  switch (Error) {
    case EAGAIN: return STATUS_IO_TIMEOUT;  // SO_RCVTIMEO / SO_SNDTIMEO ran out
    case EPIPE:
    case ECONNRESET:
    case ECONNABORTED:
    case ENOTCONN:
    case ESHUTDOWN:
      *PeerGone = true;
      return STATUS_INVALID_DEVICE_STATE;
    case ENOMEM:
    case ENOBUFS: return STATUS_INSUFFICIENT_RESOURCES;
    default:
      *PeerGone = true;
      return STATUS_INVALID_DEVICE_STATE;
  }
}

void SetTimeouts(int Fd, ULONG Ms) {
  timeval tv{time_t(Ms / 1000), suseconds_t((Ms % 1000) * 1000)};
  setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

ULONG TcpConnectTimeoutMs() { return ConnectTimeout.load(); }
ULONG TcpReceiveTimeoutMs() { return ReceiveTimeout.load(); }

TcpConnection::~TcpConnection() {
  if (fd_ >= 0) close(fd_);
  if (address_ != nullptr) ObDereferenceObject(address_);
}

NTSTATUS TcpConnection::Associate(PFILE_OBJECT AddressFile) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (address_ != nullptr) {
    ObDereferenceObject(AddressFile);
    return STATUS_ADDRESS_ALREADY_ASSOCIATED;
  }
  address_ = AddressFile;
  return STATUS_SUCCESS;
}

NTSTATUS TcpConnection::Disassociate() {
  PFILE_OBJECT address;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (address_ == nullptr) return STATUS_INVALID_ADDRESS;
    if (fd_ >= 0 || connecting_) return STATUS_CONNECTION_ACTIVE;
    address = address_;
    address_ = nullptr;
  }
  ObDereferenceObject(address);
  return STATUS_SUCCESS;
}

NTSTATUS TcpConnection::Connect(const TDI_ADDRESS_IP& Remote, ULONG TimeoutMs) {
  TcpAddress local;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (address_ == nullptr) return STATUS_INVALID_ADDRESS;
    if (fd_ >= 0 || connecting_) return STATUS_CONNECTION_ACTIVE;
    local = *static_cast<TcpAddress*>(address_->FsContext);
    connecting_ = true;
  }
  NTSTATUS status = STATUS_SUCCESS;
  int fd = -1;
  if (Remote.in_addr == 0 || Remote.sin_port == 0) status = STATUS_INVALID_ADDRESS;
  if (NT_SUCCESS(status)) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) status = ConnectStatus(errno);
    // Clients keep several large exchanges in flight: buffers that hold
    // them from the start, instead of ones grown by autotuning, spare both
    // ends partial sends and wake-ups. Before connect, so the window scale
    // offered fits; the kernel's limits (net.core.*mem_max) still apply.
    if (fd >= 0) {
      int size = kTcpBufferBytes;
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
  }
  if (NT_SUCCESS(status) && (local.InAddr != 0 || local.Port != 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = local.Port;
    a.sin_addr.s_addr = local.InAddr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) status = STATUS_INVALID_ADDRESS;
  }
  if (NT_SUCCESS(status)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = Remote.sin_port;
    a.sin_addr.s_addr = Remote.in_addr;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      if (errno != EINPROGRESS) {
        status = ConnectStatus(errno);
      } else {
        pollfd p{fd, POLLOUT, 0};
        int n;
        do n = poll(&p, 1, int(TimeoutMs));
        while (n < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof error;
        if (n == 0)
          status = STATUS_IO_TIMEOUT;
        else if (n < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
          status = ConnectStatus(errno);
        else if (error != 0)
          status = ConnectStatus(error);
      }
    }
  }
  if (NT_SUCCESS(status)) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    SetTimeouts(fd, TcpReceiveTimeoutMs());
    // Request/reply traffic: send small headers at once.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  } else if (fd >= 0) {
    close(fd);
    fd = -1;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  connecting_ = false;
  fd_ = fd;
  peerGone_ = false;
  return status;
}

NTSTATUS TcpConnection::Disconnect(bool Abort) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (fd_ < 0) return STATUS_INVALID_CONNECTION;
  if (Abort) {
    linger l{1, 0};  // reset instead of an orderly release
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  // Wakes transfers still blocked on the socket; it is closed once they left.
  shutdown(fd_, SHUT_RDWR);
  idle_.wait(lock, [this] { return users_ == 0; });
  close(fd_);
  fd_ = -1;
  peerGone_ = false;
  return STATUS_SUCCESS;
}

void TcpConnection::Shutdown() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

bool TcpConnection::BeginTransfer(int* Fd, NTSTATUS* Status) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (fd_ < 0) {
    *Status = STATUS_INVALID_CONNECTION;
    return false;
  }
  if (peerGone_) {
    *Status = STATUS_INVALID_DEVICE_STATE;
    return false;
  }
  ++users_;
  *Fd = fd_;
  return true;
}

void TcpConnection::EndTransfer(bool PeerGone) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (PeerGone) peerGone_ = true;
  if (--users_ == 0) idle_.notify_all();
}

namespace {

// The pieces as an I/O vector; the total length in *Length.
int ToIoVector(const TcpBuffers& Buffers, iovec (&Vector)[kMaxTransferPieces], size_t* Length) {
  *Length = 0;
  for (ULONG i = 0; i < Buffers.Count; ++i) {
    Vector[i].iov_base = Buffers.Pieces[i].Address;
    Vector[i].iov_len = Buffers.Pieces[i].Length;
    *Length += Buffers.Pieces[i].Length;
  }
  return int(Buffers.Count);
}

}  // namespace

NTSTATUS TcpConnection::Send(const TcpBuffers& Buffers, ULONG* Moved) {
  *Moved = 0;
  int fd;
  NTSTATUS status;
  if (!BeginTransfer(&fd, &status)) return status;
  iovec vector[kMaxTransferPieces];
  msghdr message{};
  size_t length;
  message.msg_iov = vector;
  message.msg_iovlen = size_t(ToIoVector(Buffers, vector, &length));
  ssize_t n;
  do n = sendmsg(fd, &message, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  bool gone = false;
  if (n >= 0) {
    *Moved = ULONG(n);
    status = STATUS_SUCCESS;
  } else {
    status = TransferStatus(errno, &gone);
  }
  EndTransfer(gone);
  return status;
}

NTSTATUS TcpConnection::Receive(const TcpBuffers& Buffers, ULONG* Moved) {
  *Moved = 0;
  int fd;
  NTSTATUS status;
  if (!BeginTransfer(&fd, &status)) return status;
  iovec vector[kMaxTransferPieces];
  msghdr message{};
  size_t length;
  message.msg_iov = vector;
  message.msg_iovlen = size_t(ToIoVector(Buffers, vector, &length));
  ssize_t n;
  do n = recvmsg(fd, &message, 0);
  while (n < 0 && errno == EINTR);
  bool gone = false;
  if (n > 0 || (n == 0 && length == 0)) {
    *Moved = ULONG(n);
    status = STATUS_SUCCESS;
  } else if (n == 0) {
    // The peer closed its side: nothing more will ever arrive.
    gone = true;
    status = STATUS_INVALID_DEVICE_STATE;
  } else {
    status = TransferStatus(errno, &gone);
  }
  EndTransfer(gone);
  return status;
}

}  // namespace tarn::nt

extern "C" VOID NtTcpSetTimeouts(ULONG ConnectMs, ULONG ReceiveMs) {
  tarn::nt::ConnectTimeout = ConnectMs != 0 ? ConnectMs : TCP_CONNECT_TIMEOUT_MS;
  tarn::nt::ReceiveTimeout = ReceiveMs != 0 ? ReceiveMs : TCP_RECEIVE_TIMEOUT_MS;
}
