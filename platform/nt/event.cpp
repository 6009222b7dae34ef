// Events, waits on dispatcher objects, delays and the system clock.
#include <cerrno>
#include <ctime>

#include "private/dispatcher.h"
#include "wdm.h"

namespace {

constexpr LONGLONG kHundredNsPerSecond = 10'000'000;
// 1601-01-01 to 1970-01-01 in 100 ns units.
constexpr LONGLONG kEpochDelta = 116'444'736'000'000'000LL;

timespec MonotonicNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

timespec AddHundredNs(timespec ts, LONGLONG units) {
  LONGLONG ns = ts.tv_nsec + (units % kHundredNsPerSecond) * 100;
  ts.tv_sec += time_t(units / kHundredNsPerSecond + ns / 1'000'000'000);
  ts.tv_nsec = long(ns % 1'000'000'000);
  return ts;
}

// Relative duration of a kernel timeout, in 100 ns units (>= 0).
LONGLONG RelativeUnits(const LARGE_INTEGER& Timeout) {
  if (Timeout.QuadPart < 0) return Timeout.QuadPart == INT64_MIN ? INT64_MAX : -Timeout.QuadPart;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return Timeout.QuadPart > now.QuadPart ? Timeout.QuadPart - now.QuadPart : 0;
}

}  // namespace

namespace tarn::nt {

void InitializeDispatcherHeader(PDISPATCHER_HEADER Header, UCHAR Type, LONG State) {
  Header->Type = Type;
  Header->Signalling = 0;
  Header->Size = 0;
  Header->Reserved1 = 0;
  Header->SignalState = State;
  pthread_mutex_init(&Header->HostLock, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&Header->HostWait, &attr);
  pthread_condattr_destroy(&attr);
}

void SignalDispatcherHeader(PDISPATCHER_HEADER Header) {
  pthread_mutex_lock(&Header->HostLock);
  Header->SignalState = 1;
  pthread_cond_broadcast(&Header->HostWait);
  pthread_mutex_unlock(&Header->HostLock);
}

}  // namespace tarn::nt

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  tarn::nt::InitializeDispatcherHeader(
      &Event->Header, Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
      State ? 1 : 0);
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  DISPATCHER_HEADER* h = &Event->Header;
  pthread_mutex_lock(&h->HostLock);
  LONG previous = h->SignalState;
  h->SignalState = 1;
  // A released waiter of a synchronization event resets it; the others go
  // back to waiting. Nothing touches the event after the unlock.
  pthread_cond_broadcast(&h->HostWait);
  pthread_mutex_unlock(&h->HostLock);
  return previous;
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
  DISPATCHER_HEADER* h = &Event->Header;
  pthread_mutex_lock(&h->HostLock);
  LONG previous = h->SignalState;
  h->SignalState = 0;
  pthread_mutex_unlock(&h->HostLock);
  return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
  DISPATCHER_HEADER* h = &Event->Header;
  pthread_mutex_lock(&h->HostLock);
  LONG state = h->SignalState;
  pthread_mutex_unlock(&h->HostLock);
  return state;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  // Blocking at DISPATCH_LEVEL (a spin lock held) would deadlock a real
  // processor; stop here so the fault is seen.
  if (!poll && KeGetCurrentIrql() >= DISPATCH_LEVEL)
    KeBugCheckEx(0x0A /* IRQL_NOT_LESS_OR_EQUAL */, (ULONG_PTR)Object, KeGetCurrentIrql(), 0, 0);

  auto* h = static_cast<PDISPATCHER_HEADER>(Object);
  timespec deadline{};
  if (Timeout != nullptr && !poll) deadline = AddHundredNs(MonotonicNow(), RelativeUnits(*Timeout));

  NTSTATUS status = STATUS_SUCCESS;
  pthread_mutex_lock(&h->HostLock);
  for (;;) {
    if (h->SignalState > 0) {
      if (h->Type == EventSynchronizationObject) h->SignalState = 0;
      break;
    }
    if (poll) {
      status = STATUS_TIMEOUT;
      break;
    }
    if (Timeout == nullptr) {
      pthread_cond_wait(&h->HostWait, &h->HostLock);
    } else if (pthread_cond_timedwait(&h->HostWait, &h->HostLock, &deadline) == ETIMEDOUT && h->SignalState <= 0) {
      status = STATUS_TIMEOUT;
      break;
    }
  }
  pthread_mutex_unlock(&h->HostLock);
  return status;
}

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                             KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                             PLARGE_INTEGER Timeout, PVOID WaitBlockArray) {
  (void)Count, (void)Object, (void)WaitType, (void)WaitReason, (void)WaitMode, (void)Alertable, (void)Timeout,
      (void)WaitBlockArray;
  DbgPrint("KeWaitForMultipleObjects is not supported\n");
  return STATUS_NOT_IMPLEMENTED;
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL)
    KeBugCheckEx(0x0A /* IRQL_NOT_LESS_OR_EQUAL */, 0, KeGetCurrentIrql(), 0, 0);
  timespec deadline = AddHundredNs(MonotonicNow(), RelativeUnits(*Interval));
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
  return STATUS_SUCCESS;
}

extern "C" VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  timespec deadline = AddHundredNs(MonotonicNow(), LONGLONG(MicroSeconds) * 10);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

extern "C" ULONGLONG KeQueryInterruptTime(VOID) {
  timespec ts = MonotonicNow();
  return ULONGLONG(ts.tv_sec) * kHundredNsPerSecond + ULONGLONG(ts.tv_nsec) / 100;
}

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  CurrentTime->QuadPart = kEpochDelta + LONGLONG(ts.tv_sec) * kHundredNsPerSecond + ts.tv_nsec / 100;
}
