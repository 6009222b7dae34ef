// Hand-offs between senders and a device's worker: waits look at their
// object for a moment before they sleep, and no signal may be lost or
// taken twice on the way, whether a waiter looks or sleeps.
#include <atomic>
#include <thread>

#include "tests/vdisk/vdisk_fixture.h"

namespace tarn::test {
namespace {

// Waits until a waiter has taken the event's signal; false if none does
// within a very long while (a signal that is never taken hangs no test).
bool Taken(KEVENT* event)
{
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (KeReadStateEvent(event) != 0) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(HandoffTest, SynchronizationEventReleasesOneWaiterPerSet)
{
    constexpr int kWaiters = 4;
    constexpr int kSets = 400;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    // Every release counts; the releases beyond the test's sets end the waiters.
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            for (;;) {
                ASSERT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
                if (released.fetch_add(1) + 1 > kSets) return;
            }
        });
    }
    for (int i = 0; i < kSets + kWaiters; ++i) {
        KeSetEvent(&event, 0, FALSE);
        // Sets in a row while it is still signalled would merge: each one
        // waits until a waiter has taken the last.
        ASSERT_TRUE(Taken(&event)) << "set " << i;
        // Sometimes long enough for every waiter to fall asleep.
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(released.load(), kSets + kWaiters) << "a set released more or fewer than one waiter";
}

TEST_F(VdiskTest, ManySendersAtOnceEachGetTheirOwnData)
{
    constexpr size_t kImage = 1 << 20;
    auto image = Dir() / "shared.img";
    MakeImage(image, kImage, 41);
    PDEVICE_OBJECT disk = Disk(2);
    ASSERT_EQ(Mount(disk, MakeRecord(image)).status, STATUS_SUCCESS);
    const std::vector<uint8_t> pattern = Pattern(kImage, 41);

    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < 4; ++s) {
        senders.emplace_back([&, s] {
            std::vector<uint8_t> buffer(4096);
            for (int i = 0; i < 300; ++i) {
                const size_t offset = (size_t(i * 7 + s * 61) % (kImage / 4096)) * 4096;
                const IrpResult r = SendRead(disk, int64_t(offset), buffer.data(), 4096);
                if (r.status != STATUS_SUCCESS || r.information != 4096 ||
                    std::memcmp(buffer.data(), pattern.data() + offset, 4096) != 0) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& t : senders) t.join();
    EXPECT_EQ(wrong.load(), 0);
    ASSERT_EQ(Unmount(disk).status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace tarn::test
