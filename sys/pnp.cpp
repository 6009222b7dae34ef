// Plug and Play: start, stop, removal and the usage notification.
#include "cipher/aes.h"
#include "sys/filter.h"
#include "sys/guards.h"
#include "sys/lower_io.h"

// Start: the lower stack starts first; only then is the device's removable
// media characteristic known.
static NTSTATUS StartDevice(FILTER_EXTENSION* Extension, PIRP Irp)
{
    const NTSTATUS status = ForwardAndWait(Extension, Irp);
    if (NT_SUCCESS(status)) {
        SetPnpState(Extension, PnpStarted);
        if (Extension->NextLower->Characteristics & FILE_REMOVABLE_MEDIA) {
            Extension->Self->Characteristics |= FILE_REMOVABLE_MEDIA;
        }
    }
    return CompleteWithLowerStatus(Irp);
}

// Removal: waits for every request still holding the remove lock, passes the
// request down, then leaves the stack. The keys are wiped before the device
// (and with it the extension) goes.
static NTSTATUS RemoveDevice(FILTER_EXTENSION* Extension, PIRP Irp, RemoveLockGuard& RemoveLock)
{
    RemoveLock.ReleaseAndWait();
    const NTSTATUS status = ForwardRequest(Extension, Irp);
    SetPnpState(Extension, PnpDeleted);

    {
        CryptLockGuard cryptLock(&Extension->CryptLock);
        SetFlag(Extension->KeyLoaded, false);
        AesWipeKey(&Extension->UserKey);
        AesWipeKey(&Extension->FixedKey);
    }

    PDEVICE_OBJECT self = Extension->Self;
    IoDetachDevice(Extension->NextLower);
    IoDeleteDevice(self);
    return status;
}

// Completion of the usage notification: the filter follows the lower device's
// pageability and gives up the remove lock the dispatch routine handed on.
static NTSTATUS UsageNotificationDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* extension = static_cast<FILTER_EXTENSION*>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (!(extension->NextLower->Flags & DO_POWER_PAGABLE)) {
        extension->Self->Flags &= ~DO_POWER_PAGABLE;
    }
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return STATUS_CONTINUE_COMPLETION;
}

static NTSTATUS UsageNotification(FILTER_EXTENSION* Extension, PIRP Irp, RemoveLockGuard& RemoveLock)
{
    PDEVICE_OBJECT self = Extension->Self;
    if (self->AttachedDevice == nullptr || (self->AttachedDevice->Flags & DO_POWER_PAGABLE)) {
        self->Flags |= DO_POWER_PAGABLE;
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, UsageNotificationDone, Extension, TRUE, TRUE, TRUE);
    RemoveLock.HandOff();
    return IoCallDriver(Extension->NextLower, Irp);
}

// Contract: every minor code holds the remove lock while it is handled; the
// lower driver completes the request except for start, which completes here.
NTSTATUS FilterPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FILTER_EXTENSION* extension = FilterExtension(DeviceObject);
    RemoveLockGuard removeLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(removeLock.Status())) {
        return CompleteRequest(Irp, removeLock.Status(), 0);
    }

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(extension, Irp);

    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(extension, Irp, removeLock);

    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return UsageNotification(extension, Irp, removeLock);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        SetPnpState(extension, PnpRemovePending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (extension->PnpState == PnpRemovePending) {
            RestorePnpState(extension);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_QUERY_STOP_DEVICE:
        SetPnpState(extension, PnpStopPending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_CANCEL_STOP_DEVICE:
        if (extension->PnpState == PnpStopPending) {
            RestorePnpState(extension);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_STOP_DEVICE:
        SetPnpState(extension, PnpStopped);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    case IRP_MN_SURPRISE_REMOVAL:
        SetPnpState(extension, PnpSurpriseRemovePending);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;

    default:
        break;
    }
    return ForwardRequest(extension, Irp);
}
