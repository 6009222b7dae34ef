// Remove locks.
//
// Common.IoCount is the number of holders plus one (the bias taken at
// initialisation). Removed is set once by IoReleaseRemoveLockAndWait; after
// that an acquire backs out with STATUS_DELETE_PENDING, and whoever brings
// the count to zero sets RemoveEvent for the waiter.
#include "wdm.h"

namespace {

constexpr LONG kRemoveLockSignature = 0x4B434F4C;  // "LOCK"
constexpr LONGLONG kTicksPerMinute = 60LL * 10'000'000LL;
constexpr ULONG kRemoveLockMisuse = 0xDEAD10CC;  // not a Windows code: released more often than acquired

BOOLEAN IsRemoved(PIO_REMOVE_LOCK Lock) { return __atomic_load_n(&Lock->Common.Removed, __ATOMIC_SEQ_CST); }

void CheckSize(PIO_REMOVE_LOCK Lock, ULONG RemlockSize) {
  if (RemlockSize != sizeof(IO_REMOVE_LOCK) || Lock->Dbg.Signature != kRemoveLockSignature)
    KeBugCheckEx(kRemoveLockMisuse, (ULONG_PTR)Lock, RemlockSize, 0, 0);
}

}  // namespace

extern "C" VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                         ULONG HighWatermark, ULONG RemlockSize) {
  (void)RemlockSize;
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  Lock->Dbg.Signature = kRemoveLockSignature;
  Lock->Dbg.HighWatermark = HighWatermark;
  Lock->Dbg.MaxLockedTicks = LONGLONG(MaxLockedMinutes) * kTicksPerMinute;
  Lock->Dbg.AllocateTag = LONG(AllocateTag);
  Lock->Dbg.HighestCount = 0;
}

extern "C" NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                          ULONG RemlockSize) {
  (void)Tag;
  CheckSize(RemoveLock, RemlockSize);
  LONG count = InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (!IsRemoved(RemoveLock)) {
    LONG holders = count - 1;
    LONG highest = __atomic_load_n(&RemoveLock->Dbg.HighestCount, __ATOMIC_RELAXED);
    while (holders > highest &&
           !__atomic_compare_exchange_n(&RemoveLock->Dbg.HighestCount, &highest, holders, true, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED)) {
    }
    if (RemoveLock->Dbg.HighWatermark != 0 && ULONG(holders) == RemoveLock->Dbg.HighWatermark + 1)
      DbgPrint("IoAcquireRemoveLock: lock %p passed its high watermark %u (%s:%u)\n", (void*)RemoveLock,
               RemoveLock->Dbg.HighWatermark, File, Line);
    return STATUS_SUCCESS;
  }
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  return STATUS_DELETE_PENDING;
}

extern "C" VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  (void)Tag;
  CheckSize(RemoveLock, RemlockSize);
  LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (count < 0) KeBugCheckEx(kRemoveLockMisuse, (ULONG_PTR)RemoveLock, 1, 0, 0);
  if (count == 0) {
    // Only reachable once the bias is gone, i.e. after removal began.
    if (!IsRemoved(RemoveLock)) KeBugCheckEx(kRemoveLockMisuse, (ULONG_PTR)RemoveLock, 2, 0, 0);
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
}

extern "C" VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  (void)Tag;
  CheckSize(RemoveLock, RemlockSize);
  if (IsRemoved(RemoveLock)) KeBugCheckEx(kRemoveLockMisuse, (ULONG_PTR)RemoveLock, 3, 0, 0);
  __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
  // The caller's own hold; the bias still keeps the count above zero.
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) <= 0)
    KeBugCheckEx(kRemoveLockMisuse, (ULONG_PTR)RemoveLock, 4, 0, 0);
  // The bias; what remains are the other holders.
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}
