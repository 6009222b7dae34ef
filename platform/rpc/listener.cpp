#include "platform/rpc/listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <system_error>

#include "platform/rpc/server_runtime.h"
#include "platform/rpc/socket_io.h"

namespace tarn::rpc {

namespace {

// Connections open at this moment, wherever they are.
std::atomic<unsigned> gLiveConnections{0};

}  // namespace

ServerConnection::ServerConnection(int f, PeerIdentity peer, std::string secondaryAddress)
    : fd(f), association(std::move(peer), std::move(secondaryAddress)) {
  ++gLiveConnections;
}

ServerConnection::~ServerConnection() {
  if (fd >= 0) close(fd);
  --gLiveConnections;
}

Listener::Listener(std::function<std::vector<ListenSocket>()> endpoints, unsigned minThreads,
                   unsigned maxCalls)
    : endpoints_(std::move(endpoints)), minThreads_(minThreads), maxCalls_(maxCalls) {}

Listener::~Listener() {
  RequestStop();
  Join();
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
  if (spare_ >= 0) close(spare_);
}

bool Listener::Start() {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  try {
    {
      auto pool = pool_.Lock();
      for (unsigned i = 0; i < minThreads_; ++i)
        pool->threads.emplace_back(&Listener::CallThread, this);
    }
    dispatcher_ = std::thread(&Listener::DispatchLoop, this);
  } catch (const std::system_error&) {
    return false;  // the destructor stops the threads that did start
  }
  return true;
}

void Listener::Wake() {
  const char b = 1;
  [[maybe_unused]] ssize_t r = write(wake_[1], &b, 1);  // a full pipe already wakes
}

void Listener::RequestStop() {
  {
    auto pool = pool_.Lock();
    pool->stopping = true;
  }
  work_.notify_all();
  if (wake_[1] >= 0) Wake();
}

void Listener::Join() {
  std::lock_guard<std::mutex> guard(joinMutex_);
  if (joined_) return;
  if (dispatcher_.joinable()) dispatcher_.join();
  std::vector<std::thread> threads;
  {
    auto pool = pool_.Lock();
    threads.swap(pool->threads);
  }
  for (auto& t : threads) t.join();
  auto pool = pool_.Lock();
  pool->ready.clear();
  pool->returned.clear();
  joined_ = true;
}

void Listener::Hand(std::unique_ptr<ServerConnection> c) {
  {
    auto pool = pool_.Lock();
    pool->ready.push_back(std::move(c));
    // A new thread only when every thread is busy, and never beyond the
    // maximum number of calls.
    if (pool->ready.size() > pool->idleThreads && pool->threads.size() < maxCalls_) {
      try {
        pool->threads.emplace_back(&Listener::CallThread, this);
      } catch (const std::system_error&) {
        // No thread to be had now: the call waits for a busy one.
      }
    }
  }
  work_.notify_one();
}

// Out of descriptors, a pending connection would keep the listening socket
// readable and the dispatcher spinning: accept it on the spare descriptor
// and close it at once, so the client sees a refusal.
void Listener::ShedOneConnection(int listenFd) {
  if (spare_ >= 0) {
    close(spare_);
    spare_ = -1;
  }
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) close(fd);
  spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void Listener::DispatchLoop() {
  std::map<int, std::unique_ptr<ServerConnection>> idle;
  for (;;) {
    {
      auto pool = pool_.Lock();
      if (pool->stopping) break;
      for (auto& c : pool->returned) {
        const int fd = c->fd;
        idle[fd] = std::move(c);
      }
      pool->returned.clear();
    }
    const std::vector<ListenSocket> listeners = endpoints_();
    std::vector<pollfd> fds;
    fds.push_back({wake_[0], POLLIN, 0});
    for (const auto& l : listeners) fds.push_back({l.fd, POLLIN, 0});
    for (const auto& [fd, c] : idle) fds.push_back({fd, POLLIN | POLLRDHUP, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      char buf[64];
      while (read(wake_[0], buf, sizeof(buf)) > 0) {
      }
    }
    for (size_t i = 0; i < listeners.size(); ++i) {
      if (!fds[1 + i].revents) continue;
      int fd = accept4(listeners[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE) ShedOneConnection(listeners[i].fd);
        continue;
      }
      if (gLiveConnections.load() >= kMaxConnections) {
        close(fd);  // refused: the client sees the connection end during bind
        continue;
      }
      PeerIdentity peer = listeners[i].tcp ? PeerIdentity{} : PeerOfSocket(fd);
      idle[fd] = std::make_unique<ServerConnection>(fd, std::move(peer),
                                                    listeners[i].secondaryAddress);
    }
    for (size_t i = 1 + listeners.size(); i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      auto it = idle.find(fds[i].fd);
      if (it == idle.end()) continue;
      std::unique_ptr<ServerConnection> c = std::move(it->second);
      idle.erase(it);
      if (fds[i].revents & (POLLERR | POLLNVAL)) continue;  // closes it
      Hand(std::move(c));
    }
  }
  idle.clear();
}

void Listener::CallThread() {
  auto pool = pool_.Lock();
  for (;;) {
    while (pool->ready.empty() && !pool->stopping) {
      ++pool->idleThreads;
      work_.wait(pool.Lock());
      --pool->idleThreads;
    }
    if (pool->stopping) return;
    std::unique_ptr<ServerConnection> c = std::move(pool->ready.front());
    pool->ready.pop_front();
    pool.Lock().unlock();
    Serve(c);
    pool.Lock().lock();
    if (c) {
      pool->returned.push_back(std::move(c));
      Wake();
    }
  }
}

void Listener::Serve(std::unique_ptr<ServerConnection>& c) {
  do {
    WipedBytes pdu;
    PduHeader h;
    // Data (or an end) is waiting, so the first byte comes at once; the
    // rest must follow within the I/O time limit.
    if (ReadPdu(c->fd, IoTimeoutMs(), IoTimeoutMs(), kDefaultMaxFrag, pdu, h) != IoResult::kOk) {
      c.reset();
      return;
    }
    std::vector<WipedBytes> replies;
    const bool keep = c->association.OnPdu(pdu.data(), pdu.size(), h, replies);
    for (const auto& r : replies) {
      if (WriteAll(c->fd, r, IoTimeoutMs()) != IoResult::kOk) {
        c.reset();
        return;
      }
    }
    if (!keep) {
      c.reset();
      return;
    }
  } while (c->association.Assembling());
}

}  // namespace tarn::rpc
