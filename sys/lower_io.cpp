// Forwarding to NextLower, mapping request buffers, and the filter's own
// requests (raw write, probe read).
#include "sys/lower_io.h"

#include <cstring>

NTSTATUS ForwardRequest(FILTER_EXTENSION* Extension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Extension->NextLower, Irp);
}

// Completion routine of ForwardAndWait: hands the request back to the waiting
// dispatch routine, which completes it.
static NTSTATUS ForwardAndWaitDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(FILTER_EXTENSION* Extension, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardAndWaitDone, &done, TRUE, TRUE, TRUE);

    // The completion routine signals on every way the request comes back, so
    // waiting is right whatever the call returns (a lower driver that
    // completes on another thread without reporting STATUS_PENDING cannot
    // hand us a request that is still in use).
    (void)IoCallDriver(Extension->NextLower, Irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

PUCHAR MapRequestBuffer(PIRP Irp)
{
    PMDL mdl = Irp->MdlAddress;
    if (mdl == nullptr) {
        return nullptr;
    }
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return static_cast<PUCHAR>(mdl->MappedSystemVa);
    }
    return static_cast<PUCHAR>(
        MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority));
}

namespace {

// What the waiting side of a LowerTransfer shares with its completion routine.
struct LOWER_TRANSFER_WAIT {
    KEVENT Done;
    IO_STATUS_BLOCK IoStatus;
    PVOID Buffer;
    ULONG Length;
};

}  // namespace

// Completion routine of the filter's own requests: tears the request down
// completely (nobody else will) and reports its status to the waiter.
static NTSTATUS LowerTransferDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* wait = static_cast<LOWER_TRANSFER_WAIT*>(Context);

    if (Irp->Flags & IRP_BUFFERED_IO) {
        // A buffered read's data may be copied back only by the I/O manager's
        // final completion stage, which never runs for this request: copy it
        // here (never more than the buffer we built the request with).
        if ((Irp->Flags & IRP_INPUT_OPERATION) && NT_SUCCESS(Irp->IoStatus.Status) &&
            Irp->AssociatedIrp.SystemBuffer != nullptr) {
            ULONG_PTR length = Irp->IoStatus.Information;
            if (length > wait->Length) {
                length = wait->Length;
            }
            std::memcpy(wait->Buffer, Irp->AssociatedIrp.SystemBuffer, length);
        }
        if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer != nullptr) {
            ExFreePool(Irp->AssociatedIrp.SystemBuffer);
            Irp->AssociatedIrp.SystemBuffer = nullptr;
        }
    }
    for (PMDL mdl = Irp->MdlAddress; mdl != nullptr;) {
        PMDL next = mdl->Next;
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    Irp->MdlAddress = nullptr;

    wait->IoStatus = Irp->IoStatus;
    IoFreeIrp(Irp);
    // Signalled whether or not the request pended, so the waiter never depends
    // on the lower driver's pending bookkeeping. Last: the waiter's frame may
    // be gone once it runs.
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS LowerTransfer(PDEVICE_OBJECT Lower, UCHAR MajorFunction, PVOID Buffer, ULONG Length,
                       LONGLONG Offset)
{
    LOWER_TRANSFER_WAIT wait{};
    KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
    wait.Buffer = Buffer;
    wait.Length = Length;

    LARGE_INTEGER startingOffset;
    startingOffset.QuadPart = Offset;
    PIRP irp = IoBuildAsynchronousFsdRequest(MajorFunction, Lower, Buffer, Length, &startingOffset,
                                             &wait.IoStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetCompletionRoutine(irp, LowerTransferDone, &wait, TRUE, TRUE, TRUE);

    // The completion routine always signals, so waiting is right whatever the
    // call returns; the request is gone once it has.
    (void)IoCallDriver(Lower, irp);
    KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, nullptr);
    return wait.IoStatus.Status;
}
