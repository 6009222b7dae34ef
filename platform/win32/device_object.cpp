#include "platform/win32/device_object.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
    if (generations_) ::munmap(const_cast<uint64_t*>(generations_), wire::kGenerationPageSize);
    // CloseHandle is synchronous on Windows: once it returns, the volume lock
    // and the sharing this handle held are gone. So the file object is closed
    // with a request that waits for the machine, not merely by dropping the
    // connection (which the machine notices a little later).
    wire::Writer w;
    w.U32(handle_);
    HostReply reply;
    conn_->Call(wire::Op::Close, Body(w), reply);
}

bool DeviceObject::MapGenerations() {
    if (generationsTried_) return generations_ != nullptr;
    generationsTried_ = true;
    wire::Writer w;
    w.U32(handle_);
    HostReply reply;
    int fd = -1;
    if (Call(wire::Op::MapGenerations, Body(w), reply, &fd) != ERROR_SUCCESS) return false;
    struct stat st {};
    void* page = MAP_FAILED;
    if (reply.status == 0 && fd >= 0 && reply.information < wire::kGenerationSlots && ::fstat(fd, &st) == 0 &&
        st.st_size >= static_cast<off_t>(wire::kGenerationPageSize)) {
        page = ::mmap(nullptr, wire::kGenerationPageSize, PROT_READ, MAP_SHARED, fd, 0);
    }
    if (fd >= 0) ::close(fd);
    if (page == MAP_FAILED) return false;
    generations_ = static_cast<const uint64_t*>(page);
    slot_ = static_cast<uint32_t>(reply.information);
    return true;
}

uint64_t DeviceObject::CurrentGeneration() const {
    // The host changes it from another process; atomic_ref needs a non-const object.
    return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(generations_[slot_])).load(std::memory_order_seq_cst);
}

DWORD DeviceObject::Call(wire::Op op, const std::vector<uint8_t>& args, HostReply& reply, int* receivedFd) {
    const DWORD error = conn_->Call(op, args, reply, receivedFd);
    prefetching_ = false;
    return error;
}

DWORD DeviceObject::SettleSharedBuffer() {
    if (!prefetching_) return ERROR_SUCCESS;
    window_.Invalidate();
    wire::Writer w;
    w.U32(handle_);
    w.U64(0);
    w.U32(0);
    w.U32(wire::kDataInShared);
    HostReply reply;
    return Call(wire::Op::Read, Body(w), reply);
}

bool DeviceObject::FillWindow(uint64_t offset, uint64_t size, DWORD& error) {
    error = ERROR_SUCCESS;
    const size_t half = wire::kPrefetchHalf(conn_->SharedSize());
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(size, conn_->SharedSize()));
    // Full-size windows keep coming: the host reads the next one while we copy from this one.
    const bool prefetch = n == half;
    wire::Writer w;
    w.U32(handle_);
    w.U64(offset);
    w.U32(n);
    w.U32(wire::kDataInShared | wire::kReadAhead | (prefetch ? wire::kPrefetchNext : 0));
    HostReply reply;
    window_.Invalidate();
    if (DWORD e = Call(wire::Op::Read, Body(w), reply); e != ERROR_SUCCESS) {
        error = e;
        return false;
    }
    wire::Reader r(reply.payload.data(), reply.payload.size());
    uint64_t generation = 0;
    uint32_t at = 0;
    // Errors and warnings, the end of the medium: the read itself goes to the host.
    if (reply.status != 0 || !r.U64(generation) || (prefetch && !r.U32(at)) || reply.information == 0) return false;
    const uint64_t got = std::min<uint64_t>(reply.information, n);
    if (at > conn_->SharedSize() - got) return false;
    prefetching_ = prefetch && got == n;
    windowAt_ = at;
    window_.Filled(offset, got, generation);
    return true;
}

DWORD DeviceObject::ReadAt(uint64_t offset, void* buffer, DWORD length, DWORD* done) {
    std::lock_guard<std::mutex> guard(callMutex_);
    *done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    if (generations_) {
        if (auto at = window_.Take(offset, length, CurrentGeneration())) {
            std::memcpy(out, conn_->Shared() + windowAt_ + *at, length);
            *done = length;
            return ERROR_SUCCESS;
        }
    }
    const uint64_t fill = window_.FillSize(offset, length, wire::kPrefetchHalf(conn_->SharedSize()));
    if (fill != 0 && MapGenerations()) {
        DWORD error = ERROR_SUCCESS;
        if (FillWindow(offset, fill, error)) {
            if (auto at = window_.Take(offset, length, CurrentGeneration())) {
                std::memcpy(out, conn_->Shared() + windowAt_ + *at, length);
                *done = length;
                return ERROR_SUCCESS;
            }
        } else if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    const DWORD error = ReadThroughHost(offset, out, length, done);
    window_.NoteRead(offset, *done);
    return error;
}

DWORD DeviceObject::ReadThroughHost(uint64_t offset, uint8_t* out, DWORD length, DWORD* done) {
    while (*done < length) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(length - *done, conn_->SharedSize()));
        wire::Writer w;
        w.U32(handle_);
        w.U64(offset + *done);
        w.U32(n);
        w.U32(wire::kDataInShared);
        HostReply reply;
        if (DWORD e = Call(wire::Op::Read, Body(w), reply); e != ERROR_SUCCESS) return e;
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
    std::lock_guard<std::mutex> guard(callMutex_);
    *done = 0;
    if (DWORD e = SettleSharedBuffer(); e != ERROR_SUCCESS) return e;
    window_.Invalidate();
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
        if (DWORD e = Call(wire::Op::Write, Body(w), reply); e != ERROR_SUCCESS) return e;
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
    std::lock_guard<std::mutex> guard(callMutex_);
    if (DWORD e = SettleSharedBuffer(); e != ERROR_SUCCESS) return e;
    window_.Invalidate();
    // Large input (raw writes of whole chunks) goes through the shared buffer
    // as a write's data does, not through the socket.
    const bool shared = inLength > kInlineControlInput && inLength <= conn_->SharedSize();
    wire::Writer w;
    w.U32(handle_);
    w.U32(code);
    w.U32(outLength);
    w.U32(inLength);
    if (shared) {
        std::memcpy(conn_->Shared(), in, inLength);
    } else {
        w.Bytes(in, inLength);
    }
    HostReply reply;
    const wire::Op op = shared ? wire::Op::DeviceControlShared : wire::Op::DeviceControl;
    if (DWORD e = Call(op, Body(w), reply); e != ERROR_SUCCESS) return e;
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
// FlushFileBuffers on a device: the flush goes down its stack, so the
// volume's writes reach the backing store before this returns.
DWORD DeviceObject::Sync() {
    std::lock_guard<std::mutex> guard(callMutex_);
    if (DWORD e = SettleSharedBuffer(); e != ERROR_SUCCESS) return e;
    wire::Writer w;
    w.U32(handle_);
    HostReply reply;
    if (DWORD e = Call(wire::Op::Flush, Body(w), reply); e != ERROR_SUCCESS) return e;
    return reply.status == 0 ? ERROR_SUCCESS : HostStatusToError(reply.status);
}

}  // namespace tarn::win32
