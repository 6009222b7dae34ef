#include "platform/win32/host_connection.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <sys/fsuid.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "fileapi.h"
#include "platform/win32/machine_dir.h"
#include "winerror.h"
#include "winternl.h"

namespace tarn::win32 {

std::string HostSocketPath() { return MachineDirectory() + "/" + wire::kSocketName; }

wire::Credentials ThreadCredentials() {
    // setfsuid/setfsgid with an invalid id change nothing and return the current one.
    wire::Credentials c{static_cast<uint32_t>(::setfsuid(static_cast<uid_t>(-1))),
                        static_cast<uint32_t>(::setfsgid(static_cast<gid_t>(-1))), {}};
    gid_t groups[wire::kMaxGroups];
    const int n = ::getgroups(wire::kMaxGroups, groups);
    for (int i = 0; i < n; ++i) c.groups.push_back(groups[i]);
    return c;
}

std::unique_ptr<HostConnection> HostConnection::Open(size_t sharedSize, DWORD& error) {
    const std::string path = HostSocketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    std::unique_ptr<HostConnection> c(new HostConnection);
    c->sock_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c->sock_ < 0) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (::connect(c->sock_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        error = (errno == EACCES || errno == EPERM) ? ERROR_ACCESS_DENIED : ERROR_DEV_NOT_EXIST;
        return nullptr;
    }
    if (sharedSize > 0) {
        const int fd = ::memfd_create("tarn-io", MFD_CLOEXEC);
        void* p = MAP_FAILED;
        if (fd >= 0 && ::ftruncate(fd, static_cast<off_t>(sharedSize)) == 0) {
            p = ::mmap(nullptr, sharedSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        }
        if (p == MAP_FAILED) {
            if (fd >= 0) ::close(fd);
            error = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        c->shared_ = static_cast<uint8_t*>(p);
        c->sharedSize_ = sharedSize;
        wire::Writer w;
        wire::WriteRequestHeader(w, wire::Op::Hello, ThreadCredentials());
        w.U32(static_cast<uint32_t>(sharedSize));
        const bool sent = wire::SendFrame(c->sock_, w.Finish(), fd);
        ::close(fd);
        std::vector<uint8_t> body;
        uint32_t status = 0;
        uint64_t info = 0;
        wire::Reader r(body.data(), 0);
        if (!sent || !wire::RecvFrame(c->sock_, body)) {
            error = ERROR_DEV_NOT_EXIST;
            return nullptr;
        }
        r = wire::Reader(body.data(), body.size());
        if (!wire::ReadReplyHeader(r, status, info)) {
            error = ERROR_DEV_NOT_EXIST;
            return nullptr;
        }
        if (status != 0) {
            error = HostStatusToError(status);
            return nullptr;
        }
    }
    error = ERROR_SUCCESS;
    return c;
}

HostConnection::~HostConnection() {
    if (shared_) ::munmap(shared_, sharedSize_);
    if (sock_ >= 0) ::close(sock_);
}

void HostConnection::Shutdown() { ::shutdown(sock_, SHUT_RDWR); }

bool HostConnection::SendRaw(const std::vector<uint8_t>& frame) { return wire::SendFrame(sock_, frame); }

bool HostConnection::ReceiveRaw(std::vector<uint8_t>& body) { return wire::RecvFrame(sock_, body); }

DWORD HostConnection::Call(wire::Op op, const std::vector<uint8_t>& args, HostReply& reply, int* receivedFd) {
    if (receivedFd) *receivedFd = -1;
    wire::Writer w;
    wire::WriteRequestHeader(w, op, ThreadCredentials());
    w.Bytes(args.data(), args.size());
    std::vector<uint8_t> body;
    if (!wire::SendFrame(sock_, w.Finish()) || !wire::RecvFrame(sock_, body, receivedFd)) return ERROR_DEV_NOT_EXIST;
    wire::Reader r(body.data(), body.size());
    if (!wire::ReadReplyHeader(r, reply.status, reply.information)) {
        if (receivedFd && *receivedFd >= 0) {
            ::close(*receivedFd);
            *receivedFd = -1;
        }
        return ERROR_DEV_NOT_EXIST;
    }
    reply.payload.assign(body.end() - static_cast<long>(r.Remaining()), body.end());
    return ERROR_SUCCESS;
}

namespace {

// Idle connections for calls that are not tied to a handle.
std::mutex gPoolMutex;
std::vector<std::unique_ptr<HostConnection>>& Pool() {
    static auto* pool = new std::vector<std::unique_ptr<HostConnection>>;
    return *pool;
}

}  // namespace

DWORD CallHost(wire::Op op, const std::vector<uint8_t>& args, HostReply& reply) {
    std::unique_ptr<HostConnection> c;
    {
        std::lock_guard<std::mutex> guard(gPoolMutex);
        if (!Pool().empty()) {
            c = std::move(Pool().back());
            Pool().pop_back();
        }
    }
    DWORD error = ERROR_SUCCESS;
    if (c) {
        error = c->Call(op, args, reply);
        // A machine restart breaks pooled connections; try once on a fresh one.
        if (error != ERROR_SUCCESS) c.reset();
    }
    if (!c) {
        c = HostConnection::Open(0, error);
        if (!c) return error;
        error = c->Call(op, args, reply);
        if (error != ERROR_SUCCESS) return error;
    }
    std::lock_guard<std::mutex> guard(gPoolMutex);
    if (Pool().size() < 8) Pool().push_back(std::move(c));
    return ERROR_SUCCESS;
}

DWORD HostStatusToError(uint32_t status) {
    // STATUS_NOT_LOCKED (unlocking a volume this handle did not lock).
    if (status == 0xC000002Au) return ERROR_NOT_LOCKED;
    return RtlNtStatusToDosError(static_cast<NTSTATUS>(status));
}

}  // namespace tarn::win32
