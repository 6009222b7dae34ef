// The listener: accepts clients and runs one session thread per connection
// until Stop().
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "disk_store.h"
#include "exchange_log.h"

namespace netdiskd {

// Misbehaviour on purpose, so clients can be tested against a bad server.
struct FaultOptions {
  uint32_t DropAfter = 0;      // close each connection after this many exchanges (0: never)
  uint32_t DelayMs = 0;        // wait before every reply
  bool CorruptLength = false;  // wrong count in transfer replies, wrong length field in query replies
  bool Stall = false;          // stop answering part-way through read and write replies
};

struct ServerOptions {
  std::string Host = "127.0.0.1";
  uint16_t Port = 0;  // 0: any free port
  unsigned MaxClients = 64;
  // How long the rest of a request may take once its first byte came.
  int RecordTimeoutMs = 30000;
  FaultOptions Faults;
};

class Server {
 public:
  Server(DiskStore& Store, ExchangeLog& Log, ServerOptions Options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens. False with Error on failure.
  bool Listen(std::string* Error);
  uint16_t Port() const { return port_; }
  // Accepts clients until Stop(); then closes every connection and returns
  // once all session threads have ended.
  void Run();
  // Safe from any thread, any number of times.
  void Stop();

  // For sessions: waits up to Duration (forever when negative) and tells
  // whether the server is stopping.
  bool WaitForStop(std::chrono::milliseconds Duration);
  bool Stopping() const { return stopping_.load(); }

  DiskStore& Store() { return store_; }
  ExchangeLog& Log() { return log_; }
  const FaultOptions& FaultsToInject() const { return options_.Faults; }
  int RecordTimeoutMs() const { return options_.RecordTimeoutMs; }

 private:
  struct Connection {
    int Fd = -1;
    std::thread Thread;
    std::atomic<bool> Finished{false};
  };

  void Accept();
  void ReapFinished();

  DiskStore& store_;
  ExchangeLog& log_;
  ServerOptions options_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};  // Stop() writes to [1] to wake the accept loop
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};

  std::mutex mutex_;  // guards connections_ and pairs with stopCv_
  std::condition_variable stopCv_;
  std::list<std::unique_ptr<Connection>> connections_;
};

// Serves one client on Fd until it leaves, breaks the protocol, or the
// server stops. Does not close Fd.
void RunSession(Server& Owner, int Fd);

}  // namespace netdiskd
