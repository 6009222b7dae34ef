#include "platform/host/irp_io.h"

namespace tarn::host {

namespace {

NTSTATUS WaitFor(PDEVICE_OBJECT top, PIRP irp, KEVENT* event, IO_STATUS_BLOCK* iosb) {
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        status = iosb->Status;
    }
    return status;
}

// Completion of the machine's own IRPs: stop the completion here, the sender frees the IRP.
NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    UNREFERENCED_PARAMETER(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS IoSendReadWrite(PDEVICE_OBJECT top, PFILE_OBJECT fileObject, UCHAR major, PVOID buffer, ULONG length,
                         LONGLONG offset, ULONG_PTR* information) {
    *information = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER start;
    start.QuadPart = offset;
    PIRP irp = IoBuildSynchronousFsdRequest(major, top, buffer, length, &start, &event, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = fileObject;
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    const NTSTATUS status = WaitFor(top, irp, &event, &iosb);
    // The I/O manager filled iosb before it signalled the event or returned.
    *information = iosb.Information;
    return status;
}

NTSTATUS IoSendDeviceControl(PDEVICE_OBJECT top, PFILE_OBJECT fileObject, ULONG code, PVOID in, ULONG inLength,
                             PVOID out, ULONG outLength, ULONG_PTR* information) {
    *information = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, in, inLength, out, outLength, FALSE, &event, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = fileObject;
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    const NTSTATUS status = WaitFor(top, irp, &event, &iosb);
    *information = iosb.Information;
    return status;
}

NTSTATUS IoSendSimple(PDEVICE_OBJECT top, PFILE_OBJECT fileObject, UCHAR major, UCHAR minor) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    irp->Tail.Overlay.OriginalFileObject = fileObject;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    sp->FileObject = fileObject;
    IoSetCompletionRoutine(irp, SignalDone, &event, TRUE, TRUE, TRUE);
    // Pending or not, the completion routine signals once the request is done.
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

}  // namespace tarn::host
