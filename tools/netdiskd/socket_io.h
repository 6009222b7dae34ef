// Whole-buffer transfers on a connected socket.
#pragma once

#include <cstddef>
#include <cstdint>

namespace netdiskd {

enum class IoResult {
  Done,
  Closed,     // the peer closed before the first byte
  Truncated,  // the peer closed part-way
  Failed,     // a socket error (or the server shutting the socket down)
  TimedOut,   // the rest of a record did not come in time
};

// Waits as long as it takes for the first byte; once a record has begun,
// the rest must follow within RecordTimeoutMs (else TimedOut), so a client
// that stops part-way cannot hold its session for ever.
IoResult ReceiveAll(int Fd, uint8_t* Data, size_t Length, int RecordTimeoutMs, bool RecordStarted = false);
IoResult SendAll(int Fd, const uint8_t* Data, size_t Length);

}  // namespace netdiskd
