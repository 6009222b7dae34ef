// Open, close, read, write and flush. Transfers and flushes only queue: the device's
// worker thread does every transfer (worker.cpp).
#include "vdisk/extension.h"

namespace {

NTSTATUS CompleteHere(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

}  // namespace

// Contract: completes the request at once; any caller may open any device.
NTSTATUS VdiskCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = FILE_OPENED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Contract: an empty device and an empty transfer complete here; everything
// else is pending and the worker completes it.
NTSTATUS VdiskReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    VDISK_EXTENSION* extension = VdiskExtension(DeviceObject);
    if (!FlagIsSet(extension->MediaPresent)) return CompleteHere(Irp, STATUS_NO_MEDIA_IN_DEVICE);
    // Read and Write parameters share one layout.
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length == 0) return CompleteHere(Irp, STATUS_SUCCESS);
    return VdiskQueueRequest(extension, Irp);
}

// Contract: a flush waits in the queue behind the writes before it, so it
// covers them; the worker completes it.
NTSTATUS VdiskFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    VDISK_EXTENSION* extension = VdiskExtension(DeviceObject);
    if (!FlagIsSet(extension->MediaPresent)) return CompleteHere(Irp, STATUS_NO_MEDIA_IN_DEVICE);
    return VdiskQueueRequest(extension, Irp);
}
