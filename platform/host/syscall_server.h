// The machine's system-call socket: accepts user-mode processes, checks who
// they are and hands each request to the machine.
//
// Contract: one thread per connection; requests on one connection are handled
// one after the other, so a connection (and every file object it opened) is
// used by one thread at a time. Handlers never keep a Connection beyond
// Disconnected().
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <sys/types.h>

#include "platform/host/expected.h"
#include "platform/host/wire/wire.h"

namespace tarn::host {

// Whatever the machine keeps per open handle; destroyed when the handle is
// closed or the connection goes away.
class OpenObject {
public:
    virtual ~OpenObject() = default;
};

class Connection {
public:
    Connection(int sock, pid_t pid, uid_t uid, gid_t gid) : sock_(sock), peerPid_(pid), peerUid_(uid), peerGid_(gid) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int Socket() const { return sock_; }
    pid_t PeerPid() const { return peerPid_; }
    uid_t PeerUid() const { return peerUid_; }
    gid_t PeerGid() const { return peerGid_; }

    // The shared data buffer passed with Hello (null until then).
    uint8_t* Shared() const { return shared_; }
    size_t SharedSize() const { return sharedSize_; }
    bool MapShared(int fd, size_t size);

    uint32_t AddObject(std::unique_ptr<OpenObject> object);
    OpenObject* FindObject(uint32_t handle);
    bool CloseObject(uint32_t handle);
    // Drops every object; called before the socket is closed.
    void CloseAll();

    // Sends one frame; safe from any thread (event streams and service
    // controls are written by threads other than the connection's own).
    bool Send(const std::vector<uint8_t>& frame, int passFd = -1);

private:
    int sock_;
    pid_t peerPid_;
    uid_t peerUid_;
    gid_t peerGid_;
    uint8_t* shared_ = nullptr;
    size_t sharedSize_ = 0;
    std::mutex sendMutex_;
    uint32_t nextHandle_ = 4;
    std::map<uint32_t, std::unique_ptr<OpenObject>> objects_;
};

class RequestHandler {
public:
    virtual ~RequestHandler() = default;
    // Handles one parsed request; writes the reply header and results into
    // reply, or leaves reply empty when the frame wants no answer (frames on a
    // stream the peer set up earlier). args is positioned after the credentials.
    virtual void Handle(Connection& conn, const wire::Credentials& caller, uint32_t op, wire::Reader& args,
                        wire::Writer& reply) = 0;
    // The peer went away; objects are still open (closed right after).
    virtual void Disconnected(Connection& conn) = 0;
};

class SyscallServer {
public:
    SyscallServer(std::string socketPath, gid_t machineGroup, RequestHandler& handler);
    ~SyscallServer();

    // Binds the socket (mode 0660, group machineGroup when it is not -1) and starts accepting.
    Status Start();
    // Stops accepting, disconnects every peer, waits for their threads and
    // removes the socket file.
    void Stop();

    // Whether a peer may use the machine at all.
    static bool PeerAllowed(uid_t peerUid, pid_t peerPid, gid_t peerGid, gid_t machineGroup);
    // The identity a request runs with: the claimed one from a trusted peer,
    // else the peer's own.
    static wire::Credentials EffectiveCaller(const wire::Credentials& claimed, uid_t peerUid, pid_t peerPid, gid_t peerGid);

private:
    void AcceptLoop();
    void Serve(Connection* conn);

    std::string path_;
    gid_t group_;
    RequestHandler& handler_;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    std::thread acceptor_;
    std::mutex mutex_;  // guards peers_ and stopping_
    struct Peer {
        std::unique_ptr<Connection> conn;
        std::thread thread;
        bool done = false;
    };
    std::list<Peer> peers_;
    bool stopping_ = false;
};

}  // namespace tarn::host
