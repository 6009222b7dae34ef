#include "socket_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace netdiskd {

IoResult ReceiveAll(int Fd, uint8_t* Data, size_t Length, int RecordTimeoutMs, bool RecordStarted) {
  size_t done = 0;
  while (done < Length) {
    if (done > 0 || RecordStarted) {
      pollfd p{Fd, POLLIN, 0};
      int ready = poll(&p, 1, RecordTimeoutMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return IoResult::TimedOut;
      if (ready < 0) return IoResult::Failed;
    }
    ssize_t n = recv(Fd, Data + done, Length - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return IoResult::Failed;
    if (n == 0) return done == 0 ? IoResult::Closed : IoResult::Truncated;
    done += size_t(n);
  }
  return IoResult::Done;
}

IoResult SendAll(int Fd, const uint8_t* Data, size_t Length) {
  size_t done = 0;
  while (done < Length) {
    // MSG_NOSIGNAL: a client that went away is an error value, not SIGPIPE.
    ssize_t n = send(Fd, Data + done, Length - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return IoResult::Failed;
    done += size_t(n);
  }
  return IoResult::Done;
}

}  // namespace netdiskd
