#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace netdiskd {

namespace {

constexpr int kSocketBufferBytes = 2 << 20;

}  // namespace

Server::Server(DiskStore& Store, ExchangeLog& Log, ServerOptions Options)
    : store_(Store), log_(Log), options_(std::move(Options)) {}

Server::~Server() {
  Stop();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& c : connections_) shutdown(c->Fd, SHUT_RDWR);
  }
  for (auto& c : connections_) {
    if (c->Thread.joinable()) c->Thread.join();
    close(c->Fd);
  }
  if (listenFd_ >= 0) close(listenFd_);
  for (int fd : wakeFds_)
    if (fd >= 0) close(fd);
}

bool Server::Listen(std::string* Error) {
  if (pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *Error = std::string("cannot make a pipe: ") + strerror(errno);
    return false;
  }
  // The protocol carries IPv4 addresses only.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(options_.Host.empty() ? nullptr : options_.Host.c_str(),
                       std::to_string(options_.Port).c_str(), &hints, &found);
  if (rc != 0) {
    *Error = "cannot resolve " + options_.Host + ": " + gai_strerror(rc);
    return false;
  }
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  // Clients keep several replies of up to 64 KiB in flight; accepted
  // connections inherit buffers that hold them (the window scale is fixed
  // at the handshake, so it is set here).
  int buffer = kSocketBufferBytes;
  if (listenFd_ >= 0) {
    setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(listenFd_, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  }
  bool ok = listenFd_ >= 0 && setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            bind(listenFd_, found->ai_addr, found->ai_addrlen) == 0 && listen(listenFd_, 64) == 0;
  freeaddrinfo(found);
  if (!ok) {
    *Error = "cannot listen on " + options_.Host + ":" + std::to_string(options_.Port) + ": " + strerror(errno);
    return false;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = ntohs(bound.sin_port);
  return true;
}

void Server::Run() {
  pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
  while (!stopping_.load()) {
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      perror("netdiskd: poll");
      break;
    }
    if (fds[1].revents != 0) break;
    ReapFinished();  // before counting clients
    if (fds[0].revents & POLLIN) Accept();
  }
  // Wake every session: a blocked receive or send returns at once.
  std::list<std::unique_ptr<Connection>> ending;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& c : connections_) shutdown(c->Fd, SHUT_RDWR);
    ending.swap(connections_);
  }
  stopCv_.notify_all();
  for (auto& c : ending) {
    c->Thread.join();
    close(c->Fd);
  }
}

void Server::Stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_.exchange(true)) return;
  }
  stopCv_.notify_all();
  if (wakeFds_[1] >= 0) {
    char byte = 1;
    ssize_t ignored = write(wakeFds_[1], &byte, 1);
    (void)ignored;
  }
}

bool Server::WaitForStop(std::chrono::milliseconds Duration) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (Duration.count() < 0)
    stopCv_.wait(lock, [this] { return stopping_.load(); });
  else
    stopCv_.wait_for(lock, Duration, [this] { return stopping_.load(); });
  return stopping_.load();
}

void Server::Accept() {
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;  // the client gave up already, or descriptors ran out: keep serving
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::lock_guard<std::mutex> guard(mutex_);
  if (connections_.size() >= options_.MaxClients) {
    fprintf(stderr, "netdiskd: %u clients already connected; refusing another\n", options_.MaxClients);
    close(fd);
    return;
  }
  auto connection = std::make_unique<Connection>();
  connection->Fd = fd;
  Connection* c = connection.get();
  connections_.push_back(std::move(connection));
  c->Thread = std::thread([this, c] {
    RunSession(*this, c->Fd);
    // The client sees the end now; the descriptor itself is closed when
    // the thread is joined.
    shutdown(c->Fd, SHUT_RDWR);
    c->Finished = true;  // joined by the accept loop at its next turn
  });
}

void Server::ReapFinished() {
  std::list<std::unique_ptr<Connection>> done;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->Finished.load()) {
        done.push_back(std::move(*it));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : done) {
    c->Thread.join();
    close(c->Fd);
  }
}

}  // namespace netdiskd
