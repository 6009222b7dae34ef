// Fast mutexes: a host mutex plus the owner and IRQL bookkeeping that lets
// misuse stop the system instead of hanging it.
#include "wdm.h"

namespace {

constexpr ULONG kIrqlNotLessOrEqual = 0x0A;
constexpr ULONG kFastMutexMisuse = 0xDEADFA57;  // not a Windows code: recursion or foreign release

// Identity of the calling thread, cheap and without an object behind it.
PKTHREAD Self() {
  static thread_local char token;
  return reinterpret_cast<PKTHREAD>(&token);
}

PKTHREAD OwnerOf(PFAST_MUTEX m) { return __atomic_load_n(&m->Owner, __ATOMIC_RELAXED); }

void TakeOwnership(PFAST_MUTEX m) {
  __atomic_store_n(&m->Owner, Self(), __ATOMIC_RELAXED);
  __atomic_store_n(&m->Count, 0, __ATOMIC_RELAXED);
}

void Acquire(PFAST_MUTEX m, bool raise) {
  if (KeGetCurrentIrql() > APC_LEVEL) KeBugCheckEx(kIrqlNotLessOrEqual, (ULONG_PTR)m, KeGetCurrentIrql(), 0, 0);
  if (OwnerOf(m) == Self()) KeBugCheckEx(kFastMutexMisuse, (ULONG_PTR)m, 1, 0, 0);
  if (pthread_mutex_trylock(&m->HostMutex) != 0) {
    __atomic_add_fetch(&m->Contention, 1, __ATOMIC_RELAXED);
    pthread_mutex_lock(&m->HostMutex);
  }
  TakeOwnership(m);
  m->OldIrql = raise ? KfRaiseIrql(APC_LEVEL) : KeGetCurrentIrql();
}

void Release(PFAST_MUTEX m, bool lower) {
  if (OwnerOf(m) != Self()) KeBugCheckEx(kFastMutexMisuse, (ULONG_PTR)m, 2, 0, 0);
  KIRQL old = m->OldIrql;
  __atomic_store_n(&m->Owner, nullptr, __ATOMIC_RELAXED);
  __atomic_store_n(&m->Count, 1, __ATOMIC_RELAXED);
  pthread_mutex_unlock(&m->HostMutex);
  if (lower) KeLowerIrql(old);
}

}  // namespace

extern "C" VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  FastMutex->OldIrql = PASSIVE_LEVEL;
  pthread_mutex_init(&FastMutex->HostMutex, nullptr);
}

extern "C" VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) { Acquire(FastMutex, true); }

extern "C" VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) { Release(FastMutex, true); }

extern "C" VOID ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) { Acquire(FastMutex, false); }

extern "C" VOID ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) { Release(FastMutex, false); }

extern "C" BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  if (KeGetCurrentIrql() > APC_LEVEL)
    KeBugCheckEx(kIrqlNotLessOrEqual, (ULONG_PTR)FastMutex, KeGetCurrentIrql(), 0, 0);
  if (pthread_mutex_trylock(&FastMutex->HostMutex) != 0) return FALSE;
  TakeOwnership(FastMutex);
  FastMutex->OldIrql = KfRaiseIrql(APC_LEVEL);
  return TRUE;
}
