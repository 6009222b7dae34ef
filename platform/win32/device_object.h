// The handle kind behind CreateFileA on "\\.\" paths: a file object in the
// machine, reached over a connection of its own. Reads and writes move their
// data through the connection's shared buffer.
#pragma once

#include <memory>
#include <string>

#include "platform/win32/host_connection.h"
#include "platform/win32/io_object.h"
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

    std::unique_ptr<HostConnection> conn_;
    uint32_t handle_;
};

// Shared buffer size of a device handle: one conversion chunk and then some.
constexpr size_t kDeviceSharedBuffer = 1u << 20;

}  // namespace tarn::win32
