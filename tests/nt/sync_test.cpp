// Events, waits with time-outs, fast mutexes and spin-lock protected lists.
#include <gtest/gtest.h>
#include <ntddk.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

LARGE_INTEGER Relative(LONGLONG Milliseconds) {
  LARGE_INTEGER t;
  t.QuadPart = -Milliseconds * 10'000;
  return t;
}

NTSTATUS Poll(PKEVENT Event) {
  LARGE_INTEGER zero = {};
  return KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &zero);
}

TEST(Event, NotificationStaysSetAndSynchronizationResetsOnRelease) {
  struct Case {
    EVENT_TYPE Type;
    NTSTATUS SecondWait;
  } cases[] = {{NotificationEvent, STATUS_SUCCESS}, {SynchronizationEvent, STATUS_TIMEOUT}};
  for (const auto& c : cases) {
    KEVENT e;
    KeInitializeEvent(&e, c.Type, FALSE);
    EXPECT_EQ(Poll(&e), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 1) << "returns the previous state";
    EXPECT_EQ(Poll(&e), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&e), c.SecondWait);
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeResetEvent(&e), 1);
    EXPECT_EQ(KeReadStateEvent(&e), 0);
    EXPECT_EQ(Poll(&e), STATUS_TIMEOUT);
  }
  KEVENT initiallySet;
  KeInitializeEvent(&initiallySet, SynchronizationEvent, TRUE);
  EXPECT_EQ(Poll(&initiallySet), STATUS_SUCCESS);
}

TEST(Event, SetReleasesEveryNotificationWaiterButOneSynchronizationWaiter) {
  for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
    KEVENT e;
    KeInitializeEvent(&e, type, FALSE);
    std::atomic<int> started{0}, released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
      waiters.emplace_back([&] {
        started++;
        KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
        released++;
      });
    while (started < 3) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let them block
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    if (type == NotificationEvent) {
      for (auto& t : waiters) t.join();
      EXPECT_EQ(released, 3);
    } else {
      while (released < 1) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(released, 1) << "one set must release exactly one waiter";
      KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
      while (released < 2) std::this_thread::yield();
      KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
      for (auto& t : waiters) t.join();
      EXPECT_EQ(released, 3);
      EXPECT_EQ(KeReadStateEvent(&e), 0);
    }
  }
}

TEST(Event, TimeoutsRelativeAbsoluteAndExpiredReturnTimeout) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER shortWait = Relative(30);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);
  LARGE_INTEGER past;
  KeQuerySystemTime(&past);
  past.QuadPart -= 10'000'000;
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
  LARGE_INTEGER soon;
  KeQuerySystemTime(&soon);
  soon.QuadPart += 300'000;  // 30 ms ahead, absolute
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &soon), STATUS_TIMEOUT);

  // A set that comes before the time-out wins.
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  });
  LARGE_INTEGER longWait = Relative(60'000);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &longWait), STATUS_SUCCESS);
  setter.join();
}

TEST(Event, EventOnTheWaitersStackMayGoAwayAsSoonAsTheWaitReturns) {
  // The setter runs on after releasing the waiter; a set that touched the
  // event late would write into a dead frame (caught by the sanitizers).
  for (int i = 0; i < 200; ++i) {
    std::atomic<PKEVENT> shared{nullptr};
    std::thread setter([&] {
      PKEVENT e;
      while ((e = shared.load()) == nullptr) std::this_thread::yield();
      KeSetEvent(e, IO_NO_INCREMENT, FALSE);
    });
    {
      KEVENT e;
      KeInitializeEvent(&e, SynchronizationEvent, FALSE);
      shared = &e;
      KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
      memset(&e, 0xFF, sizeof(e));  // the frame is reused at once
    }
    setter.join();
  }
}

TEST(FastMutex, ExcludesUnderContentionAndRaisesToApcLevel) {
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  long counter = 0;  // deliberately not atomic: the mutex is the only guard
  std::atomic<bool> badIrql{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        ExAcquireFastMutex(&m);
        if (KeGetCurrentIrql() != APC_LEVEL) badIrql = true;
        long v = counter;
        if (i % 1000 == 0) std::this_thread::yield();
        counter = v + 1;
        ExReleaseFastMutex(&m);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) badIrql = true;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 20000);
  EXPECT_FALSE(badIrql);
}

TEST(FastMutex, TryToAcquireFailsWhileAnotherThreadHoldsIt) {
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  ExAcquireFastMutex(&m);
  BOOLEAN other = TRUE;
  std::thread([&] { other = ExTryToAcquireFastMutex(&m); }).join();
  EXPECT_FALSE(other);
  ExReleaseFastMutex(&m);
  std::thread([&] {
    other = ExTryToAcquireFastMutex(&m);
    if (other) ExReleaseFastMutex(&m);
  }).join();
  EXPECT_TRUE(other);
}

TEST(FastMutexDeathTest, AcquiringTwiceOnOneThreadStopsInsteadOfHanging) {
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  EXPECT_DEATH(
      {
        ExAcquireFastMutex(&m);
        ExAcquireFastMutex(&m);
      },
      "STOP");
}

TEST(SpinLockDeathTest, WaitingWithASpinLockHeldStopsTheSystem) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  EXPECT_DEATH(
      {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
      },
      "STOP: 0x0000000A");
}

TEST(InterlockedList, ConcurrentProducersAndConsumerLoseNothing) {
  struct Item {
    LIST_ENTRY Link;
    int Value;
  };
  LIST_ENTRY head;
  InitializeListHead(&head);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  constexpr int kPerProducer = 5000;
  std::vector<Item> items(2 * kPerProducer);
  std::vector<std::thread> producers;
  for (int p = 0; p < 2; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        Item& it = items[p * kPerProducer + i];
        it.Value = p * kPerProducer + i;
        ExInterlockedInsertTailList(&head, &it.Link, &lock);
      }
    });
  long long sum = 0;
  int taken = 0;
  while (taken < 2 * kPerProducer) {
    PLIST_ENTRY e = ExInterlockedRemoveHeadList(&head, &lock);
    if (e == nullptr) continue;
    sum += CONTAINING_RECORD(e, Item, Link)->Value;
    taken++;
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(sum, (2LL * kPerProducer - 1) * (2 * kPerProducer) / 2);
  EXPECT_TRUE(IsListEmpty(&head));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  Item a{}, b{};
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &a.Link, &lock), nullptr) << "empty list gives NULL";
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &b.Link, &lock), &a.Link) << "else the previous last entry";
}

}  // namespace
