#include "platform/host/volume/volume.h"

#include <unistd.h>

namespace tarn::host {

extern "C" NTSTATUS VolumeDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = VolumeDispatchUnsupported;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = VolumeDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = VolumeDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = VolumeDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = VolumeDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = VolumeDispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VolumeDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = VolumeDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = VolumeDispatchFlush;
    DriverObject->MajorFunction[IRP_MJ_PNP] = VolumeDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = VolumeDispatchPower;
    return STATUS_SUCCESS;
}

NTSTATUS VolumeCreateDevice(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING Name, VolumeKind Kind, ULONG Number,
                            VolumeMedia* Media, PDEVICE_OBJECT* Device) {
    ULONG characteristics = 0;
    DEVICE_TYPE type = FILE_DEVICE_DISK;
    switch (Kind) {
    case VolumeKind::Fixed: break;
    case VolumeKind::Removable: characteristics = FILE_REMOVABLE_MEDIA; break;
    case VolumeKind::CdRom:
        type = FILE_DEVICE_CD_ROM;
        characteristics = FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE;
        break;
    case VolumeKind::Remote: characteristics = FILE_REMOTE_DEVICE; break;
    }
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(VOLUME_EXTENSION), const_cast<PUNICODE_STRING>(Name), type,
                                     characteristics, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    PVOLUME_EXTENSION ext = VolumeExtension(device);
    ext->Self = device;
    ext->Kind = Kind;
    ext->DeviceNumber = Number;
    ext->Media = Media;
    device->Flags |= DO_DIRECT_IO;
    device->AlignmentRequirement = FILE_WORD_ALIGNMENT;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *Device = device;
    return STATUS_SUCCESS;
}

NTSTATUS VolumeDispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return VolumeComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS VolumeDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Opening the device itself needs no medium: an empty CD drive opens and
    // its reads then fail with STATUS_NO_MEDIA_IN_DEVICE.
    UNREFERENCED_PARAMETER(DeviceObject);
    return VolumeComplete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS VolumeDispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    VolumeMedia* media = VolumeExtension(DeviceObject)->Media;
    std::shared_lock<std::shared_mutex> guard(media->lock);
    if (media->fd < 0) return VolumeComplete(Irp, STATUS_NO_MEDIA_IN_DEVICE, 0);
    return VolumeComplete(Irp, ::fdatasync(media->fd) == 0 ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR, 0);
}

NTSTATUS VolumeDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PoStartNextPowerIrp(Irp);
    return VolumeComplete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS VolumeDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        return VolumeComplete(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE: {
        // The bottom of the stack goes last: everything above has already
        // detached by the time the request reaches here.
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        IoDeleteDevice(DeviceObject);
        return STATUS_SUCCESS;
    }
    default: {
        // A bus driver leaves what it does not know with the status it came with.
        const NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

}  // namespace tarn::host
