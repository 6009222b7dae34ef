// Raw sockets for tests that speak PDUs by hand: a client that sends any
// bytes to a server, and a one-connection fake server for the client path.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/pdu.h"
#include "platform/rpc/socket_io.h"

namespace tarn::rpc::test {

class RawConnection {
 public:
  explicit RawConnection(const std::string& path) {
    if (ConnectLocal(path, fd_) != RPC_S_OK) fd_ = -1;
  }
  explicit RawConnection(int fd) : fd_(fd) {}
  ~RawConnection() {
    if (fd_ >= 0) close(fd_);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool Connected() const { return fd_ >= 0; }
  bool Send(const tarn::rpc::WipedBytes& bytes) {
    return WriteAll(fd_, bytes, 2000) == IoResult::kOk;
  }
  // One PDU, or false when the peer closed or sent nothing in time.
  bool Receive(tarn::rpc::WipedBytes& pdu, PduHeader& h, int waitMs = 5000) {
    return ReadPdu(fd_, waitMs, 2000, 65535, pdu, h) == IoResult::kOk;
  }
  // True when the peer closes the connection within waitMs.
  bool ClosedByPeer(int waitMs = 5000) {
    tarn::rpc::WipedBytes pdu;
    PduHeader h;
    for (;;) {
      IoResult r = ReadPdu(fd_, waitMs, 2000, 65535, pdu, h);
      if (r == IoResult::kOk) continue;  // drain answers sent before closing
      return r == IoResult::kClosed || r == IoResult::kError;
    }
  }
  void ShutdownWrite() { shutdown(fd_, SHUT_WR); }
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Accepts one connection on a Unix socket path and runs handler on it.
class FakeServer {
 public:
  FakeServer(const std::string& path, std::function<void(RawConnection&)> handler) {
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    unlink(path.c_str());
    ok_ = bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
          listen(listen_, 4) == 0;
    path_ = path;
    if (ok_) {
      thread_ = std::thread([this, handler] {
        int fd = accept(listen_, nullptr, nullptr);
        if (fd < 0) return;
        SetNonBlocking(fd);
        RawConnection c(fd);
        handler(c);
      });
    }
  }
  ~FakeServer() {
    if (thread_.joinable()) thread_.join();
    close(listen_);
    unlink(path_.c_str());
  }
  bool Ok() const { return ok_; }

 private:
  int listen_ = -1;
  bool ok_ = false;
  std::string path_;
  std::thread thread_;
};

}  // namespace tarn::rpc::test
