// Remove locks: acquire after removal, and release-and-wait waiting for
// holders on other threads.
#include <gtest/gtest.h>
#include <ntddk.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr ULONG kTag = 0x6C694654;

struct RemoveLockTest : ::testing::Test {
  IO_REMOVE_LOCK lock;
  void SetUp() override { IoInitializeRemoveLock(&lock, kTag, 1, 100); }
};

TEST_F(RemoveLockTest, AcquireAfterRemovalFailsWithDeletePending) {
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
  IoReleaseRemoveLock(&lock, nullptr);
  IoReleaseRemoveLockAndWait(&lock, nullptr);  // no other holder: returns at once
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
  EXPECT_TRUE(lock.Common.Removed);
  EXPECT_EQ(lock.Common.IoCount, 0) << "failed acquires must not leave counts behind";
}

TEST_F(RemoveLockTest, ParametersAreKept) {
  EXPECT_EQ(ULONG(lock.Dbg.AllocateTag), kTag);
  EXPECT_EQ(lock.Dbg.HighWatermark, 100u);
  EXPECT_EQ(lock.Dbg.MaxLockedTicks, 60LL * 10'000'000LL);
}

TEST_F(RemoveLockTest, ReleaseAndWaitWaitsForEveryHolderOnOtherThreads) {
  constexpr int kHolders = 3;
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  std::atomic<int> acquired{0}, released{0};
  std::vector<std::thread> holders;
  for (int i = 0; i < kHolders; ++i) {
    holders.emplace_back([&, i] {
      ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
      acquired++;
      KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
      // Stagger the releases so the waiter sees the count fall step by step.
      std::this_thread::sleep_for(std::chrono::milliseconds(5 * i));
      released++;
      IoReleaseRemoveLock(&lock, nullptr);
    });
  }
  while (acquired < kHolders) std::this_thread::yield();

  std::atomic<bool> done{false};
  int releasedWhenDone = -1;
  std::thread remover([&] {
    ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock, nullptr);
    releasedWhenDone = released.load();
    done = true;
  });
  // Give a wrong implementation the chance to return early; a right one
  // cannot, whatever the scheduling.
  while (!__atomic_load_n(&lock.Common.Removed, __ATOMIC_SEQ_CST)) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(done.load());
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING) << "new holders are refused while waiting";

  KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
  remover.join();
  for (auto& t : holders) t.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(releasedWhenDone, kHolders);
}

TEST_F(RemoveLockTest, ManyThreadsAcquireAndReleaseWhileRemovalBegins) {
  std::atomic<bool> stop{false};
  std::atomic<long> successes{0}, refusals{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 4; ++i) {
    workers.emplace_back([&] {
      while (!stop) {
        NTSTATUS s = IoAcquireRemoveLock(&lock, nullptr);
        if (NT_SUCCESS(s)) {
          successes++;
          IoReleaseRemoveLock(&lock, nullptr);
        } else {
          EXPECT_EQ(s, STATUS_DELETE_PENDING);
          refusals++;
        }
      }
    });
  }
  while (successes < 1000) std::this_thread::yield();
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
  IoReleaseRemoveLockAndWait(&lock, nullptr);
  long refusalsAtRemoval = refusals;
  while (refusals < refusalsAtRemoval + 100) std::this_thread::yield();
  stop = true;
  for (auto& t : workers) t.join();
  EXPECT_EQ(lock.Common.IoCount, 0);
}

TEST_F(RemoveLockTest, ReleasingMoreThanAcquiredStopsTheSystem) {
  EXPECT_DEATH(
      {
        IoReleaseRemoveLock(&lock, nullptr);  // drops the bias: count 0 without removal
      },
      "STOP");
}

}  // namespace
