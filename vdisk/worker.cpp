// The per-device queue and worker thread. Requests of one device are served
// strictly one after the other, in arrival order.
#include "sys/crypt_ioctl.h"
#include "vdisk/extension.h"
#include "vdisk/netdisk.h"

namespace {

PIRP DequeueRequest(VDISK_EXTENSION* Extension)
{
    PLIST_ENTRY entry = ExInterlockedRemoveHeadList(&Extension->Queue, &Extension->QueueLock);
    return entry == nullptr ? nullptr : CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
}

// Requests that will never be served still complete.
void FailQueued(VDISK_EXTENSION* Extension)
{
    while (PIRP irp = DequeueRequest(Extension)) {
        VdiskFailRequest(irp, STATUS_NO_SUCH_DEVICE);
    }
}

NTSTATUS Transfer(VDISK_EXTENSION* Extension, PIRP Irp, UCHAR MajorFunction)
{
    // An unmount queued ahead of this request has taken the medium away.
    if (!FlagIsSet(Extension->MediaPresent)) {
        Irp->IoStatus.Information = 0;
        return Irp->IoStatus.Status = STATUS_NO_MEDIA_IN_DEVICE;
    }
    if (Extension->DiskKind == VDISK_KIND_NETWORK) {
        return MajorFunction == IRP_MJ_READ ? NetDiskRead(Extension, Irp) : NetDiskWrite(Extension, Irp);
    }
    return MajorFunction == IRP_MJ_READ ? FileDiskRead(Extension, Irp) : FileDiskWrite(Extension, Irp);
}

NTSTATUS RawWrite(VDISK_EXTENSION* Extension, PIRP Irp)
{
    if (!FlagIsSet(Extension->MediaPresent)) {
        Irp->IoStatus.Information = 0;
        return Irp->IoStatus.Status = STATUS_NO_MEDIA_IN_DEVICE;
    }
    // A network disk has no backing file to write past the transform.
    if (Extension->DiskKind == VDISK_KIND_NETWORK) {
        Irp->IoStatus.Information = 0;
        return Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    }
    return FileDiskRawWrite(Extension, Irp);
}

NTSTATUS Flush(VDISK_EXTENSION* Extension, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    if (!FlagIsSet(Extension->MediaPresent)) return Irp->IoStatus.Status = STATUS_NO_MEDIA_IN_DEVICE;
    // A network disk's server has acknowledged every write; nothing is held here.
    if (Extension->DiskKind == VDISK_KIND_NETWORK) return Irp->IoStatus.Status = STATUS_SUCCESS;
    return FileDiskFlush(Extension, Irp);
}

// Serves one request and leaves its final status in Irp->IoStatus.
NTSTATUS HandleRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    VDISK_EXTENSION* extension = VdiskExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        return Transfer(extension, Irp, stack->MajorFunction);
    case IRP_MJ_FLUSH_BUFFERS:
        return Flush(extension, Irp);
    case IRP_MJ_DEVICE_CONTROL:
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_CRYPT_RAW_WRITE:
            return RawWrite(extension, Irp);
        case IOCTL_VDISK_MOUNT:
            return VdiskMount(DeviceObject, Irp);
        case IOCTL_VDISK_UNMOUNT:
            return VdiskUnmount(DeviceObject, Irp);
        default:
            break;
        }
        break;
    default:
        break;
    }
    Irp->IoStatus.Information = 0;
    return Irp->IoStatus.Status = STATUS_DRIVER_INTERNAL_ERROR;
}

}  // namespace

// Contract: the request is the worker's from here; the caller returns
// STATUS_PENDING and must not touch it again.
NTSTATUS VdiskQueueRequest(VDISK_EXTENSION* Extension, PIRP Irp)
{
    IoMarkIrpPending(Irp);
    ExInterlockedInsertTailList(&Extension->Queue, &Irp->Tail.Overlay.ListEntry, &Extension->QueueLock);
    KeSetEvent(&Extension->QueueEvent, 0, FALSE);
    return STATUS_PENDING;
}

VOID VdiskFailRequest(PIRP Irp, NTSTATUS Status)
{
    VdiskReleaseRequestClient(Irp);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// The worker of one device. It runs at PASSIVE_LEVEL with real-time
// priority and holds a reference on its device until it ends.
VOID VdiskWorkerThread(PVOID Context)
{
    auto device = static_cast<PDEVICE_OBJECT>(Context);
    VDISK_EXTENSION* extension = VdiskExtension(device);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);

    while (!FlagIsSet(extension->StopWorker)) {
        KeWaitForSingleObject(&extension->QueueEvent, Executive, KernelMode, FALSE, nullptr);
        // Once a stop is asked for, nothing more is served.
        while (!FlagIsSet(extension->StopWorker)) {
            PIRP irp = DequeueRequest(extension);
            if (irp == nullptr) {
                break;
            }
            NTSTATUS status = HandleRequest(device, irp);
            IoCompleteRequest(irp, NT_SUCCESS(status) ? IO_DISK_INCREMENT : IO_NO_INCREMENT);
        }
    }
    FailQueued(extension);
    ObDereferenceObject(device);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID VdiskStopWorker(VDISK_EXTENSION* Extension)
{
    SetFlag(Extension->StopWorker, true);
    KeSetEvent(&Extension->QueueEvent, 0, FALSE);
    if (Extension->WorkerThread != nullptr) {
        KeWaitForSingleObject(Extension->WorkerThread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(Extension->WorkerThread);
        Extension->WorkerThread = nullptr;
    }
    // Anything queued after the worker's last look.
    FailQueued(Extension);
}
