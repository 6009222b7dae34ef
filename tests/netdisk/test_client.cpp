#include "test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace netdisk_test {

using namespace tarn::netdisk;

TestClient::~TestClient() { Close(); }

void TestClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool TestClient::Connect(int Port, int ReceiveTimeoutMs) {
  Close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  timeval tv{ReceiveTimeoutMs / 1000, (ReceiveTimeoutMs % 1000) * 1000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(Port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool TestClient::SendRaw(const void* Data, size_t Length) {
  auto* p = static_cast<const uint8_t*>(Data);
  while (Length > 0) {
    ssize_t n = send(fd_, p, Length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    Length -= size_t(n);
  }
  return true;
}

void TestClient::FinishSending() { shutdown(fd_, SHUT_WR); }

Got TestClient::ReceiveExactly(void* Data, size_t Length) {
  auto* p = static_cast<uint8_t*>(Data);
  while (Length > 0) {
    ssize_t n = recv(fd_, p, Length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Got::TimedOut : Got::Error;
    if (n == 0) return Got::Closed;
    p += n;
    Length -= size_t(n);
  }
  return Got::All;
}

bool TestClient::ServerClosed() {
  uint8_t byte;
  for (;;) {
    ssize_t n = recv(fd_, &byte, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return true;
    // A reset also ends the connection; data or a time-out does not.
    return n < 0 && errno == ECONNRESET;
  }
}

bool TestClient::QuerySize(int64_t* Size, ReplyError* Error) {
  uint8_t request[kRequestSize];
  EncodeRequest({kOpQuerySize, 0, 0}, request);
  uint8_t reply[kQueryReplySize];
  if (!SendRaw(request, sizeof request) || ReceiveExactly(reply, sizeof reply) != Got::All) return false;
  *Error = ParseQueryReply(reply, sizeof reply, Size);
  return true;
}

bool TestClient::ReadExchange(uint64_t Offset, uint32_t Count, uint8_t* Out, ReplyError* Error) {
  uint8_t request[kRequestSize];
  EncodeRequest({kOpRead, Offset, Count}, request);
  uint8_t reply[kTransferReplySize];
  if (!SendRaw(request, sizeof request) || ReceiveExactly(reply, sizeof reply) != Got::All) return false;
  *Error = ParseTransferReply(reply, sizeof reply, Count, nullptr);
  if (ReceiveExactly(Out, Count) != Got::All) return false;
  Descramble(Out, Count);
  return true;
}

bool TestClient::WriteExchange(uint64_t Offset, uint32_t Count, const uint8_t* In, ReplyError* Error) {
  // Header and data in one send buffer, as the driver sends them.
  std::vector<uint8_t> request(kRequestSize + Count);
  EncodeRequest({kOpWrite, Offset, Count}, request.data());
  std::copy(In, In + Count, request.begin() + kRequestSize);
  uint8_t reply[kTransferReplySize];
  if (!SendRaw(request.data(), request.size()) || ReceiveExactly(reply, sizeof reply) != Got::All) return false;
  *Error = ParseTransferReply(reply, sizeof reply, Count, nullptr);
  return true;
}

bool TestClient::Read(uint64_t Offset, size_t Length, uint8_t* Out) {
  for (size_t done = 0; done < Length;) {
    auto count = uint32_t(std::min<size_t>(Length - done, kMaxExchange));
    ReplyError error;
    if (!ReadExchange(Offset + done, count, Out + done, &error) || error != ReplyError::None) return false;
    done += count;
  }
  return true;
}

bool TestClient::Write(uint64_t Offset, size_t Length, const uint8_t* In) {
  for (size_t done = 0; done < Length;) {
    auto count = uint32_t(std::min<size_t>(Length - done, kMaxExchange));
    ReplyError error;
    if (!WriteExchange(Offset + done, count, In + done, &error) || error != ReplyError::None) return false;
    done += count;
  }
  return true;
}

}  // namespace netdisk_test
