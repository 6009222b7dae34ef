// The block view's kernel cache: which inode a change drops, a write through
// the view not dropping the pages it holds, stopping while a drop waits, and
// the machine's generations telling the listener of every raise.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/host/fuse/kernel_cache.h"
#include "platform/host/volume_generations.h"

namespace tarn::host::fuse {
namespace {

struct Dropped {
    std::mutex mutex;
    std::multiset<uint64_t> inodes;
    KernelCache::Drop Recorder() {
        return [this](uint64_t inode) {
            std::lock_guard<std::mutex> guard(mutex);
            inodes.insert(inode);
        };
    }
    std::multiset<uint64_t> Take() {
        std::lock_guard<std::mutex> guard(mutex);
        return std::exchange(inodes, {});
    }
};

int v1, v2, v3;  // stand-ins for three volumes (only their addresses count)

// Pages left in the kernel after their volume changed are stale bytes served
// to readers; pages dropped for another volume's change only cost speed.
TEST(KernelCache, ChangeDropsTheChangedVolumesInodeOnly) {
    Dropped dropped;
    KernelCache cache(dropped.Recorder());
    const uint64_t e = cache.InodeOf(&v1, 'E');
    const uint64_t f = cache.InodeOf(&v2, 'F');
    EXPECT_NE(e, f);
    EXPECT_GE(e, KernelCache::kFirstInode);
    EXPECT_EQ(cache.InodeOf(&v1, 'Q'), e) << "an alias of E: has pages of its own to go stale";
    EXPECT_EQ(cache.InodeOf(&v1, 'E'), e) << "a volume's inode changed between lookups";

    const void* volume = nullptr;
    char letter = 0;
    ASSERT_TRUE(cache.Find(e, volume, letter));
    EXPECT_EQ(volume, &v1);
    EXPECT_EQ(letter, 'E') << "the letter last used to reach the volume";
    EXPECT_FALSE(cache.Find(f + 100, volume, letter));

    struct Case {
        const void* volume;
        std::multiset<uint64_t> expected;
    };
    const Case cases[] = {{&v1, {e}}, {&v2, {f}}, {&v3, {}}, {nullptr, {e, f}}};
    for (const auto& c : cases) {
        cache.Changed(c.volume);
        EXPECT_EQ(dropped.Take(), c.expected) << (c.volume == nullptr ? "every volume" : "one volume");
    }
}

// A write through the view runs while the kernel holds the pages it writes:
// dropping them from that thread would wait on itself forever.
TEST(KernelCache, OwnWriteLeavesOnlyItsOwnInodeOnItsOwnThread) {
    Dropped dropped;
    KernelCache cache(dropped.Recorder());
    const uint64_t e = cache.InodeOf(&v1, 'E');
    const uint64_t f = cache.InodeOf(&v2, 'F');
    {
        const KernelCache::OwnWrite own(e);
        cache.Changed(&v1);
        EXPECT_TRUE(dropped.Take().empty()) << "the writing thread dropped the pages it writes";
        cache.Changed(nullptr);
        EXPECT_EQ(dropped.Take(), std::multiset<uint64_t>{f}) << "another volume's pages were kept";
        std::thread other([&] { cache.Changed(&v1); });
        other.join();
        EXPECT_EQ(dropped.Take(), std::multiset<uint64_t>{e}) << "another thread's change kept stale pages";
        {
            const KernelCache::OwnWrite nested(f);
            cache.Changed(nullptr);
            EXPECT_EQ(dropped.Take(), std::multiset<uint64_t>{e});
        }
        cache.Changed(&v2);
        EXPECT_EQ(dropped.Take(), std::multiset<uint64_t>{f}) << "the outer write was not restored";
    }
    cache.Changed(&v1);
    EXPECT_EQ(dropped.Take(), std::multiset<uint64_t>{e}) << "the thread kept skipping after its write ended";
}

// Stopping the view must not tear the session down under a drop that still
// waits in the kernel, nor start new drops afterwards.
TEST(KernelCache, CloseWaitsForRunningDropsAndRefusesNewOnes) {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false, release = false;
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    KernelCache cache([&](uint64_t) {
        ++calls;
        std::unique_lock<std::mutex> guard(mutex);
        entered = true;
        cv.notify_all();
        cv.wait(guard, [&] { return release; });
        finished = true;
    });
    cache.InodeOf(&v1, 'E');
    std::thread changer([&] { cache.Changed(&v1); });
    {
        std::unique_lock<std::mutex> guard(mutex);
        cv.wait(guard, [&] { return entered; });
    }
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        cache.Close();
        closed = true;
        EXPECT_TRUE(finished) << "Close returned while a drop was still running";
    });
    {
        std::lock_guard<std::mutex> guard(mutex);
        release = true;
        cv.notify_all();
    }
    changer.join();
    closer.join();
    EXPECT_TRUE(closed);
    cache.Changed(&v1);
    cache.Changed(nullptr);
    EXPECT_EQ(calls, 1) << "a drop ran after Close";
}

// Every raise of a volume's generation must reach the listener (the block
// view), also for volumes no client ever asked a slot for; none after it is
// removed.
TEST(VolumeGenerationsListener, EveryRaiseIsToldUntilRemoved) {
    VolumeGenerations generations;
    ASSERT_TRUE(generations.Create());
    const uint32_t slot = generations.SlotOf(&v1);
    std::vector<const void*> told;
    VolumeGenerations::SetListener([&](const void* volume) { told.push_back(volume); });
    const uint64_t before = generations.Current(slot);
    generations.Bump(&v1);
    EXPECT_EQ(generations.Current(slot), before + 1) << "the listener took the raise's place";
    generations.Bump(&v2);
    generations.BumpAll();
    EXPECT_EQ(told, (std::vector<const void*>{&v1, &v2, nullptr}));
    VolumeGenerations::SetListener({});
    generations.Bump(&v1);
    EXPECT_EQ(told.size(), 3u) << "a removed listener was still told";
}

}  // namespace
}  // namespace tarn::host::fuse
