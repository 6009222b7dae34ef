#include "platform/win32/device_object.h"

#include <algorithm>
#include <cstring>

#include "winbase.h"
#include "winerror.h"

namespace tarn::win32 {

namespace {

constexpr uint32_t kStatusEndOfFile = 0xC0000011;

}  // namespace

Result<std::shared_ptr<DeviceObject>> DeviceObject::Open(const std::string& path, unsigned access,
                                                          DWORD desiredAccess, DWORD shareMode) {
    DWORD error = ERROR_SUCCESS;
    auto conn = HostConnection::Open(kDeviceSharedBuffer, error);
    // No machine means no such device, as for a drive letter nobody defined.
    if (!conn) return Result<std::shared_ptr<DeviceObject>>::Fail(error == ERROR_DEV_NOT_EXIST ? ERROR_FILE_NOT_FOUND : error);
    wire::Writer args;
    args.Str(path);
    args.U32(desiredAccess);
    args.U32(shareMode);
    HostReply reply;
    auto& frame = args.Finish();
    error = conn->Call(wire::Op::Open, std::vector<uint8_t>(frame.begin() + 4, frame.end()), reply);
    if (error != ERROR_SUCCESS) return Result<std::shared_ptr<DeviceObject>>::Fail(ERROR_FILE_NOT_FOUND);
    if (reply.status != 0) return Result<std::shared_ptr<DeviceObject>>::Fail(HostStatusToError(reply.status));
    return std::shared_ptr<DeviceObject>(
        new DeviceObject(access, std::move(conn), static_cast<uint32_t>(reply.information)));
}

static std::vector<uint8_t> Body(wire::Writer& w) {
    auto& f = w.Finish();
    return std::vector<uint8_t>(f.begin() + 4, f.end());
}

DeviceObject::~DeviceObject() {
    // CloseHandle is synchronous on Windows: once it returns, the volume lock
    // and the sharing this handle held are gone. So the file object is closed
    // with a request that waits for the machine, not merely by dropping the
    // connection (which the machine notices a little later).
    wire::Writer w;
    w.U32(handle_);
    HostReply reply;
    conn_->Call(wire::Op::Close, Body(w), reply);
}

DWORD DeviceObject::ReadAt(uint64_t offset, void* buffer, DWORD length, DWORD* done) {
    *done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (*done < length) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(length - *done, conn_->SharedSize()));
        wire::Writer w;
        w.U32(handle_);
        w.U64(offset + *done);
        w.U32(n);
        w.U32(wire::kDataInShared);
        HostReply reply;
        if (DWORD e = conn_->Call(wire::Op::Read, Body(w), reply); e != ERROR_SUCCESS) return e;
        if (reply.status == kStatusEndOfFile) break;
        if (reply.status != 0 && (reply.status >> 30) == 3) return HostStatusToError(reply.status);
        const uint32_t got = static_cast<uint32_t>(std::min<uint64_t>(reply.information, n));
        std::memcpy(out + *done, conn_->Shared(), got);
        *done += got;
        if (got < n) break;
    }
    return ERROR_SUCCESS;
}

DWORD DeviceObject::WriteAt(uint64_t offset, const void* buffer, DWORD length, DWORD* done) {
    *done = 0;
    const auto* in = static_cast<const uint8_t*>(buffer);
    while (*done < length) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(length - *done, conn_->SharedSize()));
        std::memcpy(conn_->Shared(), in + *done, n);
        wire::Writer w;
        w.U32(handle_);
        w.U64(offset + *done);
        w.U32(n);
        w.U32(wire::kDataInShared);
        HostReply reply;
        if (DWORD e = conn_->Call(wire::Op::Write, Body(w), reply); e != ERROR_SUCCESS) return e;
        if ((reply.status >> 30) == 3) return HostStatusToError(reply.status);
        const uint32_t put = static_cast<uint32_t>(std::min<uint64_t>(reply.information, n));
        *done += put;
        if (put < n) break;
    }
    return ERROR_SUCCESS;
}

DWORD DeviceObject::IoControl(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                              DWORD* returned) {
    if (returned) *returned = 0;
    if (inLength > wire::kMaxInlineData || outLength > wire::kMaxInlineData) return ERROR_INVALID_PARAMETER;
    if ((inLength && !in) || (outLength && !out)) return ERROR_INVALID_PARAMETER;
    wire::Writer w;
    w.U32(handle_);
    w.U32(code);
    w.U32(outLength);
    w.U32(inLength);
    w.Bytes(in, inLength);
    HostReply reply;
    if (DWORD e = conn_->Call(wire::Op::DeviceControl, Body(w), reply); e != ERROR_SUCCESS) return e;
    // Output comes back for successes and for warnings (buffer overflow), as on Windows.
    const size_t n = std::min<size_t>({reply.payload.size(), outLength, reply.information});
    if ((reply.status >> 30) != 3) {
        if (n) std::memcpy(out, reply.payload.data(), n);
        if (returned) *returned = static_cast<DWORD>(n);
    }
    return reply.status == 0 ? ERROR_SUCCESS : HostStatusToError(reply.status);
}

DWORD DeviceObject::QuerySize(uint64_t*) { return ERROR_INVALID_FUNCTION; }
DWORD DeviceObject::Truncate(uint64_t) { return ERROR_INVALID_FUNCTION; }
DWORD DeviceObject::Sync() { return ERROR_SUCCESS; }

}  // namespace tarn::win32
