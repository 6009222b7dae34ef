// Events, waits on dispatcher objects, delays and the system clock.
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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

LONG LoadState(const DISPATCHER_HEADER* h) { return __atomic_load_n(&h->SignalState, __ATOMIC_ACQUIRE); }

LONG ExchangeState(DISPATCHER_HEADER* h, LONG value) {
  return __atomic_exchange_n(&h->SignalState, value, __ATOMIC_ACQ_REL);
}

// Wakes sleepers of the word. A private futex wake only uses the address, so
// it is harmless even once the waiter has returned and reused its stack.
void WakeWaiters(DISPATCHER_HEADER* h, int count) {
  syscall(SYS_futex, &h->SignalState, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// Sleeps while the word still reads `seen`; false once the absolute
// monotonic deadline (when given) has passed. Spurious returns are fine:
// the caller looks again.
bool SleepWhile(DISPATCHER_HEADER* h, LONG seen, const timespec* deadline) {
  long r = syscall(SYS_futex, &h->SignalState, FUTEX_WAIT_BITSET_PRIVATE, seen, deadline, nullptr,
                   FUTEX_BITSET_MATCH_ANY);
  return !(r == -1 && errno == ETIMEDOUT);
}

// Takes the object's signal when it has one: a synchronization event is
// reset by the one waiter it releases, the others stay signalled.
bool TryAcquire(DISPATCHER_HEADER* h) {
  LONG s = LoadState(h);
  while (s > 0) {
    if (h->Type != EventSynchronizationObject) return true;
    if (__atomic_compare_exchange_n(&h->SignalState, &s, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
      return true;
  }
  return false;
}

// How long a wait looks at the object before it sleeps, in 100 ns units.
// Many waits end within microseconds (a request handed to a worker thread
// and its completion); a thread still running sees the signal at once,
// where waking a sleeping one on another processor costs tens of
// microseconds on a virtual machine.
constexpr LONGLONG kLookBeforeSleep = 200;

// Whether the object was signalled while the caller looked; false once the
// look time is over. The look gives the processor away to any other thread
// ready on it, which may well be the one that is to signal.
bool SignalledSoon(const DISPATCHER_HEADER* h) {
  const timespec until = AddHundredNs(MonotonicNow(), kLookBeforeSleep);
  for (;;) {
    for (int i = 0; i < 32; ++i) {
      if (LoadState(h) > 0) return true;
      __builtin_ia32_pause();
    }
    sched_yield();
    const timespec now = MonotonicNow();
    if (now.tv_sec > until.tv_sec || (now.tv_sec == until.tv_sec && now.tv_nsec >= until.tv_nsec)) return false;
  }
}

}  // namespace

namespace tarn::nt {

void InitializeDispatcherHeader(PDISPATCHER_HEADER Header, UCHAR Type, LONG State) {
  Header->Type = Type;
  Header->Signalling = 0;
  Header->Size = 0;
  Header->Reserved1 = 0;
  __atomic_store_n(&Header->SignalState, State, __ATOMIC_RELEASE);
}

void SignalDispatcherHeader(PDISPATCHER_HEADER Header) {
  ExchangeState(Header, 1);
  WakeWaiters(Header, INT_MAX);
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
  // Read before the set: once it lands, the waiter may free the event.
  const int releases = h->Type == EventSynchronizationObject ? 1 : INT_MAX;
  LONG previous = ExchangeState(h, 1);
  // Waiters sleep only on a clear word, so an event that was already
  // signalled has none to wake. A synchronization event releases one.
  if (previous == 0) WakeWaiters(h, releases);
  return previous;
}

extern "C" LONG KeResetEvent(PRKEVENT Event) { return ExchangeState(&Event->Header, 0); }

extern "C" VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

extern "C" LONG KeReadStateEvent(PRKEVENT Event) { return LoadState(&Event->Header); }

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

  // Only waits without a time limit look first: a look never outlasts a
  // deadline that way.
  if (Timeout == nullptr && SignalledSoon(h) && TryAcquire(h)) return STATUS_SUCCESS;
  for (;;) {
    if (TryAcquire(h)) return STATUS_SUCCESS;
    if (poll) return STATUS_TIMEOUT;
    // A signal that came and was taken by another waiter leaves the word
    // clear again; sleeping on the clear value cannot miss a later set.
    if (!SleepWhile(h, 0, Timeout ? &deadline : nullptr)) poll = true;  // one last look
  }
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
