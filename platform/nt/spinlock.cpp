// IRQL bookkeeping, spin locks and the lists they guard.
#include <sched.h>

#include "wdm.h"

namespace {

constexpr ULONG kIrqlNotGreaterOrEqual = 0x09;
constexpr ULONG kIrqlNotLessOrEqual = 0x0A;
constexpr int kSpinsBeforeYield = 64;

thread_local KIRQL CurrentIrql = PASSIVE_LEVEL;

void SpinAcquire(PKSPIN_LOCK SpinLock) {
  for (;;) {
    if (__atomic_exchange_n(SpinLock, 1, __ATOMIC_ACQUIRE) == 0) return;
    // Host threads can be preempted while holding the lock, unlike a
    // processor at DISPATCH_LEVEL, so give the holder a chance to run.
    int spins = 0;
    while (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != 0) {
      if (++spins < kSpinsBeforeYield) {
        __builtin_ia32_pause();
      } else {
        sched_yield();
        spins = 0;
      }
    }
  }
}

void SpinRelease(PKSPIN_LOCK SpinLock) {
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0)
    KeBugCheckEx(0x10 /* SPIN_LOCK_NOT_OWNED */, (ULONG_PTR)SpinLock, 0, 0, 0);
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" KIRQL KeGetCurrentIrql(void) { return CurrentIrql; }

extern "C" KIRQL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = CurrentIrql;
  if (NewIrql < old) KeBugCheckEx(kIrqlNotGreaterOrEqual, old, NewIrql, 0, 0);
  CurrentIrql = NewIrql;
  return old;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > CurrentIrql) KeBugCheckEx(kIrqlNotLessOrEqual, CurrentIrql, NewIrql, 0, 0);
  CurrentIrql = NewIrql;
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELAXED); }

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  SpinAcquire(SpinLock);
  return old;
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  SpinRelease(SpinLock);
  KeLowerIrql(NewIrql);
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (CurrentIrql < DISPATCH_LEVEL) KeBugCheckEx(kIrqlNotGreaterOrEqual, CurrentIrql, DISPATCH_LEVEL, 0, 0);
  SpinAcquire(SpinLock);
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { SpinRelease(SpinLock); }

extern "C" VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->Lock = SpinLock;
  LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

extern "C" VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  KeReleaseSpinLock(LockHandle->Lock, LockHandle->OldIrql);
}

extern "C" PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  KIRQL irql;
  KeAcquireSpinLock(Lock, &irql);
  PLIST_ENTRY previous = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
  InsertTailList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, irql);
  return previous;
}

extern "C" PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  KIRQL irql;
  KeAcquireSpinLock(Lock, &irql);
  PLIST_ENTRY previous = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, irql);
  return previous;
}

extern "C" PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  KIRQL irql;
  KeAcquireSpinLock(Lock, &irql);
  PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
  KeReleaseSpinLock(Lock, irql);
  return entry;
}
