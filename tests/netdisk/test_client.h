// A small blocking client of the network disk protocol, for tests of the
// server. Every receive has a time-out, so a stalled server fails a test
// instead of hanging it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vdisk/netdisk_protocol.h"

namespace netdisk_test {

enum class Got { All, Closed, TimedOut, Error };

class TestClient {
 public:
  TestClient() = default;
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool Connect(int Port, int ReceiveTimeoutMs = 5000);
  void Close();

  bool SendRaw(const void* Data, size_t Length);
  // Half-closes the connection: the server sees the end of the stream.
  void FinishSending();
  Got ReceiveExactly(void* Data, size_t Length);
  // Whether the server closed the connection (EOF) within the time-out.
  bool ServerClosed();

  // One exchange each; false on a transport failure, Error tells about
  // malformed replies.
  bool QuerySize(int64_t* Size, tarn::netdisk::ReplyError* Error);
  bool ReadExchange(uint64_t Offset, uint32_t Count, uint8_t* Out, tarn::netdisk::ReplyError* Error);
  bool WriteExchange(uint64_t Offset, uint32_t Count, const uint8_t* In, tarn::netdisk::ReplyError* Error);
  // A read of any length, split into exchanges of at most 64 KiB; true only
  // if every exchange succeeded with a well-formed reply.
  bool Read(uint64_t Offset, size_t Length, uint8_t* Out);
  bool Write(uint64_t Offset, size_t Length, const uint8_t* In);

 private:
  int fd_ = -1;
};

}  // namespace netdisk_test
