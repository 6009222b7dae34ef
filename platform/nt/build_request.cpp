// Requests built by the I/O manager for a driver or the host: reads and
// writes (asynchronous and synchronous) and device control.
#include <algorithm>

#include "private/irp.h"
#include "private/pool.h"
#include "testing.h"

using namespace tarn::nt;

namespace {

// The caller's input (CopyLength bytes of Source) goes in as it is allocated.
PVOID AllocateSystemBuffer(ULONG Length, const void* Source = nullptr, ULONG CopyLength = 0) {
  return AllocatePoolCopyOf(Length, NT_TAG_SYSTEM_BUFFER, Source, CopyLength);
}

bool IsTransfer(ULONG MajorFunction) { return MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE; }

// Frees what a half-built request took.
void Discard(PIRP Irp) {
  for (PMDL mdl = Irp->MdlAddress; mdl != nullptr;) {
    PMDL next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    mdl = next;
  }
  if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer != nullptr)
    ExFreePool(Irp->AssociatedIrp.SystemBuffer);
  IoFreeIrp(Irp);
}

PIRP BuildFsd(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
              PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) {
  if (DeviceObject == nullptr) return nullptr;
  bool transfer = IsTransfer(MajorFunction);
  if (transfer && Length != 0 && Buffer == nullptr) return nullptr;
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = UCHAR(MajorFunction);
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  if (!transfer) return irp;

  if (Length != 0) {
    if (DeviceObject->Flags & DO_BUFFERED_IO) {
      const bool write = MajorFunction == IRP_MJ_WRITE;
      irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(Length, Buffer, write ? Length : 0);
      if (irp->AssociatedIrp.SystemBuffer == nullptr) {
        IoFreeIrp(irp);
        return nullptr;
      }
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (!write) {
        irp->Flags |= IRP_INPUT_OPERATION;
        irp->UserBuffer = Buffer;
        PrivateOf(irp)->CopyLength = Length;
      }
    } else if (DeviceObject->Flags & DO_DIRECT_IO) {
      PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, irp);
      if (mdl == nullptr) {
        IoFreeIrp(irp);
        return nullptr;
      }
      MmProbeAndLockPages(mdl, KernelMode, MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
    } else {
      irp->UserBuffer = Buffer;
    }
  }
  sp->Parameters.Read.Length = Length;
  sp->Parameters.Read.ByteOffset.QuadPart = StartingOffset != nullptr ? StartingOffset->QuadPart : 0;
  return irp;
}

}  // namespace

extern "C" PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                              ULONG Length, PLARGE_INTEGER StartingOffset,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP irp = BuildFsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IoStatusBlock);
  if (irp != nullptr) irp->AllocationFlags |= kIrpAsyncFsd;
  return irp;
}

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                             ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP irp = BuildFsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IoStatusBlock);
  if (irp == nullptr) return nullptr;
  irp->AllocationFlags |= kIrpIoManagerOwned;
  irp->UserEvent = Event;
  return irp;
}

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
  if (DeviceObject == nullptr) return nullptr;
  if ((InputBufferLength != 0 && InputBuffer == nullptr) || (OutputBufferLength != 0 && OutputBuffer == nullptr))
    return nullptr;
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  irp->AllocationFlags |= kIrpIoManagerOwned;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

  ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  if (method == METHOD_NEITHER) {
    sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
    return irp;
  }
  ULONG systemLength = method == METHOD_BUFFERED ? std::max(InputBufferLength, OutputBufferLength) : InputBufferLength;
  if (systemLength != 0) {
    irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(systemLength, InputBuffer, InputBufferLength);
    if (irp->AssociatedIrp.SystemBuffer == nullptr) {
      IoFreeIrp(irp);
      return nullptr;
    }
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  }
  if (method == METHOD_BUFFERED) {
    if (OutputBufferLength != 0) {
      irp->Flags |= IRP_INPUT_OPERATION;
      irp->UserBuffer = OutputBuffer;
      PrivateOf(irp)->CopyLength = OutputBufferLength;
    }
  } else if (OutputBufferLength != 0) {
    PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
    if (mdl == nullptr) {
      Discard(irp);
      return nullptr;
    }
    MmProbeAndLockPages(mdl, KernelMode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
  }
  return irp;
}
