// Serves the endpoints while the server listens.
//
// Threads: one dispatcher polls the listening sockets and the idle
// connections; a connection with data is handed to a call thread from a
// pool that never grows beyond the maximum number of calls. A call thread
// reads the PDUs of one request (time-limited), runs it and hands the
// connection back. A connection is owned by exactly one thread at a time:
// the dispatcher while idle, the pool's queue while waiting, a call thread
// while served.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/association.h"
#include "platform/rpc/protected.h"

namespace tarn::rpc {

struct ListenSocket {
  int fd = -1;
  bool tcp = false;
  std::string secondaryAddress;
};

struct ServerConnection {
  ServerConnection(int f, PeerIdentity peer, std::string secondaryAddress);
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  int fd;
  Association association;
};

class Listener {
 public:
  // endpoints() is called by the dispatcher on every round, so endpoints
  // registered while listening are served too.
  Listener(std::function<std::vector<ListenSocket>()> endpoints, unsigned minThreads,
           unsigned maxCalls);
  ~Listener();

  bool Start();
  void RequestStop();  // any thread, including a call thread
  void Wake();         // the endpoint list changed
  void Join();         // not from a call thread

 private:
  struct Pool {
    std::deque<std::unique_ptr<ServerConnection>> ready;
    std::vector<std::unique_ptr<ServerConnection>> returned;
    std::vector<std::thread> threads;
    unsigned idleThreads = 0;
    bool stopping = false;
  };

  void DispatchLoop();
  void CallThread();
  void Serve(std::unique_ptr<ServerConnection>& c);
  void Hand(std::unique_ptr<ServerConnection> c);
  void ShedOneConnection(int listenFd);

  std::function<std::vector<ListenSocket>()> endpoints_;
  const unsigned minThreads_;
  const unsigned maxCalls_;
  int wake_[2] = {-1, -1};
  int spare_ = -1;  // dispatcher only
  Protected<Pool> pool_;
  std::condition_variable work_;
  std::thread dispatcher_;
  std::mutex joinMutex_;
  bool joined_ = false;
};

}  // namespace tarn::rpc
