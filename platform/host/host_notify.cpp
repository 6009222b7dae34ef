#include "platform/host/host_notify.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tarn::host {

namespace {

int Connect(const std::string& dir, int& err) {
    const std::string path = dir + "/" + wire::kSocketName;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        err = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        err = errno;
        return -1;
    }
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        err = errno;
        ::close(s);
        return -1;
    }
    return s;
}

wire::Credentials Mine() {
    wire::Credentials c{static_cast<uint32_t>(::geteuid()), static_cast<uint32_t>(::getegid()), {}};
    gid_t groups[wire::kMaxGroups];
    const int n = ::getgroups(wire::kMaxGroups, groups);
    for (int i = 0; i < n; ++i) c.groups.push_back(groups[i]);
    return c;
}

}  // namespace

Expected<Reply> CallHost(const std::string& dir, wire::Op op, const std::vector<uint8_t>& args) {
    int err = 0;
    const int s = Connect(dir, err);
    if (s < 0) return Error{"the machine in " + dir + " is not reachable: " + std::strerror(err)};
    wire::Writer w;
    wire::WriteRequestHeader(w, op, Mine());
    w.Bytes(args.data(), args.size());
    std::vector<uint8_t> body;
    const bool ok = wire::SendFrame(s, w.Finish()) && wire::RecvFrame(s, body);
    ::close(s);
    if (!ok) return Error{"the machine closed the connection"};
    wire::Reader r(body.data(), body.size());
    Reply reply;
    if (!wire::ReadReplyHeader(r, reply.status, reply.information)) return Error{"malformed reply from the machine"};
    reply.payload.assign(body.begin() + static_cast<long>(body.size() - r.Remaining()), body.end());
    return reply;
}

Status NotifyDriveTableChanged(const std::string& dir) {
    int err = 0;
    const int probe = Connect(dir, err);
    if (probe < 0) {
        // No socket, or a stale one nobody listens on: the machine is not
        // running and reads the table when it starts.
        if (err == ENOENT || err == ECONNREFUSED) return Ok();
        return Error{std::string("cannot reach the machine: ") + std::strerror(err)};
    }
    ::close(probe);
    auto reply = CallHost(dir, wire::Op::ReloadDrives, {});
    if (!reply) return Error{reply.error()};
    if (reply->status != 0) {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%08X", reply->status);
        return Error{std::string("the machine refused the new table (status ") + hex + ")"};
    }
    return Ok();
}

}  // namespace tarn::host
