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
    EXPECT_EQ(SendOther(Disk(0), IRP_MJ_FLUSH_BUFFERS).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(SendOther(Disk(0), IRP_MJ_SHUTDOWN).status, STATUS_INVALID_DEVICE_REQUEST);
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

int QueuedRequests(VDISK_EXTENSION* ext)
{
    KIRQL irql;
    KeAcquireSpinLock(&ext->QueueLock, &irql);
    int n = 0;
    for (PLIST_ENTRY e = ext->Queue.Flink; e != &ext->Queue; e = e->Flink) ++n;
    KeReleaseSpinLock(&ext->QueueLock, irql);
    return n;
}

// Holds a device's worker inside a read of offset 0 (the test owns
// CryptLock, which the read takes after the file read) until Release().
class HeldWorker {
public:
    explicit HeldWorker(PDEVICE_OBJECT disk) : ext_(VdiskExtension(disk)), buffer_(4096)
    {
        ExAcquireFastMutex(&ext_->CryptLock);
        reader_ = std::thread([this, disk] { result_ = SendRead(disk, 0, buffer_.data(), 4096); });
        while (__atomic_load_n(&ext_->CryptLock.Contention, __ATOMIC_RELAXED) == 0) {
            std::this_thread::yield();
        }
    }
    ~HeldWorker() { Release(); }
    void Release()
    {
        if (!released_) {
            ExReleaseFastMutex(&ext_->CryptLock);
            reader_.join();
            released_ = true;
        }
    }
    IrpResult Result() const { return result_; }

private:
    VDISK_EXTENSION* ext_;
    std::vector<uint8_t> buffer_;
    std::thread reader_;
    IrpResult result_;
    bool released_ = false;
};

TEST_F(VdiskTest, RequestQueuedBehindAnUnmountFindsNoMedium)
{
    auto image = Dir() / "a.img";
    MakeImage(image, 1 << 20, 3);
    PDEVICE_OBJECT disk = Disk(1);
    ASSERT_EQ(Mount(disk, MakeRecord(image)).status, STATUS_SUCCESS);
    VDISK_EXTENSION* ext = Ext(disk);

    HeldWorker held(disk);
    IrpResult unmount, read, write;
    std::vector<uint8_t> readBuffer(4096), writeBuffer(4096, 0x77);
    std::thread unmounter([&] { unmount = Unmount(disk); });
    while (QueuedRequests(ext) != 1) std::this_thread::yield();
    std::thread reader([&] { read = SendRead(disk, 4096, readBuffer.data(), 4096); });
    std::thread writer([&] { write = SendWrite(disk, 8192, writeBuffer.data(), 4096); });
    while (QueuedRequests(ext) != 3) std::this_thread::yield();

    // An empty transfer is answered at once, though the worker is busy.
    IrpResult empty = SendRead(disk, 0, nullptr, 0, BufferMapping::None);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);

    held.Release();
    unmounter.join();
    reader.join();
    writer.join();
    EXPECT_EQ(held.Result().status, STATUS_SUCCESS);
    EXPECT_EQ(unmount.status, STATUS_SUCCESS);
    EXPECT_EQ(read.status, STATUS_NO_MEDIA_IN_DEVICE) << "a read of a closed image";
    EXPECT_EQ(write.status, STATUS_NO_MEDIA_IN_DEVICE) << "a write to a closed image";
    const std::vector<uint8_t> original = Pattern(1 << 20, 3);
    EXPECT_EQ(ReadFileBytes(image, 8192, 4096), std::vector<uint8_t>(original.begin() + 8192, original.begin() + 12288));
}

// The worker is held inside a read while more requests queue behind it;
// then the driver unloads.
TEST_F(VdiskTest, RequestsQueuedAtUnloadCompleteWithError)
{
    auto image = Dir() / "a.img";
    MakeImage(image, 1 << 20, 2);
    const auto before = ReadFileBytes(image, 0, 1 << 20);
    PDEVICE_OBJECT disk = Disk(0);
    ASSERT_EQ(Mount(disk, MakeRecord(image)).status, STATUS_SUCCESS);
    VDISK_EXTENSION* ext = Ext(disk);

    HeldWorker held(disk);
    constexpr int kQueued = 4;
    std::vector<IrpResult> results(kQueued);
    std::vector<std::vector<uint8_t>> buffers(kQueued, std::vector<uint8_t>(4096, 0x5A));
    std::vector<std::thread> senders;
    for (int i = 0; i < kQueued; ++i) {
        senders.emplace_back([&, i] { results[i] = SendWrite(disk, 4096 * (i + 1), buffers[i].data(), 4096); });
    }
    while (QueuedRequests(ext) != kQueued) std::this_thread::yield();

    std::thread unloader([&] { UnloadDriver(); });
    while (!FlagIsSet(ext->StopWorker)) std::this_thread::yield();
    held.Release();
    unloader.join();
    for (auto& t : senders) t.join();

    EXPECT_EQ(held.Result().status, STATUS_SUCCESS);
    for (int i = 0; i < kQueued; ++i) {
        EXPECT_EQ(results[i].status, STATUS_NO_SUCH_DEVICE) << "request " << i;
        EXPECT_EQ(results[i].information, 0u);
    }
    EXPECT_EQ(ReadFileBytes(image, 0, 1 << 20), before) << "a request that failed still wrote";
}

}  // namespace
}  // namespace tarn::test
