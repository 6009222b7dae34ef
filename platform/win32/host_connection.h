// A connection from this process to the machine (tarnhost) over its
// system-call socket. Device handles own one each (with a shared data buffer
// for reads and writes); other calls borrow one from a small pool.
//
// Contract: a connection is used by one thread at a time (the device handle
// serialises its transfers; a pooled connection is lent to one caller).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/wire/wire.h"
#include "windef.h"

namespace tarn::win32 {

struct HostReply {
    uint32_t status = 0;          // NTSTATUS
    uint64_t information = 0;
    std::vector<uint8_t> payload;  // results after the reply header
};

class HostConnection {
public:
    // Connects; sharedSize > 0 also sets up the shared data buffer. On failure
    // returns null and sets error to a Win32 code (ERROR_ACCESS_DENIED when the
    // machine refuses us, ERROR_DEV_NOT_EXIST when no machine runs).
    static std::unique_ptr<HostConnection> Open(size_t sharedSize, DWORD& error);
    ~HostConnection();
    HostConnection(const HostConnection&) = delete;
    HostConnection& operator=(const HostConnection&) = delete;

    // One request with the calling thread's file-system identity. args is the
    // op's argument bytes. Returns a Win32 error for a broken connection
    // (ERROR_DEV_NOT_EXIST), else ERROR_SUCCESS with the reply filled. With
    // receivedFd, a descriptor that came with the reply is stored there (-1
    // when none came; the caller closes it).
    DWORD Call(wire::Op op, const std::vector<uint8_t>& args, HostReply& reply, int* receivedFd = nullptr);
    // Raw frame access for streams (events, service controls).
    bool SendRaw(const std::vector<uint8_t>& frame);
    bool ReceiveRaw(std::vector<uint8_t>& body);

    uint8_t* Shared() const { return shared_; }
    size_t SharedSize() const { return sharedSize_; }
    int Socket() const { return sock_; }
    // Unblocks a thread waiting in ReceiveRaw.
    void Shutdown();

private:
    HostConnection() = default;
    int sock_ = -1;
    uint8_t* shared_ = nullptr;
    size_t sharedSize_ = 0;
};

// The identity of the calling thread as a file system sees it.
wire::Credentials ThreadCredentials();

// The socket of the machine this process belongs to.
std::string HostSocketPath();

// Borrowing a pooled connection for one call: Call() does both.
DWORD CallHost(wire::Op op, const std::vector<uint8_t>& args, HostReply& reply);

// The Win32 error Windows reports for an NTSTATUS.
DWORD HostStatusToError(uint32_t status);

}  // namespace tarn::win32
