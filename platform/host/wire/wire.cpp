#include "platform/host/wire/wire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>

#include <sched.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tarn::wire {

void Writer::U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Writer::U64(uint64_t v) {
    for (int i = 0; i < 8; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Writer::Str(std::string_view s) {
    U32(static_cast<uint32_t>(s.size()));
    Bytes(s.data(), s.size());
}

void Writer::Bytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    buf_.insert(buf_.end(), p, p + size);
}

void Writer::Status(const ServiceStatus& s) {
    U32(s.serviceType);
    U32(s.currentState);
    U32(s.controlsAccepted);
    U32(s.win32ExitCode);
    U32(s.serviceSpecificExitCode);
    U32(s.checkPoint);
    U32(s.waitHint);
}

void Writer::Ev(const Event& e) {
    U32(e.event);
    U32(e.deviceType);
    U32(e.unitMask);
    U32(e.flags);
    Str(e.name);
}

std::vector<uint8_t>& Writer::Finish() {
    const uint32_t body = static_cast<uint32_t>(buf_.size() - 4);
    for (int i = 0; i < 4; ++i) buf_[i] = static_cast<uint8_t>(body >> (8 * i));
    return buf_;
}

bool Reader::Span(const uint8_t*& data, size_t n) {
    if (failed_ || Remaining() < n) {
        failed_ = true;
        return false;
    }
    data = p_;
    p_ += n;
    return true;
}

bool Reader::U32(uint32_t& v) {
    const uint8_t* d;
    if (!Span(d, 4)) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(d[i]) << (8 * i);
    return true;
}

bool Reader::U64(uint64_t& v) {
    const uint8_t* d;
    if (!Span(d, 8)) return false;
    v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(d[i]) << (8 * i);
    return true;
}

bool Reader::Str(std::string& s, size_t max) {
    uint32_t n;
    if (!U32(n)) return false;
    if (n > max) {
        failed_ = true;
        return false;
    }
    const uint8_t* d;
    if (!Span(d, n)) return false;
    s.assign(reinterpret_cast<const char*>(d), n);
    // Names travel as C strings on both sides; an embedded NUL would make the
    // host and the caller disagree about which name was meant.
    if (s.find('\0') != std::string::npos) {
        failed_ = true;
        return false;
    }
    return true;
}

bool Reader::Status(ServiceStatus& s) {
    return U32(s.serviceType) && U32(s.currentState) && U32(s.controlsAccepted) && U32(s.win32ExitCode) &&
           U32(s.serviceSpecificExitCode) && U32(s.checkPoint) && U32(s.waitHint);
}

bool Reader::Ev(Event& e) {
    return U32(e.event) && U32(e.deviceType) && U32(e.unitMask) && U32(e.flags) && Str(e.name);
}

void WriteRequestHeader(Writer& w, Op op, const Credentials& creds) {
    w.U32(static_cast<uint32_t>(op));
    w.U32(creds.uid);
    w.U32(creds.gid);
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(creds.groups.size(), kMaxGroups));
    w.U32(n);
    for (uint32_t i = 0; i < n; ++i) w.U32(creds.groups[i]);
}

bool ReadRequestHeader(Reader& r, uint32_t& op, Credentials& creds) {
    uint32_t n;
    if (!r.U32(op) || !r.U32(creds.uid) || !r.U32(creds.gid) || !r.U32(n)) return false;
    if (n > kMaxGroups) return false;
    creds.groups.resize(n);
    for (auto& g : creds.groups) {
        if (!r.U32(g)) return false;
    }
    return true;
}

void WriteReplyHeader(Writer& w, uint32_t status, uint64_t information) {
    w.U32(status);
    w.U64(information);
}

bool ReadReplyHeader(Reader& r, uint32_t& status, uint64_t& information) {
    return r.U32(status) && r.U64(information);
}

namespace {

bool SendAll(int sock, const uint8_t* data, size_t size, int passFd) {
    bool fdSent = passFd < 0;
    while (size > 0) {
        iovec iov{const_cast<uint8_t*>(data), size};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        if (!fdSent) {
            msg.msg_control = control;
            msg.msg_controllen = sizeof(control);
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
        }
        const ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        fdSent = true;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// A reply or the next request usually follows within microseconds; a thread
// still running sees it at once, where waking a sleeping one on another
// processor costs tens of microseconds on a virtual machine. So a receive
// looks (giving the processor to any ready thread) before it sleeps, long
// enough to cover a request that moves 64 KiB through the page cache on the
// other side (20 to 40 microseconds here: 20 slept through most of them).
constexpr auto kLookTime = std::chrono::microseconds(60);

bool RecvAll(int sock, uint8_t* data, size_t size, int* receivedFd) {
    while (size > 0) {
        iovec iov{data, size};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        ssize_t n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            for (auto until = std::chrono::steady_clock::now() + kLookTime; n < 0;) {
                if (std::chrono::steady_clock::now() >= until) {
                    n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
                    break;
                }
                ::sched_yield();
                n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
                if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
            }
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                // Keep the first descriptor if the caller wants one; close every
                // other so a peer cannot make us leak descriptors.
                if (receivedFd && *receivedFd < 0) {
                    *receivedFd = fd;
                } else {
                    ::close(fd);
                }
            }
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool SendFrame(int sock, const std::vector<uint8_t>& frame, int passFd) {
    return SendAll(sock, frame.data(), frame.size(), passFd);
}

bool RecvFrame(int sock, std::vector<uint8_t>& body, int* receivedFd, uint32_t maxSize) {
    if (receivedFd) *receivedFd = -1;
    uint8_t prefix[4];
    const uint32_t n = RecvAll(sock, prefix, 4, receivedFd)
                           ? (prefix[0] | prefix[1] << 8 | prefix[2] << 16 | static_cast<uint32_t>(prefix[3]) << 24)
                           : UINT32_MAX;
    if (n > maxSize) {
        if (receivedFd && *receivedFd >= 0) {
            ::close(*receivedFd);
            *receivedFd = -1;
        }
        return false;
    }
    body.resize(n);
    if (RecvAll(sock, body.data(), n, receivedFd)) return true;
    if (receivedFd && *receivedFd >= 0) {
        ::close(*receivedFd);
        *receivedFd = -1;
    }
    return false;
}

}  // namespace tarn::wire
