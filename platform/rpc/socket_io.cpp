#include "platform/rpc/socket_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace tarn::rpc {

namespace {

std::atomic<int> gIoTimeoutMs{10000};

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline; -1 for no deadline.
int Remaining(bool limited, Clock::time_point deadline) {
  if (!limited) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Reads exactly n bytes. *started tells whether any byte of the PDU came.
IoResult ReadExact(int fd, uint8_t* p, size_t n, int firstByteMs, int ioMs, bool& started) {
  size_t got = 0;
  bool limited = firstByteMs >= 0 || started;
  Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(started ? ioMs : (firstByteMs < 0 ? 0 : firstByteMs));
  while (got < n) {
    ssize_t r = recv(fd, p + got, n - got, 0);
    if (r > 0) {
      if (!started) {
        started = true;
        limited = true;
        deadline = Clock::now() + std::chrono::milliseconds(ioMs);
      }
      got += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) return started ? IoResult::kError : IoResult::kClosed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return IoResult::kError;
    pollfd pfd{fd, POLLIN, 0};
    int left = Remaining(limited, deadline);
    if (left == 0) return IoResult::kTimeout;
    int pr = poll(&pfd, 1, left);
    if (pr == 0) return IoResult::kTimeout;
    if (pr < 0 && errno != EINTR) return IoResult::kError;
  }
  return IoResult::kOk;
}

RPC_STATUS ConnectErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
      return RPC_S_ACCESS_DENIED;
    default:
      return RPC_S_SERVER_UNAVAILABLE;
  }
}

}  // namespace

int IoTimeoutMs() { return gIoTimeoutMs.load(); }
void SetIoTimeoutMs(int ms) { gIoTimeoutMs.store(ms > 0 ? ms : 1); }

void SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

IoResult ReadPdu(int fd, int firstByteMs, int ioMs, size_t maxFrag, WipedBytes& pdu,
                 PduHeader& header) {
  bool started = false;
  pdu.resize(kHeaderSize);
  IoResult r = ReadExact(fd, pdu.data(), kHeaderSize, firstByteMs, ioMs, started);
  if (r != IoResult::kOk) return r;
  if (!ParseHeader(pdu.data(), pdu.size(), maxFrag, header)) return IoResult::kBadFrame;
  pdu.resize(header.fragLength);
  return ReadExact(fd, pdu.data() + kHeaderSize, header.fragLength - kHeaderSize, firstByteMs,
                   ioMs, started);
}

IoResult WriteAll(int fd, const WipedBytes& data, int ioMs) {
  size_t sent = 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ioMs);
  while (sent < data.size()) {
    // MSG_NOSIGNAL: a vanished peer is an error value, not SIGPIPE.
    ssize_t r = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (r > 0) {
      sent += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return IoResult::kError;
    pollfd pfd{fd, POLLOUT, 0};
    int left = Remaining(true, deadline);
    if (left == 0) return IoResult::kTimeout;
    int pr = poll(&pfd, 1, left);
    if (pr == 0) return IoResult::kTimeout;
    if (pr < 0 && errno != EINTR) return IoResult::kError;
  }
  return IoResult::kOk;
}

bool IdleConnectionStale(int fd) {
  pollfd pfd{fd, POLLIN | POLLRDHUP, 0};
  int r = poll(&pfd, 1, 0);
  return r != 0;  // readable, hung up or failed: nothing should arrive unasked
}

RPC_STATUS ConnectLocal(const std::string& path, int& fd) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return RPC_S_OUT_OF_RESOURCES;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    int err = errno;
    close(fd);
    fd = -1;
    return ConnectErrno(err);
  }
  SetNonBlocking(fd);
  return RPC_S_OK;
}

RPC_STATUS ConnectTcp(const std::string& address, uint16_t port, int& fd) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  const std::string host = (address.empty() || address == "localhost") ? "127.0.0.1" : address;
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return RPC_S_INVALID_NET_ADDR;
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return RPC_S_OUT_OF_RESOURCES;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    int err = errno;
    close(fd);
    fd = -1;
    return ConnectErrno(err);
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  SetNonBlocking(fd);
  return RPC_S_OK;
}

}  // namespace tarn::rpc
