// The file-system layer of the machine: opening devices by name, file
// objects, volume locks and dismounts, reads, writes and control requests on
// behalf of user-mode handles.
#include <algorithm>

#include "platform/host/irp_io.h"
#include "platform/host/machine.h"
#include "platform/host/names.h"
#include "platform/nt/host.h"

namespace tarn::host {

namespace {

// The open file behind a handle; otherwise the reply refuses the handle.
OpenFile* FileOrRefuse(Connection& conn, uint32_t handle, wire::Writer& reply) {
    auto* file = dynamic_cast<OpenFile*>(conn.FindObject(handle));
    if (!file) wire::WriteReplyHeader(reply, STATUS_INVALID_HANDLE, 0);
    return file;
}

}  // namespace

namespace {

constexpr NTSTATUS kStatusNotLocked = static_cast<NTSTATUS>(0xC000002AL);
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kFileReadData = 0x1;
constexpr uint32_t kFileWriteData = 0x2;
constexpr uint32_t kFileAppendData = 0x4;

uint32_t AccessBits(uint32_t desired) {
    uint32_t bits = 0;
    if (desired & (kGenericRead | kGenericAll | kFileReadData)) bits |= 1;
    if (desired & (kGenericWrite | kGenericAll | kFileWriteData | kFileAppendData)) bits |= 2;
    return bits;
}

}  // namespace

NTSTATUS Machine::OpenDevice(Connection& conn, const std::string& path, uint32_t access, uint32_t share,
                             uint64_t& handle) {
    const auto ntName = DevicePathToNt(path);
    if (!ntName) return STATUS_OBJECT_NAME_INVALID;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ntName->c_str());
    PVOID object = nullptr;
    NTSTATUS status = NtHostReferenceObjectByName(&name, *IoDeviceObjectType, &object);
    if (!NT_SUCCESS(status)) return status;
    auto volume = static_cast<PDEVICE_OBJECT>(object);
    // A locked volume admits no new opens, as on Windows.
    if (LockedByOther(volume, nullptr)) {
        ObDereferenceObject(volume);
        return STATUS_ACCESS_DENIED;
    }
    PFILE_OBJECT fileObject = nullptr;
    status = NtHostCreateFileObject(volume, &fileObject);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(volume);
        return status;
    }
    const uint32_t bits = AccessBits(access);
    fileObject->ReadAccess = (bits & 1) ? TRUE : FALSE;
    fileObject->WriteAccess = (bits & 2) ? TRUE : FALSE;
    fileObject->SharedRead = (share & 1) ? TRUE : FALSE;
    fileObject->SharedWrite = (share & 2) ? TRUE : FALSE;
    {
        // Share access as the I/O manager checks it: every handle's access
        // must be allowed by every other handle's sharing, both ways.
        std::lock_guard<std::mutex> guard(fsMutex_);
        if (std::find(unloading_.begin(), unloading_.end(), volume->DriverObject) != unloading_.end()) {
            ObDereferenceObject(fileObject);
            ObDereferenceObject(volume);
            return STATUS_DELETE_PENDING;
        }
        auto& open = shares_[volume];
        for (const auto& other : open) {
            const bool conflict = ((bits & 1) && !(other.share & 1)) || ((bits & 2) && !(other.share & 2)) ||
                                  ((other.access & 1) && !(share & 1)) || ((other.access & 2) && !(share & 2));
            if (conflict) {
                ObDereferenceObject(fileObject);
                ObDereferenceObject(volume);
                return STATUS_SHARING_VIOLATION;
            }
        }
        open.push_back({fileObject, bits, share & 3});
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(volume);
    status = IoSendSimple(top, fileObject, IRP_MJ_CREATE, 0);
    if (!NT_SUCCESS(status)) {
        ForgetShare(volume, fileObject);
        ObDereferenceObject(top);
        ObDereferenceObject(fileObject);
        ObDereferenceObject(volume);
        return status;
    }
    handle = conn.AddObject(
        std::make_unique<OpenFile>(*this, fileObject, volume, top, bits, generations_.SlotOf(volume)));
    return STATUS_SUCCESS;
}

void Machine::ForgetShare(PDEVICE_OBJECT volume, PFILE_OBJECT fileObject) {
    std::lock_guard<std::mutex> guard(fsMutex_);
    auto it = shares_.find(volume);
    if (it == shares_.end()) return;
    auto& open = it->second;
    open.erase(std::remove_if(open.begin(), open.end(), [&](const ShareEntry& e) { return e.fileObject == fileObject; }),
               open.end());
    if (open.empty()) shares_.erase(it);
}

void Machine::CloseFile(OpenFile& file) {
    {
        // Closing a handle releases the volume lock it still holds.
        std::lock_guard<std::mutex> guard(fsMutex_);
        auto it = locks_.find(file.Volume());
        if (it != locks_.end() && it->second == file.FileObject()) locks_.erase(it);
    }
    ForgetShare(file.Volume(), file.FileObject());
    IoSendSimple(file.Top(), file.FileObject(), IRP_MJ_CLEANUP, 0);
    IoSendSimple(file.Top(), file.FileObject(), IRP_MJ_CLOSE, 0);
    ObDereferenceObject(file.Top());
    ObDereferenceObject(file.FileObject());
    ObDereferenceObject(file.Volume());
}

bool Machine::LockedByOther(PDEVICE_OBJECT volume, PFILE_OBJECT fileObject) {
    std::lock_guard<std::mutex> guard(fsMutex_);
    auto it = locks_.find(volume);
    return it != locks_.end() && it->second != fileObject;
}

// Contract: answered here, as the file system mounted on the volume answers
// them on Windows; nothing of these goes down the stack.
NTSTATUS Machine::FileSystemControl(OpenFile& file, uint32_t code, ULONG_PTR& information) {
    information = 0;
    switch (code) {
    case FSCTL_LOCK_VOLUME: {
        {
            std::lock_guard<std::mutex> guard(fsMutex_);
            // Fails while any handle, this one included, holds the lock.
            if (locks_.count(file.Volume())) return STATUS_ACCESS_DENIED;
            locks_[file.Volume()] = file.FileObject();
        }
        return STATUS_SUCCESS;
    }
    case FSCTL_UNLOCK_VOLUME: {
        {
            std::lock_guard<std::mutex> guard(fsMutex_);
            auto it = locks_.find(file.Volume());
            if (it == locks_.end() || it->second != file.FileObject()) return kStatusNotLocked;
            locks_.erase(it);
        }
        return STATUS_SUCCESS;
    }
    case FSCTL_DISMOUNT_VOLUME:
        // The mount goes; the next mount starts with the first read of unit 0.
        Arrive(file.Volume(), false);
        return STATUS_SUCCESS;
    case FSCTL_IS_VOLUME_MOUNTED:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

void Machine::OnOpen(Connection& conn, wire::Reader& args, wire::Writer& reply) {
    std::string path;
    uint32_t access = 0, share = 0;
    if (!args.Str(path) || !args.U32(access) || !args.U32(share)) {
        wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    uint64_t handle = 0;
    const NTSTATUS status = OpenDevice(conn, path, access, share, handle);
    wire::WriteReplyHeader(reply, static_cast<uint32_t>(status), handle);
}

void Machine::OnClose(Connection& conn, wire::Reader& args, wire::Writer& reply) {
    uint32_t handle = 0;
    if (!args.U32(handle)) {
        wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    wire::WriteReplyHeader(reply, conn.CloseObject(handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE, 0);
}

void Machine::OnReadWrite(Connection& conn, bool write, wire::Reader& args, wire::Writer& reply) {
    uint32_t handle = 0, length = 0, flags = 0;
    uint64_t offset = 0;
    if (!args.U32(handle) || !args.U64(offset) || !args.U32(length) || !args.U32(flags) ||
        offset > static_cast<uint64_t>(INT64_MAX)) {
        wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    auto* file = FileOrRefuse(conn, handle, reply);
    if (!file) return;
    if (write ? !file->CanWrite() : !file->CanRead()) {
        wire::WriteReplyHeader(reply, STATUS_ACCESS_DENIED, 0);
        return;
    }
    if (!write && (flags & wire::kPrefetchNext)) {
        if (!(flags & wire::kDataInShared) || !(flags & wire::kReadAhead) || !conn.Shared() || length == 0 ||
            length > wire::kPrefetchHalf(conn.SharedSize())) {
            file->Prefetch().valid = false;
            wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
            return;
        }
        return OnPrefetchedRead(conn, *file, offset, length, reply);
    }
    file->Prefetch().valid = false;
    if (write && LockedByOther(file->Volume(), file->FileObject())) {
        wire::WriteReplyHeader(reply, STATUS_ACCESS_DENIED, 0);
        return;
    }
    PUCHAR buffer = nullptr;
    std::vector<uint8_t> inlineData;
    if (flags & wire::kDataInShared) {
        if (!conn.Shared() || length > conn.SharedSize()) {
            wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
            return;
        }
        buffer = conn.Shared();
    } else {
        if (length > wire::kMaxInlineData) {
            wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
            return;
        }
        if (write) {
            // The filter transforms a write's buffer in place; it gets a copy
            // of the frame's bytes, never the frame itself.
            const uint8_t* data = nullptr;
            if (!args.Span(data, length)) {
                wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
                return;
            }
            inlineData.assign(data, data + length);
        } else {
            inlineData.resize(length);
        }
        buffer = inlineData.data();
    }
    // Taken before the request begins: a change that completes while it runs
    // has moved the generation past this value by the time it is done.
    const bool readAhead = !write && (flags & wire::kReadAhead);
    const uint64_t generation = readAhead ? generations_.Current(file->GenerationSlot()) : 0;
    ULONG_PTR information = 0;
    const NTSTATUS status = IoSendReadWrite(file->Top(), file->FileObject(), write ? IRP_MJ_WRITE : IRP_MJ_READ, buffer,
                                            length, static_cast<LONGLONG>(offset), &information);
    // Sectors written behind the file system's back: it is mounted afresh.
    if (write && information > 0) DropMount(file->Volume());
    // A failed write may still have changed sectors.
    if (write && information == 0 && NT_ERROR(status)) VolumeChanged(file->Volume());
    wire::WriteReplyHeader(reply, static_cast<uint32_t>(status), information);
    if (readAhead) reply.U64(generation);
    if (!write && !(flags & wire::kDataInShared) && !NT_ERROR(status)) {
        reply.Bytes(inlineData.data(), std::min<size_t>(information, inlineData.size()));
    }
}

void Machine::OnDeviceControl(Connection& conn, bool inShared, wire::Reader& args, wire::Writer& reply) {
    uint32_t handle = 0, code = 0, outLength = 0, inLength = 0;
    const uint8_t* in = nullptr;
    if (!args.U32(handle) || !args.U32(code) || !args.U32(outLength) || !args.U32(inLength) ||
        outLength > wire::kMaxInlineData) {
        wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    if (inShared) {
        // The request builder copies the input into its own system buffer, so
        // the client cannot change it under a driver that checked it.
        if (!conn.Shared() || inLength > conn.SharedSize()) {
            wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
            return;
        }
        in = conn.Shared();
    } else if (!args.Span(in, inLength)) {
        wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    auto* file = FileOrRefuse(conn, handle, reply);
    if (!file) return;
    file->Prefetch().valid = false;
    // The access a code names must have been granted to the handle.
    const uint32_t required = (code >> 14) & 3;
    if (((required & FILE_READ_ACCESS) && !file->CanRead()) || ((required & FILE_WRITE_ACCESS) && !file->CanWrite())) {
        wire::WriteReplyHeader(reply, STATUS_ACCESS_DENIED, 0);
        return;
    }
    ULONG_PTR information = 0;
    // Pages a program dirtied through a shared mapping of the block view go
    // to the drive before a lock, a dismount, a key or a raw write changes
    // what the drive takes.
    if (DEVICE_TYPE_FROM_CTL_CODE(code) == FILE_DEVICE_FILE_SYSTEM || (required & FILE_WRITE_ACCESS))
        VolumeAboutToChange(file->Volume());
    if (DEVICE_TYPE_FROM_CTL_CODE(code) == FILE_DEVICE_FILE_SYSTEM) {
        const NTSTATUS status = FileSystemControl(*file, code, information);
        // A lock comes before changes, an unlock or dismount after them.
        VolumeChanged(file->Volume());
        wire::WriteReplyHeader(reply, static_cast<uint32_t>(status), information);
        return;
    }
    if ((required & FILE_WRITE_ACCESS) && LockedByOther(file->Volume(), file->FileObject())) {
        wire::WriteReplyHeader(reply, STATUS_ACCESS_DENIED, 0);
        return;
    }
    // The I/O manager copies the input into the request's system buffer.
    std::vector<uint8_t> output(outLength);
    NTSTATUS status;
    {
        // A key set while the block view rewrites a partial unit would have
        // the ciphertext it read written back as plaintext. Taken after the
        // announcement, whose flush may write through the view.
        const std::shared_ptr<void> hold =
            (required & FILE_WRITE_ACCESS) ? HoldViewWrites(file->Volume()) : nullptr;
        status = IoSendDeviceControl(file->Top(), file->FileObject(), code, inLength ? const_cast<uint8_t*>(in) : nullptr,
                                     inLength, outLength ? output.data() : nullptr, outLength, &information);
    }
    // Any control code may change what reads return (a key, a probe of unit
    // 0, a medium); read-ahead taken before it is stale. Those that need
    // write access (raw writes, key changes) can change what the file system
    // sees too, and dropping its mount says the volume changed.
    if (required & FILE_WRITE_ACCESS) {
        DropMount(file->Volume());
        // A virtual disk may have gained or lost its medium.
        if (file->Volume()->DriverObject != diskDriver_) {
            NoticeMediaChange(file->Volume());
            VolumeChanged(file->Volume());
        }
    } else {
        VolumeChanged(file->Volume());
    }
    wire::WriteReplyHeader(reply, static_cast<uint32_t>(status), information);
    if (!NT_ERROR(status)) reply.Bytes(output.data(), std::min<size_t>(information, outLength));
}

void Machine::OnFlush(Connection& conn, wire::Reader& args, wire::Writer& reply) {
    uint32_t handle = 0;
    if (!args.U32(handle)) return wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
    auto* file = FileOrRefuse(conn, handle, reply);
    if (!file) return;
    // Flushing is writing: a handle opened only to read may not.
    if (!file->CanWrite()) return wire::WriteReplyHeader(reply, STATUS_ACCESS_DENIED, 0);
    const NTSTATUS status = IoSendSimple(file->Top(), file->FileObject(), IRP_MJ_FLUSH_BUFFERS, 0);
    wire::WriteReplyHeader(reply, static_cast<uint32_t>(status), 0);
}

void Machine::OnMapGenerations(Connection& conn, wire::Reader& args, wire::Writer& reply) {
    uint32_t handle = 0;
    if (!args.U32(handle)) {
        wire::WriteReplyHeader(reply, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    auto* file = FileOrRefuse(conn, handle, reply);
    if (!file) return;
    // The reply goes out here, with the page's descriptor.
    wire::Writer answer;
    wire::WriteReplyHeader(answer, STATUS_SUCCESS, file->GenerationSlot());
    conn.Send(answer.Finish(), generations_.Fd());
}

void Machine::SetViewWriteHold(ViewWriteHold hold) {
    auto next = hold ? std::make_shared<const ViewWriteHold>(std::move(hold)) : nullptr;
    std::lock_guard<std::mutex> guard(viewHoldMutex_);
    viewHold_ = std::move(next);
}

std::shared_ptr<void> Machine::HoldViewWrites(PDEVICE_OBJECT volume) {
    std::shared_ptr<const ViewWriteHold> hold;
    {
        std::lock_guard<std::mutex> guard(viewHoldMutex_);
        hold = viewHold_;
    }
    return hold ? (*hold)(volume) : nullptr;
}

}  // namespace tarn::host
