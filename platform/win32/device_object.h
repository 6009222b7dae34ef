// The handle kind behind CreateFileA on "\\.\" paths: a file object in the
// machine, reached over a connection of its own. Reads and writes move their
// data through the connection's shared buffer, and so does the input of large
// control requests. Sequential reads are served from a read-ahead window in
// that buffer while the volume's write generation says it is current.
// FIXME: a machine killed without shutting down never bumps the generations;
// the rest of a window read before it died (at most 2 MiB) is still served.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/win32/host_connection.h"
#include "platform/win32/io_object.h"
#include "platform/win32/read_ahead.h"
#include "platform/win32/result.h"

namespace tarn::win32 {

class DeviceObject : public IoObject {
public:
    // Opens path ("\\.\E:", "\\.\Global\E:", ...) in the machine. access is
    // the AccessBits granted; desiredAccess and shareMode as CreateFileA got them.
    static Result<std::shared_ptr<DeviceObject>> Open(const std::string& path, unsigned access, DWORD desiredAccess,
                                                      DWORD shareMode);
    ~DeviceObject() override;

    DWORD IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned) override;

protected:
    DWORD ReadAt(uint64_t offset, void* buffer, DWORD length, DWORD* done) override;
    DWORD WriteAt(uint64_t offset, const void* buffer, DWORD length, DWORD* done) override;
    DWORD QuerySize(uint64_t* size) override;
    DWORD Truncate(uint64_t size) override;
    DWORD Sync() override;

private:
    DeviceObject(unsigned access, std::unique_ptr<HostConnection> conn, uint32_t handle)
        : IoObject(access), conn_(std::move(conn)), handle_(handle) {}

    // The volume's generation page, mapped on first need; false when the
    // machine does not give it (the handle then never reads ahead).
    bool MapGenerations();
    uint64_t CurrentGeneration() const;
    // Reads size bytes ahead at offset; false when the host did not give a
    // usable window (error set only for a broken connection).
    bool FillWindow(uint64_t offset, uint64_t size, DWORD& error);
    DWORD ReadThroughHost(uint64_t offset, uint8_t* out, DWORD length, DWORD* done);
    // One request on the connection. Once answered, the host is done with
    // any window it was reading ahead into the shared buffer.
    DWORD Call(wire::Op op, const std::vector<uint8_t>& args, HostReply& reply, int* receivedFd = nullptr);
    // Before the client writes into the shared buffer: waits until the host
    // no longer reads the next window into it (an empty read).
    DWORD SettleSharedBuffer();

    // The connection carries one request at a time and the shared buffer
    // holds one thing at a time: transfers and control requests on this
    // handle take turns (DeviceIoControl may come from another thread).
    std::mutex callMutex_;
    std::unique_ptr<HostConnection> conn_;
    uint32_t handle_;
    ReadAheadWindow window_;
    size_t windowAt_ = 0;       // where the window's bytes are in the shared buffer
    bool prefetching_ = false;  // the host may be reading the next window into it now
    const uint64_t* generations_ = nullptr;  // read-only mapping of the page
    uint32_t slot_ = 0;
    bool generationsTried_ = false;
};

// Shared buffer size of a device handle: the largest read-ahead window (its
// pages are touched only as far as transfers use them).
constexpr size_t kDeviceSharedBuffer = 4u << 20;
// Control requests with more input than this pass it through the shared buffer.
constexpr DWORD kInlineControlInput = 4096;

}  // namespace tarn::win32
