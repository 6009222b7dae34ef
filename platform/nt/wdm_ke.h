// Kernel core: IRQL, dispatcher objects (events, threads), waits, spin locks,
// interlocked operations, doubly linked lists, system threads.
#pragma once

#include <pthread.h>

#include "ntstatus.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

// Dispatcher object header. Every waitable object starts with one, so a wait
// routine can take any of them. SignalState is an atomic futex word: a setter
// never holds a lock the woken waiter must take, and never touches the object
// after the wake (a waiter may free an event on its stack as soon as it runs).
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;  // one of the KOBJECTS values
  UCHAR Signalling;
  UCHAR Size;
  UCHAR Reserved1;
  LONG SignalState;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef enum _KOBJECTS {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  ProcessObject = 3,
  QueueObject = 4,
  SemaphoreObject = 5,
  ThreadObject = 6,
  TimerNotificationObject = 8,
  TimerSynchronizationObject = 9,
} KOBJECTS;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

// Threads are opaque to drivers; the object starts with a DISPATCHER_HEADER
// that is signalled when the thread ends.
typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD ETHREAD, *PETHREAD;
typedef struct _KPROCESS KPROCESS, *PKPROCESS, *PEPROCESS;

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef struct _KLOCK_QUEUE_HANDLE {
  PKSPIN_LOCK Lock;
  KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

typedef VOID KSTART_ROUTINE(_In_ PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

#ifdef __cplusplus
extern "C" {
#endif

// --- IRQL ---------------------------------------------------------------
// The IRQL is tracked per thread so misuse (waiting with a spin lock held)
// is caught; it does not change scheduling.
KIRQL KeGetCurrentIrql(void);
KIRQL KfRaiseIrql(_In_ KIRQL NewIrql);
VOID KeLowerIrql(_In_ KIRQL NewIrql);
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))
KIRQL KeRaiseIrqlToDpcLevel(void);

DECLSPEC_NORETURN VOID KeBugCheckEx(_In_ ULONG BugCheckCode, _In_ ULONG_PTR P1, _In_ ULONG_PTR P2,
                                    _In_ ULONG_PTR P3, _In_ ULONG_PTR P4);
DECLSPEC_NORETURN VOID KeBugCheck(_In_ ULONG BugCheckCode);

// --- Events ---------------------------------------------------------------
// A notification event stays signalled until cleared and releases every
// waiter; a synchronization event releases one waiter and resets itself.
// KeSetEvent does not touch the event after the waiter it releases can run,
// so an event on the waiter's stack may go away as soon as the wait returns.
VOID KeInitializeEvent(_Out_ PRKEVENT Event, _In_ EVENT_TYPE Type, _In_ BOOLEAN State);
LONG KeSetEvent(_Inout_ PRKEVENT Event, _In_ KPRIORITY Increment, _In_ BOOLEAN Wait);
VOID KeClearEvent(_Inout_ PRKEVENT Event);
LONG KeResetEvent(_Inout_ PRKEVENT Event);
LONG KeReadStateEvent(_In_ PRKEVENT Event);

// Waits on an event or a thread object. Timeout: NULL waits forever, a
// negative value is relative in 100 ns units, a positive one absolute system
// time, zero only tests. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(_In_ PVOID Object, _In_ KWAIT_REASON WaitReason,
                               _In_ KPROCESSOR_MODE WaitMode, _In_ BOOLEAN Alertable,
                               _In_opt_ PLARGE_INTEGER Timeout);
// FIXME: waits on several objects at once are not supported; this returns
// STATUS_NOT_IMPLEMENTED.
NTSTATUS KeWaitForMultipleObjects(_In_ ULONG Count, _In_reads_(Count) PVOID Object[],
                                  _In_ WAIT_TYPE WaitType, _In_ KWAIT_REASON WaitReason,
                                  _In_ KPROCESSOR_MODE WaitMode, _In_ BOOLEAN Alertable,
                                  _In_opt_ PLARGE_INTEGER Timeout, _Out_opt_ PVOID WaitBlockArray);
NTSTATUS KeDelayExecutionThread(_In_ KPROCESSOR_MODE WaitMode, _In_ BOOLEAN Alertable,
                                _In_ PLARGE_INTEGER Interval);
VOID KeStallExecutionProcessor(_In_ ULONG MicroSeconds);

// System time in 100 ns units since 1601-01-01 UTC.
VOID KeQuerySystemTime(_Out_ PLARGE_INTEGER CurrentTime);
// Time since the system started, in 100 ns units; never goes back (the
// clock for time-outs).
ULONGLONG KeQueryInterruptTime(VOID);

// --- Spin locks -------------------------------------------------------------
// A real busy-wait lock on the KSPIN_LOCK word. Raises the IRQL to
// DISPATCH_LEVEL while held: no waiting and no fast mutex under it.
VOID KeInitializeSpinLock(_Out_ PKSPIN_LOCK SpinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(_Inout_ PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))
VOID KeReleaseSpinLock(_Inout_ PKSPIN_LOCK SpinLock, _In_ KIRQL NewIrql);
VOID KeAcquireSpinLockAtDpcLevel(_Inout_ PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLockFromDpcLevel(_Inout_ PKSPIN_LOCK SpinLock);
VOID KeAcquireInStackQueuedSpinLock(_Inout_ PKSPIN_LOCK SpinLock, _Out_ PKLOCK_QUEUE_HANDLE LockHandle);
VOID KeReleaseInStackQueuedSpinLock(_In_ PKLOCK_QUEUE_HANDLE LockHandle);

// --- Threads ---------------------------------------------------------------
PKTHREAD KeGetCurrentThread(void);
#define PsGetCurrentThread() ((PETHREAD)KeGetCurrentThread())
HANDLE PsGetCurrentThreadId(void);
// Records the priority (returned by KeQueryPriorityThread); scheduling is
// left to the host.
KPRIORITY KeSetPriorityThread(_Inout_ PKTHREAD Thread, _In_ KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(_In_ PKTHREAD Thread);

// Starts StartRoutine on a new host thread. ThreadHandle receives a kernel
// handle (close it with ZwClose); ObReferenceObjectByHandle on it gives the
// waitable thread object, signalled when the routine returns or calls
// PsTerminateSystemThread.
NTSTATUS PsCreateSystemThread(_Out_ PHANDLE ThreadHandle, _In_ ULONG DesiredAccess,
                              _In_opt_ POBJECT_ATTRIBUTES ObjectAttributes,
                              _In_opt_ HANDLE ProcessHandle, _Out_opt_ PCLIENT_ID ClientId,
                              _In_ PKSTART_ROUTINE StartRoutine, _In_opt_ PVOID StartContext);
// Ends the calling system thread; only valid on a thread made by
// PsCreateSystemThread (anything else returns STATUS_INVALID_PARAMETER).
NTSTATUS PsTerminateSystemThread(_In_ NTSTATUS ExitStatus);

#ifdef __cplusplus
}
#endif

// --- Interlocked operations (full barriers) ---------------------------------
FORCEINLINE LONG InterlockedIncrement(_Inout_ LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(_Inout_ LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchange(_Inout_ LONG volatile* Target, _In_ LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchangeAdd(_Inout_ LONG volatile* Addend, _In_ LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(_Inout_ LONG volatile* Destination, _In_ LONG Exchange,
                                            _In_ LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}
FORCEINLINE LONG InterlockedOr(_Inout_ LONG volatile* Target, _In_ LONG Set) {
  return __atomic_fetch_or(Target, Set, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedAnd(_Inout_ LONG volatile* Target, _In_ LONG Set) {
  return __atomic_fetch_and(Target, Set, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedIncrement64(_Inout_ LONG64 volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedDecrement64(_Inout_ LONG64 volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedExchangeAdd64(_Inout_ LONG64 volatile* Addend, _In_ LONG64 Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedExchangePointer(_Inout_ PVOID volatile* Target, _In_opt_ PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(_Inout_ PVOID volatile* Destination,
                                                    _In_opt_ PVOID Exchange,
                                                    _In_opt_ PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}

// --- Doubly linked lists (not synchronised; see ExInterlocked* for that) ----
FORCEINLINE VOID InitializeListHead(_Out_ PLIST_ENTRY ListHead) {
  ListHead->Flink = ListHead->Blink = ListHead;
}
FORCEINLINE BOOLEAN IsListEmpty(_In_ const LIST_ENTRY* ListHead) {
  return (BOOLEAN)(ListHead->Flink == ListHead);
}
FORCEINLINE BOOLEAN RemoveEntryList(_In_ PLIST_ENTRY Entry) {
  PLIST_ENTRY Flink = Entry->Flink;
  PLIST_ENTRY Blink = Entry->Blink;
  Blink->Flink = Flink;
  Flink->Blink = Blink;
  return (BOOLEAN)(Flink == Blink);
}
FORCEINLINE PLIST_ENTRY RemoveHeadList(_Inout_ PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Flink;
  RemoveEntryList(Entry);
  return Entry;
}
FORCEINLINE PLIST_ENTRY RemoveTailList(_Inout_ PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Blink;
  RemoveEntryList(Entry);
  return Entry;
}
FORCEINLINE VOID InsertTailList(_Inout_ PLIST_ENTRY ListHead, _Out_ PLIST_ENTRY Entry) {
  PLIST_ENTRY Blink = ListHead->Blink;
  Entry->Flink = ListHead;
  Entry->Blink = Blink;
  Blink->Flink = Entry;
  ListHead->Blink = Entry;
}
FORCEINLINE VOID InsertHeadList(_Inout_ PLIST_ENTRY ListHead, _Out_ PLIST_ENTRY Entry) {
  PLIST_ENTRY Flink = ListHead->Flink;
  Entry->Flink = Flink;
  Entry->Blink = ListHead;
  Flink->Blink = Entry;
  ListHead->Flink = Entry;
}
FORCEINLINE VOID PushEntryList(_Inout_ PSINGLE_LIST_ENTRY ListHead, _Inout_ PSINGLE_LIST_ENTRY Entry) {
  Entry->Next = ListHead->Next;
  ListHead->Next = Entry;
}
FORCEINLINE PSINGLE_LIST_ENTRY PopEntryList(_Inout_ PSINGLE_LIST_ENTRY ListHead) {
  PSINGLE_LIST_ENTRY First = ListHead->Next;
  if (First != NULL) ListHead->Next = First->Next;
  return First;
}
