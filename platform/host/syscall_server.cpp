#include "platform/host/syscall_server.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tarn::host {

namespace {

constexpr uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr uint32_t kStatusAccessDenied = 0xC0000022;

// Supplementary groups of a live process, from /proc (empty when it is gone).
std::vector<uint32_t> GroupsOf(pid_t pid) {
    std::vector<uint32_t> groups;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Groups:", 0) != 0) continue;
        std::istringstream fields(line.substr(7));
        uint32_t g;
        while (fields >> g && groups.size() < wire::kMaxGroups) groups.push_back(g);
    }
    return groups;
}

void ReplyStatus(wire::Writer& w, uint32_t status) { wire::WriteReplyHeader(w, status, 0); }

}  // namespace

Connection::~Connection() {
    CloseAll();
    if (shared_) ::munmap(shared_, sharedSize_);
    ::close(sock_);
}

bool Connection::MapShared(int fd, size_t size) {
    if (shared_ || size == 0 || size > wire::kMaxSharedSize || size % 4096) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) < size) return false;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return false;
    shared_ = static_cast<uint8_t*>(p);
    sharedSize_ = size;
    return true;
}

uint32_t Connection::AddObject(std::unique_ptr<OpenObject> object) {
    const uint32_t h = nextHandle_;
    nextHandle_ += 4;
    objects_[h] = std::move(object);
    return h;
}

OpenObject* Connection::FindObject(uint32_t handle) {
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second.get();
}

bool Connection::CloseObject(uint32_t handle) { return objects_.erase(handle) == 1; }

void Connection::CloseAll() {
    // Objects may refer to each other's machine state; close newest first.
    while (!objects_.empty()) objects_.erase(std::prev(objects_.end()));
}

bool Connection::Send(const std::vector<uint8_t>& frame, int passFd) {
    std::lock_guard<std::mutex> guard(sendMutex_);
    return wire::SendFrame(sock_, frame, passFd);
}

SyscallServer::SyscallServer(std::string socketPath, gid_t machineGroup, RequestHandler& handler)
    : path_(std::move(socketPath)), group_(machineGroup), handler_(handler) {}

SyscallServer::~SyscallServer() { Stop(); }

bool SyscallServer::PeerAllowed(uid_t peerUid, pid_t peerPid, gid_t peerGid, gid_t machineGroup) {
    if (peerUid == 0 || peerUid == ::geteuid()) return true;
    if (machineGroup == static_cast<gid_t>(-1)) return false;
    if (peerGid == machineGroup) return true;
    const auto groups = GroupsOf(peerPid);
    return std::find(groups.begin(), groups.end(), machineGroup) != groups.end();
}

wire::Credentials SyscallServer::EffectiveCaller(const wire::Credentials& claimed, uid_t peerUid, pid_t peerPid,
                                                 gid_t peerGid) {
    if (peerUid == 0 || peerUid == ::geteuid()) return claimed;
    return wire::Credentials{peerUid, peerGid, GroupsOf(peerPid)};
}

Status SyscallServer::Start() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof(addr.sun_path)) return Error{"socket path too long: " + path_};
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    // A socket file left by a machine that died is replaced; a live one is not.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        const bool live = ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        ::close(probe);
        if (live) return Error{"another tarnhost already runs this machine (" + path_ + ")"};
    }
    ::unlink(path_.c_str());
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0) return Error{std::string("socket: ") + std::strerror(errno)};
    // Created with no access for others from the first moment, then opened to the group.
    const mode_t old = ::umask(0177);
    const int bound = ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::umask(old);
    if (bound != 0) return Error{"cannot bind " + path_ + ": " + std::strerror(errno)};
    if (group_ != static_cast<gid_t>(-1) && ::chown(path_.c_str(), static_cast<uid_t>(-1), group_) != 0) {
        return Error{"cannot give " + path_ + " to the machine's group: " + std::strerror(errno)};
    }
    if (::chmod(path_.c_str(), 0660) != 0) return Error{"cannot set the mode of " + path_ + ": " + std::strerror(errno)};
    if (::listen(listen_, 64) != 0) return Error{std::string("listen: ") + std::strerror(errno)};
    if (::pipe2(wake_, O_CLOEXEC) != 0) return Error{std::string("pipe: ") + std::strerror(errno)};
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return Ok();
}

void SyscallServer::Stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopping_) return;
        stopping_ = true;
        for (auto& p : peers_) ::shutdown(p.conn->Socket(), SHUT_RDWR);
    }
    if (wake_[1] >= 0) {
        const char c = 0;
        (void)!::write(wake_[1], &c, 1);
    }
    if (acceptor_.joinable()) acceptor_.join();
    // No new peers now; join the ones that are still finishing.
    std::list<Peer> peers;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        peers.swap(peers_);
    }
    for (auto& p : peers) {
        if (p.thread.joinable()) p.thread.join();
    }
    if (listen_ >= 0) {
        ::close(listen_);
        ::unlink(path_.c_str());
        listen_ = -1;
    }
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void SyscallServer::AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        const int s = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0) continue;
        ucred cred{};
        socklen_t len = sizeof(cred);
        if (::getsockopt(s, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
            ::close(s);
            continue;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        // Reap peers whose threads have finished, so a long-running machine
        // does not collect them.
        for (auto it = peers_.begin(); it != peers_.end();) {
            if (it->done) {
                it->thread.join();
                it = peers_.erase(it);
            } else {
                ++it;
            }
        }
        if (stopping_) {
            ::close(s);
            return;
        }
        peers_.push_back(Peer{std::make_unique<Connection>(s, cred.pid, cred.uid, cred.gid), std::thread(), false});
        Peer& peer = peers_.back();
        Connection* conn = peer.conn.get();
        peer.thread = std::thread([this, conn] { Serve(conn); });
    }
}

void SyscallServer::Serve(Connection* conn) {
    const bool allowed = PeerAllowed(conn->PeerUid(), conn->PeerPid(), conn->PeerGid(), group_);
    std::vector<uint8_t> body;
    for (;;) {
        int fd = -1;
        if (!wire::RecvFrame(conn->Socket(), body, &fd)) break;
        wire::Reader r(body.data(), body.size());
        wire::Writer reply;
        uint32_t op = 0;
        wire::Credentials claimed;
        if (!allowed) {
            ReplyStatus(reply, kStatusAccessDenied);
            if (fd >= 0) ::close(fd);
            conn->Send(reply.Finish());
            break;
        }
        if (!wire::ReadRequestHeader(r, op, claimed)) {
            ReplyStatus(reply, kStatusInvalidParameter);
        } else if (op == static_cast<uint32_t>(wire::Op::Hello)) {
            uint32_t size = 0;
            const bool ok = r.U32(size) && fd >= 0 && conn->MapShared(fd, size);
            ReplyStatus(reply, ok ? 0 : kStatusInvalidParameter);
        } else {
            const auto caller = EffectiveCaller(claimed, conn->PeerUid(), conn->PeerPid(), conn->PeerGid());
            handler_.Handle(*conn, caller, op, r, reply);
        }
        if (fd >= 0) ::close(fd);
        if (reply.size() > 4 && !conn->Send(reply.Finish())) break;
    }
    // The peer sees the end at once, not when the thread is reaped.
    ::shutdown(conn->Socket(), SHUT_RDWR);
    handler_.Disconnected(*conn);
    conn->CloseAll();
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& p : peers_) {
        if (p.conn.get() == conn) {
            // The connection is destroyed by whoever joins this thread.
            p.done = true;
        }
    }
}

}  // namespace tarn::host
