#include "tests/support/irp_sender.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tarn::test {

namespace {

constexpr ULONG kSenderTag = 0x74736554;  // 'Test'

NTSTATUS SenderDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP NewIrp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor)
{
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        throw std::runtime_error("irp sender: IoAllocateIrp failed");
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    return irp;
}

// Sends the request and waits until it comes back to us; the request is
// still ours afterwards (our completion routine stops the completion).
IrpResult Run(PDEVICE_OBJECT top, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SenderDone, &done, TRUE, TRUE, TRUE);
    (void)IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return IrpResult{irp->IoStatus.Status, irp->IoStatus.Information};
}

IrpResult SendTransfer(PDEVICE_OBJECT top, UCHAR major, int64_t offset, void* buffer, ULONG length,
                       BufferMapping mapping)
{
    PIRP irp = NewIrp(top, major, 0);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.ByteOffset.QuadPart = offset;
    irp->UserBuffer = buffer;

    bool locked = false;
    if (top->Flags & DO_BUFFERED_IO) {
        irp->AssociatedIrp.SystemBuffer = buffer;
    } else if (mapping != BufferMapping::None) {
        PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
        if (mdl == nullptr) {
            IoFreeIrp(irp);
            throw std::runtime_error("irp sender: IoAllocateMdl failed");
        }
        if (mapping == BufferMapping::Mapped) {
            MmBuildMdlForNonPagedPool(mdl);
        } else {
            MmProbeAndLockPages(mdl, KernelMode, major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
            locked = true;
        }
    }

    IrpResult result = Run(top, irp);
    if (PMDL mdl = irp->MdlAddress; mdl != nullptr) {
        if (locked) {
            MmUnlockPages(mdl);
        }
        IoFreeMdl(mdl);
        irp->MdlAddress = nullptr;
    }
    IoFreeIrp(irp);
    return result;
}

}  // namespace

IrpResult SendRead(PDEVICE_OBJECT top, int64_t offset, void* buffer, ULONG length, BufferMapping mapping)
{
    return SendTransfer(top, IRP_MJ_READ, offset, buffer, length, mapping);
}

IrpResult SendWrite(PDEVICE_OBJECT top, int64_t offset, void* buffer, ULONG length, BufferMapping mapping)
{
    return SendTransfer(top, IRP_MJ_WRITE, offset, buffer, length, mapping);
}

IrpResult SendControl(PDEVICE_OBJECT top, ULONG code, const std::vector<uint8_t>& input, std::vector<uint8_t>* output,
                      ULONG outputLength, bool internal, std::vector<uint8_t>* systemBuffer)
{
    PIRP irp = NewIrp(top, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, 0);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;

    const size_t bufferLength = std::max<size_t>(input.size(), outputLength);
    PUCHAR buffer = nullptr;
    if (bufferLength != 0) {
        buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bufferLength, kSenderTag));
        if (buffer == nullptr) {
            IoFreeIrp(irp);
            throw std::runtime_error("irp sender: no system buffer");
        }
        std::memset(buffer, 0, bufferLength);
        if (!input.empty()) {
            std::memcpy(buffer, input.data(), input.size());
        }
    }
    irp->AssociatedIrp.SystemBuffer = buffer;

    IrpResult result = Run(top, irp);
    if (output != nullptr) {
        const size_t copied = std::min<size_t>(result.information, outputLength);
        output->assign(buffer, buffer + (NT_SUCCESS(result.status) ? copied : 0));
    }
    if (systemBuffer != nullptr) {
        systemBuffer->assign(buffer, buffer + bufferLength);
    }
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, kSenderTag);
    }
    IoFreeIrp(irp);
    return result;
}

IrpResult SendPnp(PDEVICE_OBJECT top, UCHAR minor)
{
    PIRP irp = NewIrp(top, IRP_MJ_PNP, minor);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IrpResult result = Run(top, irp);
    IoFreeIrp(irp);
    return result;
}

IrpResult SendPower(PDEVICE_OBJECT top, UCHAR minor)
{
    PIRP irp = NewIrp(top, IRP_MJ_POWER, minor);
    IrpResult result = Run(top, irp);
    IoFreeIrp(irp);
    return result;
}

IrpResult SendOther(PDEVICE_OBJECT top, UCHAR major)
{
    PIRP irp = NewIrp(top, major, 0);
    IrpResult result = Run(top, irp);
    IoFreeIrp(irp);
    return result;
}

}  // namespace tarn::test
