// File-backed media: what reaches the image file, how the disk's size is
// decided, and the bounds every transfer must stay within.
#include <unistd.h>

#include <limits>

#include "platform/nt/host.h"
#include "platform/nt/ntdddisk.h"
#include "platform/nt/testing.h"
#include "sys/crypt_ioctl.h"
#include "tests/vdisk/vdisk_fixture.h"

namespace tarn::test {
namespace {

constexpr int64_t kMiB = 1 << 20;

int64_t LengthOf(VdiskTest& t, PDEVICE_OBJECT device)
{
    std::vector<uint8_t> out;
    IrpResult r = t.Control(device, IOCTL_DISK_GET_LENGTH_INFO, {}, &out, sizeof(GET_LENGTH_INFORMATION));
    if (r.status != STATUS_SUCCESS || out.size() != 8) return -1;
    int64_t length;
    std::memcpy(&length, out.data(), 8);
    return length;
}

TEST_F(VdiskTest, MountedImageKeepsEveryWrite)
{
    auto image = Dir() / "plain.img";
    MakeImage(image, kMiB, 7);
    PDEVICE_OBJECT disk = Disk(2);
    ASSERT_EQ(Mount(disk, MakeRecord(image, 0, false, VDISK_KIND_IMAGE, 'P')).status, STATUS_SUCCESS);
    EXPECT_EQ(NtHostResolvePath(u"\\DosDevices\\Global\\P:"), u"\\Device\\Ombrel\\Ombrel2");
    EXPECT_EQ(LengthOf(*this, disk), kMiB);

    EXPECT_EQ(Read(disk, 0, 65536), ReadFileBytes(image, 0, 65536));
    EXPECT_EQ(Read(disk, kMiB - 4096, 4096), ReadFileBytes(image, kMiB - 4096, 4096));

    struct Change {
        int64_t offset;
        size_t length;
    };
    const Change changes[] = {{0, 512}, {4096, 8192}, {kMiB - 512, 512}, {300000 * 1, 100}};
    uint32_t seed = 100;
    for (const Change& c : changes) {
        std::vector<uint8_t> data = Pattern(c.length, seed++);
        const std::vector<uint8_t> copy = data;
        IrpResult r = Write(disk, c.offset, data);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << c.offset;
        EXPECT_EQ(r.information, c.length);
        EXPECT_EQ(data, copy) << "the caller's buffer changed";
        EXPECT_EQ(Read(disk, c.offset, ULONG(c.length)), copy);
    }
    ASSERT_EQ(Unmount(disk).status, STATUS_SUCCESS);
    EXPECT_TRUE(NtHostResolvePath(u"\\DosDevices\\P:").empty());

    seed = 100;
    for (const Change& c : changes) {
        EXPECT_EQ(ReadFileBytes(image, c.offset, c.length), Pattern(c.length, seed++)) << c.offset;
    }
    std::vector<uint8_t> buffer(512);
    EXPECT_EQ(SendRead(disk, 0, buffer.data(), 512).status, STATUS_NO_MEDIA_IN_DEVICE);
}

TEST_F(VdiskTest, DiskSizeComesFromTheFileAndOnlyMissingFilesAreCreated)
{
    struct Case {
        const char* name;
        int64_t existingSize;  // -1: no file
        int64_t recordSize;
        bool readOnly;
        NTSTATUS status;
        int64_t diskSize;
    };
    const Case cases[] = {
        {"missing, created", -1, 10 * kMiB, false, STATUS_SUCCESS, 10 * kMiB},
        {"missing, no size", -1, 0, false, STATUS_NO_SUCH_FILE, 0},
        {"missing, read-only", -1, 10 * kMiB, true, STATUS_NO_SUCH_FILE, 0},
        {"missing, negative size", -1, -512, false, STATUS_INVALID_PARAMETER, 0},
        {"existing larger than the record", 20 * kMiB, 10 * kMiB, false, STATUS_SUCCESS, 20 * kMiB},
        {"existing smaller than the record", 1 * kMiB, 10 * kMiB, false, STATUS_SUCCESS, 1 * kMiB},
    };
    PDEVICE_OBJECT disk = Disk(1);
    int i = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto image = Dir() / ("size" + std::to_string(i++) + ".img");
        if (c.existingSize >= 0) {
            WriteFileBytes(image, 0, {1});
            ASSERT_EQ(truncate(image.c_str(), c.existingSize), 0);
        }
        IrpResult r = Mount(disk, MakeRecord(image, c.recordSize, c.readOnly, VDISK_KIND_IMAGE, 'S'));
        EXPECT_EQ(r.status, c.status);
        if (!NT_SUCCESS(c.status)) {
            // Left empty, without a link or the file.
            EXPECT_EQ(Control(disk, IOCTL_DISK_GET_LENGTH_INFO, {}, nullptr, 8).status, STATUS_NO_MEDIA_IN_DEVICE);
            EXPECT_TRUE(NtHostResolvePath(u"\\DosDevices\\S:").empty());
            EXPECT_FALSE(std::filesystem::exists(image));
            continue;
        }
        EXPECT_EQ(LengthOf(*this, disk), c.diskSize);
        EXPECT_EQ(int64_t(std::filesystem::file_size(image)), c.diskSize);
        ASSERT_EQ(Unmount(disk).status, STATUS_SUCCESS);
    }

    auto nowhere = Dir() / "no-such-dir" / "x.img";
    EXPECT_EQ(Mount(disk, MakeRecord(nowhere, kMiB)).status, STATUS_OBJECT_PATH_NOT_FOUND);

    // A name that fills its field without a terminator is refused, not overrun.
    VDISK_MOUNT_RECORD record = MakeRecord(Dir() / "x.img", kMiB);
    std::fill(std::begin(record.FileName), std::end(record.FileName), u'a');
    EXPECT_EQ(Mount(disk, record).status, STATUS_OBJECT_NAME_INVALID);
}

TEST_F(VdiskTest, TransfersOutsideTheDiskAreRefusedAndWriteNothing)
{
    auto image = Dir() / "bounds.img";
    MakeImage(image, kMiB, 3);
    const auto before = ReadFileBytes(image, 0, kMiB);
    PDEVICE_OBJECT disk = Disk(0);
    ASSERT_EQ(Mount(disk, MakeRecord(image)).status, STATUS_SUCCESS);

    struct Case {
        const char* name;
        UCHAR major;
        int64_t offset;
        ULONG length;
        NTSTATUS status;
    };
    const int64_t maxOffset = std::numeric_limits<int64_t>::max();
    const Case cases[] = {
        {"write ending at the end", IRP_MJ_WRITE, kMiB - 512, 512, STATUS_SUCCESS},
        {"write one byte past the end", IRP_MJ_WRITE, kMiB - 511, 512, STATUS_INVALID_PARAMETER},
        {"write whose end overflows", IRP_MJ_WRITE, maxOffset - 100, 512, STATUS_INVALID_PARAMETER},
        {"write at a negative offset", IRP_MJ_WRITE, -512, 512, STATUS_INVALID_PARAMETER},
        {"read ending at the end", IRP_MJ_READ, kMiB - 512, 512, STATUS_SUCCESS},
        {"read past the end", IRP_MJ_READ, kMiB, 512, STATUS_INVALID_PARAMETER},
        {"read whose end overflows", IRP_MJ_READ, maxOffset - 100, 512, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data(c.length, 0);
        if (c.major == IRP_MJ_WRITE) {
            data = ReadFileBytes(image, kMiB - 512, 512);  // same bytes: a success changes nothing
        }
        IrpResult r = c.major == IRP_MJ_READ ? SendRead(disk, c.offset, data.data(), c.length)
                                             : SendWrite(disk, c.offset, data.data(), c.length);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, NT_SUCCESS(c.status) ? c.length : 0u);
    }

    // A flush waits behind the writes in the queue and reaches the image.
    EXPECT_EQ(SendOther(disk, IRP_MJ_FLUSH_BUFFERS).status, STATUS_SUCCESS);

    // Raw writes stay on the disk as well.
    for (int64_t offset : {kMiB, kMiB - 511, maxOffset - 100, int64_t(-512)}) {
        std::vector<uint8_t> raw(8 + 512, 0xAB);
        std::memcpy(raw.data(), &offset, 8);
        EXPECT_EQ(Control(disk, IOCTL_CRYPT_RAW_WRITE, raw).status, STATUS_INVALID_PARAMETER) << offset;
    }
    ASSERT_EQ(Unmount(disk).status, STATUS_SUCCESS);
    EXPECT_EQ(std::filesystem::file_size(image), uint64_t(kMiB));
    EXPECT_EQ(ReadFileBytes(image, 0, kMiB), before);
}

TEST_F(VdiskTest, ReadMeetingTheEndOfFileShowsZeroesNotStaleMemory)
{
    auto image = Dir() / "short.img";
    MakeImage(image, kMiB, 4);
    PDEVICE_OBJECT disk = Disk(0);
    ASSERT_EQ(Mount(disk, MakeRecord(image)).status, STATUS_SUCCESS);
    // The file shrinks under the mounted disk: inside its last page, then by
    // whole pages.
    for (int64_t cut : {1000, 50000}) {
        SCOPED_TRACE(cut);
        ASSERT_EQ(truncate(image.c_str(), kMiB - cut), 0);
        std::vector<uint8_t> got = Read(disk, kMiB - 65536, 65536);
        std::vector<uint8_t> expected = Pattern(kMiB, 4);
        expected.erase(expected.begin(), expected.end() - 65536);
        std::fill(expected.end() - cut, expected.end(), 0);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(Read(disk, 0, 4096), Pattern(4096, 4));
    }
}

TEST_F(VdiskTest, ReadOnlyMediaRefuseWrites)
{
    auto image = Dir() / "ro.img";
    MakeImage(image, kMiB, 5);
    const auto before = ReadFileBytes(image, 0, 4096);

    // A CD device is read-only whatever the record says.
    PDEVICE_OBJECT cd = Cd(0);
    ASSERT_EQ(Mount(cd, MakeRecord(image, 0, false, VDISK_KIND_CD_IMAGE, 'C')).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(cd, IOCTL_DISK_IS_WRITABLE).status, STATUS_MEDIA_WRITE_PROTECTED);
    std::vector<uint8_t> data(4096, 0x11);
    EXPECT_FALSE(NT_SUCCESS(Write(cd, 0, data).status));
    EXPECT_EQ(Read(cd, 0, 4096), before);

    // A second read-only mount of the same image is fine; a writable one is not.
    PDEVICE_OBJECT disk = Disk(0);
    ASSERT_EQ(Mount(Cd(1), MakeRecord(image, 0, true, VDISK_KIND_CD_IMAGE, 'D')).status, STATUS_SUCCESS);
    EXPECT_EQ(Mount(disk, MakeRecord(image)).status, STATUS_SHARING_VIOLATION);
    ASSERT_EQ(Unmount(cd).status, STATUS_SUCCESS);
    ASSERT_EQ(Unmount(Cd(1)).status, STATUS_SUCCESS);

    // A disk mounted read-only says so, and forgets it at the next mount.
    ASSERT_EQ(Mount(disk, MakeRecord(image, 0, true)).status, STATUS_SUCCESS);
    EXPECT_TRUE(disk->Characteristics & FILE_READ_ONLY_DEVICE);
    EXPECT_EQ(Control(disk, IOCTL_DISK_IS_WRITABLE).status, STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_FALSE(NT_SUCCESS(Write(disk, 0, data).status));
    ASSERT_EQ(Unmount(disk).status, STATUS_SUCCESS);
    ASSERT_EQ(Mount(disk, MakeRecord(image)).status, STATUS_SUCCESS);
    EXPECT_FALSE(disk->Characteristics & FILE_READ_ONLY_DEVICE);
    EXPECT_EQ(Control(disk, IOCTL_DISK_IS_WRITABLE).status, STATUS_SUCCESS);
    ASSERT_EQ(Unmount(disk).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadFileBytes(image, 0, 4096), before);
}

TEST_F(VdiskTest, KernelSayingNoFailsTheRequestAndLeaksNothing)
{
    auto image = Dir() / "alloc.img";
    MakeImage(image, kMiB, 6);
    PDEVICE_OBJECT disk = Disk(0);
    // 1: the caller's security record, 2: the name buffer.
    for (ULONG nth : {1u, 2u}) {
        SCOPED_TRACE(nth);
        NtPoolFailAllocation(VDISK_POOL_TAG, nth);
        EXPECT_EQ(Mount(disk, MakeRecord(image, 0, false, VDISK_KIND_IMAGE, 'F')).status,
                  STATUS_INSUFFICIENT_RESOURCES);
        NtResetFaults();
        EXPECT_TRUE(NtHostResolvePath(u"\\DosDevices\\F:").empty());
        EXPECT_EQ(Control(disk, IOCTL_VDISK_QUERY, {}, nullptr, VDISK_MOUNT_RECORD_SIZE).status,
                  STATUS_NO_MEDIA_IN_DEVICE);
    }
    // A caller's buffer that cannot be mapped, for a read and a write.
    ASSERT_EQ(Mount(disk, MakeRecord(image)).status, STATUS_SUCCESS);
    std::vector<uint8_t> data(4096, 0x33);
    for (bool write : {false, true}) {
        NtMdlFailMapping(1);
        IrpResult r = write ? SendWrite(disk, 0, data.data(), 4096, BufferMapping::Unmapped)
                            : SendRead(disk, 0, data.data(), 4096, BufferMapping::Unmapped);
        EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(r.information, 0u);
        NtResetFaults();
    }
    ASSERT_EQ(Unmount(disk).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadFileBytes(image, 0, 4096), Pattern(4096, 6));
}

}  // namespace
}  // namespace tarn::test
