// The control routine: mount, unmount and query for the service, the
// standard disk and CD-ROM queries, and the five encryption codes of the
// filter with the same records and results. Mount, unmount and raw write
// need the medium and go to the worker; everything else is answered here.
#include <ntdddisk.h>

#include <algorithm>

#include "sys/ioctl.h"
#include "vdisk/extension.h"

namespace {

constexpr ULONG kDiskGeometryBytes = sizeof(DISK_GEOMETRY);  // 24
constexpr ULONG kTocBytes = sizeof(CDROM_TOC);               // 804

// A request answered here: status, Information, no priority boost.
NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? Information : 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

struct Request {
    PIRP Irp;
    ULONG Code;
    ULONG InputLength;
    ULONG OutputLength;
    PUCHAR Buffer;  // METHOD_BUFFERED: input in, output out
};

NTSTATUS Mount(PDEVICE_OBJECT DeviceObject, const Request& r)
{
    VDISK_EXTENSION* extension = VdiskExtension(DeviceObject);
    if (FlagIsSet(extension->MediaPresent)) {
        return Complete(r.Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (r.InputLength != VDISK_MOUNT_RECORD_SIZE) {
        return Complete(r.Irp, STATUS_INVALID_PARAMETER, 0);
    }
    NTSTATUS status = VdiskCaptureClient(r.Irp);
    if (!NT_SUCCESS(status)) {
        return Complete(r.Irp, status, 0);
    }
    return VdiskQueueRequest(extension, r.Irp);
}

NTSTATUS Query(PDEVICE_OBJECT DeviceObject, const Request& r)
{
    VDISK_EXTENSION* extension = VdiskExtension(DeviceObject);
    if (r.OutputLength < VDISK_MOUNT_RECORD_SIZE) {
        return Complete(r.Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    // Only the query's fields are written; what the caller passed in stays,
    // and the part it passed nothing for holds no stale pool contents.
    if (r.InputLength < VDISK_MOUNT_RECORD_SIZE) {
        RtlZeroMemory(r.Buffer + r.InputLength, VDISK_MOUNT_RECORD_SIZE - r.InputLength);
    }
    auto* record = reinterpret_cast<VDISK_MOUNT_RECORD*>(r.Buffer);
    {
        FastMutexGuard lock(&extension->MountLock);
        record->DiskSize = extension->DiskSize;
        record->ReadOnly = extension->ReadOnly;
        record->UseLocalCache = extension->UseLocalCache;
        record->DiskKind = extension->DiskKind;
        record->ServerAddress = extension->ServerAddress;
        record->ServerPort = extension->ServerPort;
        record->DeviceNumber = extension->DeviceNumber;
        if (extension->FileName.Buffer != nullptr) {
            RtlCopyMemory(record->FileName, extension->FileName.Buffer,
                          std::min<size_t>(extension->FileName.Length, VDISK_NAME_BYTES));
        }
    }
    return Complete(r.Irp, STATUS_SUCCESS, VDISK_MOUNT_RECORD_SIZE);
}

NTSTATUS QueryState(VDISK_EXTENSION* Extension, const Request& r)
{
    if (r.OutputLength < CRYPT_STATE_LENGTH) {
        return Complete(r.Irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG state = FlagIsSet(Extension->Encrypted) ? 1 : 0;
    RtlCopyMemory(r.Buffer, &state, sizeof(state));
    return Complete(r.Irp, STATUS_SUCCESS, CRYPT_STATE_LENGTH);
}

NTSTATUS SetKey(VDISK_EXTENSION* Extension, const Request& r)
{
    if (r.InputLength < CRYPT_KEY_LENGTH) {
        return Complete(r.Irp, STATUS_INVALID_PARAMETER, 0);
    }
    {
        FastMutexGuard lock(&Extension->CryptLock);
        AesSetKey(&Extension->UserKey, r.Buffer, 256);
        SetFlag(Extension->KeyLoaded, true);
    }
    // The I/O manager's copy of the key is not needed any more.
    RtlSecureZeroMemory(r.Buffer, CRYPT_KEY_LENGTH);
    return Complete(r.Irp, STATUS_SUCCESS, 0);
}

NTSTATUS ClearKey(VDISK_EXTENSION* Extension, const Request& r)
{
    FastMutexGuard lock(&Extension->CryptLock);
    VdiskForgetKey(Extension);
    return Complete(r.Irp, STATUS_SUCCESS, 0);
}

NTSTATUS EndEncryption(VDISK_EXTENSION* Extension, const Request& r)
{
    FastMutexGuard lock(&Extension->CryptLock);
    SetFlag(Extension->Encrypted, false);
    VdiskForgetKey(Extension);
    return Complete(r.Irp, STATUS_SUCCESS, 0);
}

NTSTATUS RawWrite(VDISK_EXTENSION* Extension, const Request& r)
{
    // Whole units, 512 to 65536 bytes, after the 8-byte offset.
    if (r.InputLength < RAW_WRITE_HEADER_LENGTH + RAW_WRITE_MIN_DATA ||
        r.InputLength > RAW_WRITE_HEADER_LENGTH + RAW_WRITE_MAX_DATA ||
        (r.InputLength - RAW_WRITE_HEADER_LENGTH) % VDISK_UNIT_SIZE != 0) {
        return Complete(r.Irp, STATUS_INVALID_PARAMETER, 0);
    }
    return VdiskQueueRequest(Extension, r.Irp);
}

NTSTATUS Geometry(VDISK_EXTENSION* Extension, const Request& r)
{
    if (r.OutputLength < kDiskGeometryBytes) {
        return Complete(r.Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    DISK_GEOMETRY geometry{};
    geometry.Cylinders.QuadPart = Extension->DiskSize >> 15;  // 2 tracks x 32 sectors x 512 bytes
    geometry.MediaType = FixedMedia;
    geometry.TracksPerCylinder = 2;
    geometry.SectorsPerTrack = 32;
    geometry.BytesPerSector = 512;
    RtlCopyMemory(r.Buffer, &geometry, sizeof(geometry));
    return Complete(r.Irp, STATUS_SUCCESS, kDiskGeometryBytes);
}

NTSTATUS ReadToc(const Request& r)
{
    if (r.OutputLength < kTocBytes) {
        return Complete(r.Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    CDROM_TOC toc{};
    toc.FirstTrack = 1;
    toc.LastTrack = 1;
    toc.TrackData[0].Control = 4;  // data track
    toc.TrackData[0].Adr = 0;
    RtlCopyMemory(r.Buffer, &toc, sizeof(toc));
    return Complete(r.Irp, STATUS_SUCCESS, kTocBytes);
}

NTSTATUS PartitionInfo(VDISK_EXTENSION* Extension, const Request& r)
{
    if (r.OutputLength < sizeof(PARTITION_INFORMATION)) {
        return Complete(r.Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    PARTITION_INFORMATION info{};
    info.StartingOffset.QuadPart = 0;
    info.PartitionLength.QuadPart = Extension->DiskSize;
    info.HiddenSectors = 1;
    RtlCopyMemory(r.Buffer, &info, sizeof(info));
    return Complete(r.Irp, STATUS_SUCCESS, sizeof(PARTITION_INFORMATION));
}

NTSTATUS PartitionInfoEx(VDISK_EXTENSION* Extension, const Request& r)
{
    if (r.OutputLength < sizeof(PARTITION_INFORMATION_EX)) {
        return Complete(r.Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    PARTITION_INFORMATION_EX info{};
    info.PartitionStyle = PARTITION_STYLE_MBR;
    info.PartitionLength.QuadPart = Extension->DiskSize;
    info.Mbr.HiddenSectors = 1;
    RtlCopyMemory(r.Buffer, &info, sizeof(info));
    return Complete(r.Irp, STATUS_SUCCESS, sizeof(PARTITION_INFORMATION_EX));
}

NTSTATUS LengthInfo(VDISK_EXTENSION* Extension, const Request& r)
{
    if (r.OutputLength < sizeof(GET_LENGTH_INFORMATION)) {
        return Complete(r.Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    GET_LENGTH_INFORMATION info{};
    info.Length.QuadPart = Extension->DiskSize;
    RtlCopyMemory(r.Buffer, &info, sizeof(info));
    return Complete(r.Irp, STATUS_SUCCESS, sizeof(GET_LENGTH_INFORMATION));
}

NTSTATUS Verify(const Request& r)
{
    if (r.InputLength < sizeof(VERIFY_INFORMATION)) {
        return Complete(r.Irp, STATUS_INVALID_PARAMETER, 0);
    }
    VERIFY_INFORMATION info;
    RtlCopyMemory(&info, r.Buffer, sizeof(info));
    return Complete(r.Irp, STATUS_SUCCESS, info.Length);  // nothing to verify on a file
}

NTSTATUS Performance(const Request& r)
{
    if (r.OutputLength < sizeof(DISK_PERFORMANCE)) {
        return Complete(r.Irp, STATUS_INVALID_PARAMETER, 0);
    }
    // No counters are kept; zeroes rather than whatever the buffer held.
    RtlZeroMemory(r.Buffer, sizeof(DISK_PERFORMANCE));
    return Complete(r.Irp, STATUS_SUCCESS, sizeof(DISK_PERFORMANCE));
}

NTSTATUS IsWritable(VDISK_EXTENSION* Extension, const Request& r)
{
    return Complete(r.Irp, FlagIsSet(Extension->ReadOnly) ? STATUS_MEDIA_WRITE_PROTECTED : STATUS_SUCCESS, 0);
}

NTSTATUS SetPartitionInfo(VDISK_EXTENSION* Extension, const Request& r)
{
    if (FlagIsSet(Extension->ReadOnly)) {
        return Complete(r.Irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
    }
    if (r.InputLength < sizeof(SET_PARTITION_INFORMATION)) {
        return Complete(r.Irp, STATUS_INVALID_PARAMETER, 0);
    }
    return Complete(r.Irp, STATUS_SUCCESS, 0);  // an image has no partition table to change
}

}  // namespace

// Contract: requests answered here complete before the routine returns;
// mount, unmount and raw write are pending and completed by the worker.
NTSTATUS VdiskDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    VDISK_EXTENSION* extension = VdiskExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const Request r{Irp, stack->Parameters.DeviceIoControl.IoControlCode,
                    stack->Parameters.DeviceIoControl.InputBufferLength,
                    stack->Parameters.DeviceIoControl.OutputBufferLength,
                    static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer)};

    if (!FlagIsSet(extension->MediaPresent) && r.Code != IOCTL_VDISK_MOUNT) {
        return Complete(Irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
    }

    switch (r.Code) {
    case IOCTL_VDISK_MOUNT:
        return Mount(DeviceObject, r);
    case IOCTL_VDISK_UNMOUNT:
        return VdiskQueueRequest(extension, Irp);
    case IOCTL_VDISK_QUERY:
        return Query(DeviceObject, r);

    case IOCTL_CRYPT_QUERY_STATE:
        return QueryState(extension, r);
    case IOCTL_CRYPT_SET_KEY:
        return SetKey(extension, r);
    case IOCTL_CRYPT_CLEAR_KEY:
        return ClearKey(extension, r);
    case IOCTL_CRYPT_RAW_WRITE:
        return RawWrite(extension, r);
    case IOCTL_CRYPT_END_ENCRYPTION:
        return EndEncryption(extension, r);

    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
    case IOCTL_CDROM_GET_DRIVE_GEOMETRY:
        return Geometry(extension, r);
    case IOCTL_CDROM_READ_TOC:
        return ReadToc(r);
    case IOCTL_DISK_GET_PARTITION_INFO:
        return PartitionInfo(extension, r);
    case IOCTL_DISK_GET_PARTITION_INFO_EX:
        return PartitionInfoEx(extension, r);
    case IOCTL_DISK_GET_LENGTH_INFO:
        return LengthInfo(extension, r);
    case IOCTL_DISK_VERIFY:
        return Verify(r);
    case IOCTL_DISK_PERFORMANCE:
        return Performance(r);
    case IOCTL_DISK_IS_WRITABLE:
        return IsWritable(extension, r);
    case IOCTL_DISK_SET_PARTITION_INFO:
        return SetPartitionInfo(extension, r);

    case IOCTL_CDROM_CHECK_VERIFY:
    case IOCTL_DISK_CHECK_VERIFY:
    case IOCTL_DISK_MEDIA_REMOVAL:
    case IOCTL_STORAGE_CHECK_VERIFY2:
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_STORAGE_MEDIA_REMOVAL:
        return Complete(Irp, STATUS_SUCCESS, 0);

    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}
