// Reads and writes of whole sectors between the request's buffer and the
// backing file.
#include <cerrno>

#include <unistd.h>

#include "platform/host/volume/volume.h"

namespace tarn::host {

namespace {

constexpr ULONG kSectorSize = 512;

// Moves exactly length bytes unless the file ends or fails; returns the bytes moved.
ULONG Transfer(bool write, int fd, PUCHAR buffer, ULONG length, ULONGLONG offset, int* error) {
    ULONG done = 0;
    *error = 0;
    while (done < length) {
        const ssize_t n = write ? ::pwrite(fd, buffer + done, length - done, static_cast<off_t>(offset + done))
                                : ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = errno;
            break;
        }
        if (n == 0) break;
        done += static_cast<ULONG>(n);
    }
    return done;
}

}  // namespace

// Contract: completes every request itself, at once. Offsets and lengths must
// be whole sectors; a transfer that runs past the end of the medium is cut at
// the end (Information says how much moved), one that starts at the end
// reads as end of file.
NTSTATUS VolumeDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    const bool write = sp->MajorFunction == IRP_MJ_WRITE;
    const ULONG length = write ? sp->Parameters.Write.Length : sp->Parameters.Read.Length;
    const LONGLONG start = write ? sp->Parameters.Write.ByteOffset.QuadPart : sp->Parameters.Read.ByteOffset.QuadPart;
    VolumeMedia* media = VolumeExtension(DeviceObject)->Media;

    if (start < 0 || start % kSectorSize || length % kSectorSize) return VolumeComplete(Irp, STATUS_INVALID_PARAMETER, 0);
    std::shared_lock<std::shared_mutex> guard(media->lock);
    if (media->fd < 0) return VolumeComplete(Irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
    if (write && media->readOnly) return VolumeComplete(Irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
    const ULONGLONG offset = static_cast<ULONGLONG>(start);
    if (offset >= media->length) {
        if (length == 0) return VolumeComplete(Irp, STATUS_SUCCESS, 0);
        return VolumeComplete(Irp, write ? STATUS_INVALID_PARAMETER : STATUS_END_OF_FILE, 0);
    }
    if (length == 0) return VolumeComplete(Irp, STATUS_SUCCESS, 0);
    const ULONG count = static_cast<ULONG>(std::min<ULONGLONG>(length, media->length - offset));

    PUCHAR buffer = nullptr;
    if (Irp->MdlAddress) {
        buffer = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority));
    } else {
        buffer = static_cast<PUCHAR>(Irp->UserBuffer ? Irp->UserBuffer : Irp->AssociatedIrp.SystemBuffer);
    }
    // Nothing touched when the buffer cannot be reached.
    if (!buffer) return VolumeComplete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);

    int error = 0;
    const ULONG done = Transfer(write, media->fd, buffer, count, offset, &error);
    if (error == ENOSPC) return VolumeComplete(Irp, STATUS_DISK_FULL, done);
    if (error) return VolumeComplete(Irp, STATUS_IO_DEVICE_ERROR, done);
    // A backing file that shrank under us: what is missing is a device error,
    // never stale bytes.
    if (done < count) return VolumeComplete(Irp, STATUS_DEVICE_DATA_ERROR, done);
    return VolumeComplete(Irp, STATUS_SUCCESS, done);
}

}  // namespace tarn::host
