// Device control requests a volume answers (METHOD_BUFFERED, system buffer).
#include <cstring>

#include "platform/host/volume/volume.h"

namespace tarn::host {

namespace {

constexpr ULONG kTracksPerCylinder = 255;
constexpr ULONG kSectorsPerTrack = 63;
constexpr ULONG kCdSectorSize = 2048;

// Copies a record into the system buffer when it fits.
template <class T>
NTSTATUS Answer(PIRP Irp, ULONG outLength, const T& record) {
    if (outLength < sizeof(T)) return VolumeComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    std::memcpy(Irp->AssociatedIrp.SystemBuffer, &record, sizeof(T));
    return VolumeComplete(Irp, STATUS_SUCCESS, sizeof(T));
}

bool IsCheckVerify(ULONG code) {
    return code == IOCTL_DISK_CHECK_VERIFY || code == IOCTL_STORAGE_CHECK_VERIFY ||
           code == IOCTL_STORAGE_CHECK_VERIFY2 || code == IOCTL_CDROM_CHECK_VERIFY;
}

}  // namespace

NTSTATUS VolumeDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    const ULONG outLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    PVOLUME_EXTENSION ext = VolumeExtension(DeviceObject);
    VolumeMedia* media = ext->Media;
    const bool cd = ext->Kind == VolumeKind::CdRom;

    std::shared_lock<std::shared_mutex> guard(media->lock);
    const bool present = media->fd >= 0;
    const ULONGLONG length = media->length;

    if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
        STORAGE_DEVICE_NUMBER n{};
        n.DeviceType = DeviceObject->DeviceType;
        n.DeviceNumber = ext->DeviceNumber;
        n.PartitionNumber = cd ? 0xFFFFFFFF : 1;
        return Answer(Irp, outLength, n);
    }
    if (IsCheckVerify(code)) {
        if (!present) return VolumeComplete(Irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
        if (outLength >= sizeof(ULONG)) {
            std::memcpy(Irp->AssociatedIrp.SystemBuffer, &media->changeCount, sizeof(ULONG));
            return VolumeComplete(Irp, STATUS_SUCCESS, sizeof(ULONG));
        }
        return VolumeComplete(Irp, STATUS_SUCCESS, 0);
    }
    // Everything below describes the medium.
    const bool known = code == IOCTL_DISK_GET_PARTITION_INFO || code == IOCTL_DISK_GET_PARTITION_INFO_EX ||
                       code == IOCTL_DISK_GET_LENGTH_INFO || code == IOCTL_DISK_IS_WRITABLE ||
                       code == IOCTL_DISK_GET_DRIVE_GEOMETRY || code == IOCTL_CDROM_GET_DRIVE_GEOMETRY;
    if (!known || (code == IOCTL_CDROM_GET_DRIVE_GEOMETRY && !cd)) {
        return VolumeComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!present) return VolumeComplete(Irp, STATUS_NO_MEDIA_IN_DEVICE, 0);

    switch (code) {
    case IOCTL_DISK_GET_PARTITION_INFO: {
        PARTITION_INFORMATION p{};
        p.StartingOffset.QuadPart = 0;
        p.PartitionLength.QuadPart = static_cast<LONGLONG>(length);
        p.HiddenSectors = 0;
        p.PartitionNumber = cd ? 0 : 1;
        p.PartitionType = cd ? 0 : 0x0C;  // FAT32 with LBA, what a formatted data volume carries
        p.RecognizedPartition = TRUE;
        return Answer(Irp, outLength, p);
    }
    case IOCTL_DISK_GET_PARTITION_INFO_EX: {
        PARTITION_INFORMATION_EX p{};
        p.PartitionStyle = PARTITION_STYLE_MBR;
        p.PartitionLength.QuadPart = static_cast<LONGLONG>(length);
        p.PartitionNumber = cd ? 0 : 1;
        p.Mbr.PartitionType = cd ? 0 : 0x0C;
        p.Mbr.RecognizedPartition = TRUE;
        return Answer(Irp, outLength, p);
    }
    case IOCTL_DISK_GET_LENGTH_INFO: {
        GET_LENGTH_INFORMATION l{};
        l.Length.QuadPart = static_cast<LONGLONG>(length);
        return Answer(Irp, outLength, l);
    }
    case IOCTL_DISK_IS_WRITABLE:
        return VolumeComplete(Irp, (cd || media->readOnly) ? STATUS_MEDIA_WRITE_PROTECTED : STATUS_SUCCESS, 0);
    case IOCTL_CDROM_GET_DRIVE_GEOMETRY: {
        DISK_GEOMETRY g{};
        g.MediaType = RemovableMedia;
        g.TracksPerCylinder = 64;
        g.SectorsPerTrack = 32;
        g.BytesPerSector = kCdSectorSize;
        g.Cylinders.QuadPart = static_cast<LONGLONG>(length / (64ull * 32 * kCdSectorSize));
        return Answer(Irp, outLength, g);
    }
    default: {  // IOCTL_DISK_GET_DRIVE_GEOMETRY
        DISK_GEOMETRY g{};
        g.MediaType = ext->Kind == VolumeKind::Fixed || ext->Kind == VolumeKind::Remote ? FixedMedia : RemovableMedia;
        g.TracksPerCylinder = kTracksPerCylinder;
        g.SectorsPerTrack = kSectorsPerTrack;
        g.BytesPerSector = cd ? kCdSectorSize : 512;
        g.Cylinders.QuadPart = static_cast<LONGLONG>(length / (kTracksPerCylinder * kSectorsPerTrack * 512ull));
        return Answer(Irp, outLength, g);
    }
    }
}

}  // namespace tarn::host
