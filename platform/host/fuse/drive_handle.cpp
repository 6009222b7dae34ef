#include "platform/host/fuse/drive_handle.h"

#include <string>

#include "platform/host/irp_io.h"
#include "platform/nt/host.h"
#include "platform/nt/ntdddisk.h"

namespace tarn::host::fuse {

namespace {

NTSTATUS ReferenceLetter(char letter, PDEVICE_OBJECT& device) {
    // The name a user's open of "\\.\X:" takes, so drive letters of the drive
    // table and of mounted images alike.
    const std::u16string ntName = u"\\??\\" + std::u16string(1, static_cast<char16_t>(letter)) + u":";
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ntName.c_str());
    PVOID object = nullptr;
    const NTSTATUS status = NtHostReferenceObjectByName(&name, *IoDeviceObjectType, &object);
    if (!NT_SUCCESS(status)) return STATUS_OBJECT_NAME_NOT_FOUND;
    device = static_cast<PDEVICE_OBJECT>(object);
    return STATUS_SUCCESS;
}

}  // namespace

bool DriveHandle::Exists(char letter) { return DeviceOf(letter) != nullptr; }

const void* DriveHandle::DeviceOf(char letter) {
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(ReferenceLetter(letter, device))) return nullptr;
    ObDereferenceObject(device);
    return device;
}

NTSTATUS DriveHandle::Open(char letter, std::unique_ptr<DriveHandle>& handle) {
    PDEVICE_OBJECT volume = nullptr;
    NTSTATUS status = ReferenceLetter(letter, volume);
    if (!NT_SUCCESS(status)) return status;
    PFILE_OBJECT fileObject = nullptr;
    status = NtHostCreateFileObject(volume, &fileObject);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(volume);
        return status;
    }
    fileObject->ReadAccess = TRUE;
    fileObject->WriteAccess = TRUE;
    fileObject->SharedRead = TRUE;
    fileObject->SharedWrite = TRUE;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(volume);
    status = IoSendSimple(top, fileObject, IRP_MJ_CREATE, 0);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(top);
        ObDereferenceObject(fileObject);
        ObDereferenceObject(volume);
        return status;
    }
    handle.reset(new DriveHandle(letter, volume, top, fileObject));
    return STATUS_SUCCESS;
}

DriveHandle::~DriveHandle() {
    IoSendSimple(top_, fileObject_, IRP_MJ_CLEANUP, 0);
    IoSendSimple(top_, fileObject_, IRP_MJ_CLOSE, 0);
    ObDereferenceObject(top_);
    ObDereferenceObject(fileObject_);
    ObDereferenceObject(volume_);
}

NTSTATUS DriveHandle::Length(uint64_t& bytes) {
    bytes = 0;
    GET_LENGTH_INFORMATION info{};
    ULONG_PTR returned = 0;
    const NTSTATUS status =
        IoSendDeviceControl(top_, fileObject_, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof(info), &returned);
    if (!NT_SUCCESS(status)) return status;
    if (returned < sizeof(info) || info.Length.QuadPart < 0) return STATUS_DEVICE_DATA_ERROR;
    bytes = static_cast<uint64_t>(info.Length.QuadPart);
    return STATUS_SUCCESS;
}

NTSTATUS DriveHandle::Flush() { return IoSendSimple(top_, fileObject_, IRP_MJ_FLUSH_BUFFERS, 0); }

NTSTATUS DriveHandle::ReadUnits(uint8_t* buffer, uint32_t length, uint64_t offset, uint32_t& done) {
    ULONG_PTR moved = 0;
    const NTSTATUS status =
        IoSendReadWrite(top_, fileObject_, IRP_MJ_READ, buffer, length, static_cast<LONGLONG>(offset), &moved);
    done = static_cast<uint32_t>(moved);
    return status;
}

NTSTATUS DriveHandle::WriteUnits(uint8_t* buffer, uint32_t length, uint64_t offset, uint32_t& done) {
    ULONG_PTR moved = 0;
    const NTSTATUS status =
        IoSendReadWrite(top_, fileObject_, IRP_MJ_WRITE, buffer, length, static_cast<LONGLONG>(offset), &moved);
    done = static_cast<uint32_t>(moved);
    return status;
}

}  // namespace tarn::host::fuse
