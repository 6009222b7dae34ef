// Request packets: allocation, passing down the stack, completion.
#include <algorithm>
#include <cstdio>

#include "private/irp.h"
#include "testing.h"

using namespace tarn::nt;

namespace {

constexpr ULONG kNoMoreIrpStackLocations = 0x35;
constexpr ULONG kMultipleIrpCompleteRequests = 0x44;
constexpr ULONG kBadIrp = 0xDEAD1229;  // not a Windows code: creator-owned IRP completed past its creator

KSPIN_LOCK CancelSpinLock = 0;

void CheckIrp(PIRP Irp) {
  if (Irp == nullptr || Irp->Type != IO_TYPE_IRP) KeBugCheckEx(kMultipleIrpCompleteRequests, (ULONG_PTR)Irp, 0, 0, 0);
}

// Buffered input (read data, device-control output) goes back to the
// caller's buffer once, when completion leaves the last driver.
void CopyBack(PIRP Irp) {
  IrpPrivate* p = PrivateOf(Irp);
  if (p == nullptr || p->CopiedBack) return;
  if ((Irp->Flags & (IRP_BUFFERED_IO | IRP_INPUT_OPERATION)) != (IRP_BUFFERED_IO | IRP_INPUT_OPERATION)) return;
  p->CopiedBack = TRUE;
  if (NT_ERROR(Irp->IoStatus.Status) || Irp->IoStatus.Status == STATUS_VERIFY_REQUIRED) return;
  if (Irp->UserBuffer == nullptr || Irp->AssociatedIrp.SystemBuffer == nullptr) return;
  // Never more than the caller's buffer, whatever Information claims.
  SIZE_T n = std::min<ULONG_PTR>(Irp->IoStatus.Information, p->CopyLength);
  memcpy(Irp->UserBuffer, Irp->AssociatedIrp.SystemBuffer, n);
}

// The I/O manager's part once completion has passed every driver.
void FinishRequest(PIRP Irp, CCHAR PriorityBoost) {
  if (!(Irp->AllocationFlags & kIrpIoManagerOwned)) {
    // Said whatever the debug output setting: the bug check follows.
    fprintf(stderr, "IoCompleteRequest: IRP %p belongs to its creator but no completion routine stopped it\n",
            (void*)Irp);
    KeBugCheckEx(kBadIrp, (ULONG_PTR)Irp, Irp->AllocationFlags, 0, 0);
  }
  CopyBack(Irp);
  for (PMDL mdl = Irp->MdlAddress; mdl != nullptr;) {
    PMDL next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    mdl = next;
  }
  Irp->MdlAddress = nullptr;
  if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer != nullptr) {
    ExFreePool(Irp->AssociatedIrp.SystemBuffer);
    Irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  if (Irp->UserIosb != nullptr) {
    Irp->UserIosb->Status = Irp->IoStatus.Status;
    Irp->UserIosb->Information = Irp->IoStatus.Information;
  }
  PKEVENT event = Irp->UserEvent;
  IoFreeIrp(Irp);
  // Last: the waiter may return and drop its IOSB and event at once.
  if (event != nullptr) KeSetEvent(event, PriorityBoost, FALSE);
}

}  // namespace

extern "C" VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  memset(Irp, 0, PacketSize);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = CHAR(StackSize + 1);
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  if (StackSize < 1) return nullptr;
  USHORT size = IoSizeOfIrp(StackSize);
  auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size + sizeof(IrpPrivate), NT_TAG_IRP));
  if (irp == nullptr) return nullptr;
  IoInitializeIrp(irp, size, StackSize);
  irp->AllocationFlags = kIrpFromPool;
  *PrivateOf(irp) = IrpPrivate{};
  return irp;
}

extern "C" VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  UCHAR flags = Irp->AllocationFlags;
  IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = flags;
  if (IrpPrivate* p = PrivateOf(Irp)) *p = IrpPrivate{};
  Irp->IoStatus.Status = Iostatus;
}

extern "C" VOID IoFreeIrp(PIRP Irp) {
  CheckIrp(Irp);
  if (!(Irp->AllocationFlags & kIrpFromPool)) KeBugCheckEx(kBadIrp, (ULONG_PTR)Irp, 1, 0, 0);
  Irp->Type = 0;
  ExFreePoolWithTag(Irp, NT_TAG_IRP);
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CheckIrp(Irp);
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0) KeBugCheckEx(kNoMoreIrpStackLocations, (ULONG_PTR)Irp, 0, 0, 0);
  PIO_STACK_LOCATION sp = --Irp->Tail.Overlay.CurrentStackLocation;
  sp->DeviceObject = DeviceObject;
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  if (sp->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return driver->MajorFunction[sp->MajorFunction](DeviceObject, Irp);
}

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  CheckIrp(Irp);
  if (Irp->CurrentLocation > Irp->StackCount + 1)
    KeBugCheckEx(kMultipleIrpCompleteRequests, (ULONG_PTR)Irp, 1, 0, 0);
  if (Irp->IoStatus.Status == STATUS_PENDING) KeBugCheckEx(kMultipleIrpCompleteRequests, (ULONG_PTR)Irp, 2, 0, 0);

  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    UCHAR control = sp->Control;
    PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
    PVOID context = sp->Context;
    Irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    // The finished location is cleared as the I/O manager does.
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control &= SL_ERROR_RETURNED;
    sp->Parameters.Others = {};
    sp->FileObject = nullptr;
    IoSkipCurrentIrpStackLocation(Irp);
    bool atCreator = Irp->CurrentLocation == Irp->StackCount + 1;
    if (atCreator) CopyBack(Irp);

    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                         (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT device = atCreator ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && !atCreator) {
      IoMarkIrpPending(Irp);
    }
  }
  FinishRequest(Irp, PriorityBoost);
}

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&CancelSpinLock, Irql); }

extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&CancelSpinLock, Irql); }

extern "C" BOOLEAN IoCancelIrp(PIRP Irp) {
  CheckIrp(Irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  routine(device, Irp);  // releases the cancel spin lock
  return TRUE;
}

extern "C" VOID PoStartNextPowerIrp(PIRP Irp) { (void)Irp; }

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  (void)DeviceObject;
  (void)Type;
  return State;
}
