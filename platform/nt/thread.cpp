// System threads on host threads, and thread objects for every thread that
// calls into the kernel layer.
#include <pthread.h>

#include <atomic>

#include "private/dispatcher.h"
#include "private/object.h"

// Starts with its dispatcher header, so waits take it like an event; the
// header is signalled when the thread ends.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  std::atomic<KPRIORITY> Priority;
  NTSTATUS ExitStatus;
  BOOLEAN SystemThread;
  PKSTART_ROUTINE StartRoutine;
  PVOID StartContext;
  ULONG_PTR Id;
};

namespace tarn::nt {
_OBJECT_TYPE ObThreadType{"Thread", 0x65726854 /* "Thre" */, nullptr};
}  // namespace tarn::nt

using namespace tarn::nt;

namespace {

constexpr KPRIORITY kDefaultPriority = 8;

POBJECT_TYPE ThreadTypePointer = &ObThreadType;
std::atomic<ULONG_PTR> NextThreadId{4};

thread_local PKTHREAD CurrentThread = nullptr;

// Drops the object of a thread the kernel layer did not create when that
// thread ends.
struct ForeignThread {
  PKTHREAD Thread = nullptr;
  ~ForeignThread() {
    if (Thread != nullptr) ObfDereferenceObject(Thread);
  }
};
thread_local ForeignThread Foreign;

PKTHREAD NewThreadObject(bool OutsidePool) {
  auto* t = static_cast<PKTHREAD>(CreateObject(&ObThreadType, sizeof(_KTHREAD), OutsidePool));
  if (t == nullptr) return nullptr;
  InitializeDispatcherHeader(&t->Header, ThreadObject, 0);
  new (&t->Priority) std::atomic<KPRIORITY>(kDefaultPriority);
  t->ExitStatus = STATUS_PENDING;
  t->Id = NextThreadId.fetch_add(4);
  return t;
}

void Finish(PKTHREAD Thread) {
  SignalDispatcherHeader(&Thread->Header);
  CurrentThread = nullptr;
  ObfDereferenceObject(Thread);  // the running thread's own reference
}

// Signals the thread object on the way out, also when PsTerminateSystemThread
// unwinds the thread.
struct FinishOnExit {
  PKTHREAD Thread;
  ~FinishOnExit() { Finish(Thread); }
};

void* SystemThreadMain(void* Argument) {
  auto* thread = static_cast<PKTHREAD>(Argument);
  CurrentThread = thread;
  FinishOnExit finish{thread};
  thread->StartRoutine(thread->StartContext);
  thread->ExitStatus = STATUS_SUCCESS;
  return nullptr;
}

}  // namespace

POBJECT_TYPE* PsThreadType = &ThreadTypePointer;

extern "C" PKTHREAD KeGetCurrentThread(void) {
  if (CurrentThread == nullptr) {
    PKTHREAD t = NewThreadObject(true);
    if (t == nullptr) KeBugCheckEx(0x41 /* MUST_SUCCEED_POOL_EMPTY */, sizeof(_KTHREAD), 0, 0, 0);
    Foreign.Thread = t;
    CurrentThread = t;
  }
  return CurrentThread;
}

extern "C" HANDLE PsGetCurrentThreadId(void) { return reinterpret_cast<HANDLE>(KeGetCurrentThread()->Id); }

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  return Thread->Priority.exchange(Priority);
}

extern "C" KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) { return Thread->Priority.load(); }

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                         PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
  (void)ObjectAttributes;
  (void)ProcessHandle;
  if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
  *ThreadHandle = nullptr;
  PKTHREAD thread = NewThreadObject(false);
  if (thread == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  thread->SystemThread = TRUE;
  thread->StartRoutine = StartRoutine;
  thread->StartContext = StartContext;
  HANDLE handle;
  NTSTATUS status = CreateHandle(thread, DesiredAccess, &handle);
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(thread);
    return status;
  }
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(thread->Id);
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, SystemThreadMain, thread);  // the creation reference goes to the thread
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    ZwClose(handle);
    ObfDereferenceObject(thread);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *ThreadHandle = handle;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  PKTHREAD thread = CurrentThread;
  if (thread == nullptr || !thread->SystemThread) return STATUS_INVALID_PARAMETER;
  thread->ExitStatus = ExitStatus;
  pthread_exit(nullptr);  // unwinds to SystemThreadMain
}
