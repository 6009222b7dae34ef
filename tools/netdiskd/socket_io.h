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
};

IoResult ReceiveAll(int Fd, uint8_t* Data, size_t Length);
IoResult SendAll(int Fd, const uint8_t* Data, size_t Length);

}  // namespace netdiskd
