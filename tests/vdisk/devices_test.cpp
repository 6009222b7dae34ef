// The devices themselves: what exists after entry, and what an unload does
// with media and requests still there.
#include <atomic>
#include <thread>

#include "platform/nt/host.h"
#include "tests/vdisk/vdisk_fixture.h"

namespace tarn::test {
namespace {

TEST_F(VdiskTest, EntryMissesNoDeviceAndCdDevicesAreReadOnly)
{
    for (ULONG n = 0; n < 8; ++n) {
        PDEVICE_OBJECT disk = Disk(n);
        PDEVICE_OBJECT cd = Cd(n);
        ASSERT_NE(disk, nullptr) << "Ombrel" << n;
        ASSERT_NE(cd, nullptr) << "OmbrelCd" << n;
        EXPECT_EQ(disk->DeviceType, ULONG(FILE_DEVICE_DISK));
        EXPECT_EQ(cd->DeviceType, ULONG(FILE_DEVICE_CD_ROM));
        EXPECT_TRUE(disk->Flags & DO_DIRECT_IO);
        EXPECT_FALSE(disk->Characteristics & FILE_READ_ONLY_DEVICE);
        EXPECT_TRUE(cd->Characteristics & FILE_READ_ONLY_DEVICE);
        EXPECT_EQ(Ext(disk)->DeviceNumber, n);
        EXPECT_EQ(Ext(cd)->DeviceNumber, n);
        EXPECT_EQ(Ext(cd)->ReadOnly, 1);
    }
    EXPECT_EQ(NtHostListDirectory(u"\\Device\\Ombrel").size(), 16u);
    EXPECT_EQ(Disk(8), nullptr);
}

TEST_F(VdiskTest, EmptyDeviceServesNoTransfer)
{
    std::vector<uint8_t> buffer(512);
    EXPECT_EQ(SendRead(Disk(0), 0, buffer.data(), 512).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(SendWrite(Disk(0), 0, buffer.data(), 512).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(SendOther(Disk(0), IRP_MJ_FLUSH_BUFFERS).status, STATUS_INVALID_DEVICE_REQUEST);
    IrpResult open = SendOther(Disk(0), IRP_MJ_CREATE);
    EXPECT_EQ(open.status, STATUS_SUCCESS);
    EXPECT_EQ(open.information, ULONG_PTR(FILE_OPENED));
}

TEST_F(VdiskTest, UnloadWithMediaMountedClosesImagesAndLinks)
{
    auto image = Dir() / "a.img";
    auto iso = Dir() / "b.iso";
    MakeImage(image, 1 << 20, 1);
    MakeImage(iso, 1 << 20, 2);
    ASSERT_EQ(Mount(Disk(0), MakeRecord(image, 0, false, VDISK_KIND_IMAGE, 'Q')).status, STATUS_SUCCESS);
    ASSERT_EQ(Mount(Cd(3), MakeRecord(iso, 0, true, VDISK_KIND_CD_IMAGE, 'R')).status, STATUS_SUCCESS);
    EXPECT_EQ(NtHostResolvePath(u"\\DosDevices\\Q:"), u"\\Device\\Ombrel\\Ombrel0");

    UnloadDriver();
    // TearDown checks that no file handle, token or driver pool is left.
    EXPECT_TRUE(NtHostResolvePath(u"\\DosDevices\\Q:").empty());
    EXPECT_TRUE(NtHostResolvePath(u"\\DosDevices\\R:").empty());
}

// The worker is held inside a read (the test owns CryptLock) while more
// requests queue behind it; then the driver unloads.
TEST_F(VdiskTest, RequestsQueuedAtUnloadCompleteWithError)
{
    auto image = Dir() / "a.img";
    MakeImage(image, 1 << 20, 2);
    const auto before = ReadFileBytes(image, 0, 1 << 20);
    PDEVICE_OBJECT disk = Disk(0);
    ASSERT_EQ(Mount(disk, MakeRecord(image)).status, STATUS_SUCCESS);
    VDISK_EXTENSION* ext = Ext(disk);

    ExAcquireFastMutex(&ext->CryptLock);
    constexpr int kQueued = 4;
    std::vector<IrpResult> results(kQueued + 1);
    std::vector<std::vector<uint8_t>> buffers(kQueued + 1, std::vector<uint8_t>(4096, 0x5A));
    std::vector<std::thread> senders;
    // The first one reaches the worker and waits for the lock.
    senders.emplace_back([&] { results[0] = SendRead(disk, 0, buffers[0].data(), 4096); });
    auto queued = [&] {
        KIRQL irql;
        KeAcquireSpinLock(&ext->QueueLock, &irql);
        int n = 0;
        for (PLIST_ENTRY e = ext->Queue.Flink; e != &ext->Queue; e = e->Flink) ++n;
        KeReleaseSpinLock(&ext->QueueLock, irql);
        return n;
    };
    while (__atomic_load_n(&ext->CryptLock.Contention, __ATOMIC_RELAXED) == 0) {
        std::this_thread::yield();  // until the worker waits for the lock inside the first
    }
    for (int i = 1; i <= kQueued; ++i) {
        senders.emplace_back([&, i] { results[i] = SendWrite(disk, 4096 * i, buffers[i].data(), 4096); });
    }
    while (queued() != kQueued) std::this_thread::yield();

    std::thread unloader([&] { UnloadDriver(); });
    while (!FlagIsSet(ext->StopWorker)) std::this_thread::yield();
    ExReleaseFastMutex(&ext->CryptLock);
    unloader.join();
    for (auto& t : senders) t.join();

    EXPECT_EQ(results[0].status, STATUS_SUCCESS);
    for (int i = 1; i <= kQueued; ++i) {
        EXPECT_EQ(results[i].status, STATUS_NO_SUCH_DEVICE) << "request " << i;
        EXPECT_EQ(results[i].information, 0u);
    }
    EXPECT_EQ(ReadFileBytes(image, 0, 1 << 20), before) << "a request that failed still wrote";
}

}  // namespace
}  // namespace tarn::test
