// The control routine's length and state checks, code by code, and the
// records it fills in.
#include <unistd.h>

#include "platform/nt/host.h"
#include "platform/nt/ntdddisk.h"
#include "sys/crypt_ioctl.h"
#include "tests/vdisk/vdisk_fixture.h"

namespace tarn::test {
namespace {

constexpr int64_t kDiskSize = 100 << 20;

struct LengthCase {
    const char* name;
    ULONG code;
    size_t input;
    ULONG output;
    NTSTATUS status;
    ULONG_PTR information;
};

// On a mounted, writable 100 MiB disk.
const LengthCase kLengthCases[] = {
    {"query, 1247 bytes", IOCTL_VDISK_QUERY, 0, 1247, STATUS_BUFFER_TOO_SMALL, 0},
    {"query, 1248 bytes", IOCTL_VDISK_QUERY, 0, 1248, STATUS_SUCCESS, 1248},
    {"mount on a mounted device", IOCTL_VDISK_MOUNT, 1248, 0, STATUS_INVALID_DEVICE_REQUEST, 0},
    {"crypt state, 3 bytes", IOCTL_CRYPT_QUERY_STATE, 0, 3, STATUS_INVALID_PARAMETER, 0},
    {"crypt state, 4 bytes", IOCTL_CRYPT_QUERY_STATE, 0, 4, STATUS_SUCCESS, 4},
    {"set key, 31 bytes", IOCTL_CRYPT_SET_KEY, 31, 0, STATUS_INVALID_PARAMETER, 0},
    {"set key, 64 bytes", IOCTL_CRYPT_SET_KEY, 64, 0, STATUS_SUCCESS, 0},
    {"clear key", IOCTL_CRYPT_CLEAR_KEY, 0, 0, STATUS_SUCCESS, 0},
    {"raw write, nothing", IOCTL_CRYPT_RAW_WRITE, 0, 0, STATUS_INVALID_PARAMETER, 0},
    {"raw write, offset only", IOCTL_CRYPT_RAW_WRITE, 8, 0, STATUS_INVALID_PARAMETER, 0},
    {"raw write, 511", IOCTL_CRYPT_RAW_WRITE, 8 + 511, 0, STATUS_INVALID_PARAMETER, 0},
    {"raw write, 512", IOCTL_CRYPT_RAW_WRITE, 8 + 512, 0, STATUS_SUCCESS, 512},
    {"raw write, 65536", IOCTL_CRYPT_RAW_WRITE, 8 + 65536, 0, STATUS_SUCCESS, 65536},
    {"raw write, 65537", IOCTL_CRYPT_RAW_WRITE, 8 + 65537, 0, STATUS_INVALID_PARAMETER, 0},
    {"raw write, 66048", IOCTL_CRYPT_RAW_WRITE, 8 + 66048, 0, STATUS_INVALID_PARAMETER, 0},
    {"end encryption", IOCTL_CRYPT_END_ENCRYPTION, 0, 0, STATUS_SUCCESS, 0},
    {"disk geometry, 23", IOCTL_DISK_GET_DRIVE_GEOMETRY, 0, 23, STATUS_BUFFER_TOO_SMALL, 0},
    {"disk geometry, 24", IOCTL_DISK_GET_DRIVE_GEOMETRY, 0, 24, STATUS_SUCCESS, 24},
    {"cd geometry, 23", IOCTL_CDROM_GET_DRIVE_GEOMETRY, 0, 23, STATUS_BUFFER_TOO_SMALL, 0},
    {"cd geometry, 24", IOCTL_CDROM_GET_DRIVE_GEOMETRY, 0, 24, STATUS_SUCCESS, 24},
    {"toc, 803", IOCTL_CDROM_READ_TOC, 0, 803, STATUS_BUFFER_TOO_SMALL, 0},
    {"toc, 804", IOCTL_CDROM_READ_TOC, 0, 804, STATUS_SUCCESS, 804},
    {"partition info, 31", IOCTL_DISK_GET_PARTITION_INFO, 0, 31, STATUS_BUFFER_TOO_SMALL, 0},
    {"partition info, 32", IOCTL_DISK_GET_PARTITION_INFO, 0, 32, STATUS_SUCCESS, 32},
    {"partition info ex, 143", IOCTL_DISK_GET_PARTITION_INFO_EX, 0, 143, STATUS_BUFFER_TOO_SMALL, 0},
    {"partition info ex, 144", IOCTL_DISK_GET_PARTITION_INFO_EX, 0, 144, STATUS_SUCCESS, 144},
    {"length, 7", IOCTL_DISK_GET_LENGTH_INFO, 0, 7, STATUS_BUFFER_TOO_SMALL, 0},
    {"length, 8", IOCTL_DISK_GET_LENGTH_INFO, 0, 8, STATUS_SUCCESS, 8},
    {"verify, 15", IOCTL_DISK_VERIFY, 15, 0, STATUS_INVALID_PARAMETER, 0},
    {"verify, 16", IOCTL_DISK_VERIFY, 16, 0, STATUS_SUCCESS, 0x01010101},
    {"performance, 87", IOCTL_DISK_PERFORMANCE, 0, 87, STATUS_INVALID_PARAMETER, 0},
    {"performance, 88", IOCTL_DISK_PERFORMANCE, 0, 88, STATUS_SUCCESS, 88},
    {"is writable", IOCTL_DISK_IS_WRITABLE, 0, 0, STATUS_SUCCESS, 0},
    {"set partition, nothing", IOCTL_DISK_SET_PARTITION_INFO, 0, 0, STATUS_INVALID_PARAMETER, 0},
    {"set partition, 1 byte", IOCTL_DISK_SET_PARTITION_INFO, 1, 0, STATUS_SUCCESS, 0},
    {"cd check verify", IOCTL_CDROM_CHECK_VERIFY, 0, 0, STATUS_SUCCESS, 0},
    {"disk check verify", IOCTL_DISK_CHECK_VERIFY, 0, 0, STATUS_SUCCESS, 0},
    {"disk media removal", IOCTL_DISK_MEDIA_REMOVAL, 0, 0, STATUS_SUCCESS, 0},
    {"storage check verify 2", IOCTL_STORAGE_CHECK_VERIFY2, 0, 0, STATUS_SUCCESS, 0},
    {"storage check verify", IOCTL_STORAGE_CHECK_VERIFY, 0, 0, STATUS_SUCCESS, 0},
    {"storage media removal", IOCTL_STORAGE_MEDIA_REMOVAL, 0, 0, STATUS_SUCCESS, 0},
    {"unknown code", IOCTL_DISK_GET_DRIVE_LAYOUT, 0, 4096, STATUS_INVALID_DEVICE_REQUEST, 0},
};

class ControlTest : public VdiskTest {
protected:
    void SetUp() override
    {
        VdiskTest::SetUp();
        image_ = Dir() / "big.img";
        WriteFileBytes(image_, 0, {0});
        ASSERT_EQ(truncate(image_.c_str(), kDiskSize), 0);
        disk_ = Disk(5);
    }

    std::filesystem::path image_;
    PDEVICE_OBJECT disk_ = nullptr;
};

TEST_F(ControlTest, EveryCodeChecksItsLengths)
{
    ASSERT_EQ(Mount(disk_, MakeRecord(image_, 0, false, VDISK_KIND_IMAGE, 'K')).status, STATUS_SUCCESS);
    for (const LengthCase& c : kLengthCases) {
        SCOPED_TRACE(c.name);
        // Input bytes 0x01: offset 0x0101010101010101 would be off the disk,
        // so raw writes get offset 0.
        std::vector<uint8_t> input(c.input, 0x01);
        if (c.code == IOCTL_CRYPT_RAW_WRITE && input.size() >= 8) std::fill_n(input.begin(), 8, 0);
        if (c.code == IOCTL_VDISK_MOUNT) input = RecordBytes(MakeRecord(image_));
        std::vector<uint8_t> out;
        IrpResult r = Control(disk_, c.code, input, &out, c.output);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, c.information);
    }
}

TEST_F(ControlTest, EmptyDeviceAnswersOnlyTheMount)
{
    for (const LengthCase& c : kLengthCases) {
        if (c.code == IOCTL_VDISK_MOUNT) continue;
        SCOPED_TRACE(c.name);
        IrpResult r = Control(disk_, c.code, std::vector<uint8_t>(c.input, 0), nullptr, c.output);
        EXPECT_EQ(r.status, STATUS_NO_MEDIA_IN_DEVICE);
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_EQ(Control(disk_, IOCTL_VDISK_UNMOUNT).status, STATUS_NO_MEDIA_IN_DEVICE);
    for (size_t length : {size_t(1247), size_t(1249), size_t(0)}) {
        std::vector<uint8_t> input = RecordBytes(MakeRecord(image_));
        input.resize(length);
        EXPECT_EQ(Control(disk_, IOCTL_VDISK_MOUNT, input).status, STATUS_INVALID_PARAMETER) << length;
    }
}

template <class T>
T As(const std::vector<uint8_t>& bytes)
{
    T value{};
    EXPECT_GE(bytes.size(), sizeof(T));
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof(T)));
    return value;
}

TEST_F(ControlTest, RecordsDescribeTheMountedDisk)
{
    ASSERT_EQ(Mount(disk_, MakeRecord(image_, 4096, false, VDISK_KIND_IMAGE, 'K')).status, STATUS_SUCCESS);

    std::vector<uint8_t> out;
    ASSERT_EQ(Control(disk_, IOCTL_DISK_GET_DRIVE_GEOMETRY, {}, &out, 24).status, STATUS_SUCCESS);
    auto geometry = As<DISK_GEOMETRY>(out);
    EXPECT_EQ(geometry.Cylinders.QuadPart, 3200);
    EXPECT_EQ(geometry.MediaType, FixedMedia);
    EXPECT_EQ(geometry.TracksPerCylinder, 2u);
    EXPECT_EQ(geometry.SectorsPerTrack, 32u);
    EXPECT_EQ(geometry.BytesPerSector, 512u);

    ASSERT_EQ(Control(disk_, IOCTL_DISK_GET_PARTITION_INFO, {}, &out, 32).status, STATUS_SUCCESS);
    auto partition = As<PARTITION_INFORMATION>(out);
    EXPECT_EQ(partition.PartitionLength.QuadPart, kDiskSize);
    EXPECT_EQ(partition.HiddenSectors, 1u);
    EXPECT_EQ(partition.StartingOffset.QuadPart, 0);

    ASSERT_EQ(Control(disk_, IOCTL_DISK_GET_PARTITION_INFO_EX, {}, &out, 144).status, STATUS_SUCCESS);
    auto partitionEx = As<PARTITION_INFORMATION_EX>(out);
    EXPECT_EQ(partitionEx.PartitionStyle, PARTITION_STYLE_MBR);
    EXPECT_EQ(partitionEx.PartitionLength.QuadPart, kDiskSize);
    EXPECT_EQ(partitionEx.Mbr.HiddenSectors, 1u);

    ASSERT_EQ(Control(disk_, IOCTL_CDROM_READ_TOC, {}, &out, 804).status, STATUS_SUCCESS);
    auto toc = As<CDROM_TOC>(out);
    EXPECT_EQ(toc.FirstTrack, 1);
    EXPECT_EQ(toc.LastTrack, 1);
    EXPECT_EQ(toc.TrackData[0].Control, 4);

    // The counters are not kept; whatever the buffer held must not come back.
    std::vector<uint8_t> junk(88, 0xFF);
    ASSERT_EQ(Control(disk_, IOCTL_DISK_PERFORMANCE, junk, &out, 88).status, STATUS_SUCCESS);
    EXPECT_EQ(out, std::vector<uint8_t>(88, 0));

    std::vector<uint8_t> verify(16, 0);
    verify[8] = 0x00;
    verify[9] = 0x10;  // 4096
    EXPECT_EQ(Control(disk_, IOCTL_DISK_VERIFY, verify).information, 4096u);

    ASSERT_EQ(Control(disk_, IOCTL_VDISK_QUERY, {}, &out, VDISK_MOUNT_RECORD_SIZE).status, STATUS_SUCCESS);
    auto record = As<VDISK_MOUNT_RECORD>(out);
    EXPECT_EQ(record.DiskSize, kDiskSize);
    EXPECT_EQ(record.DeviceNumber, 5u);
    EXPECT_EQ(record.DiskKind, VDISK_KIND_IMAGE);
    EXPECT_EQ(record.ReadOnly, 0);
    const std::u16string name = NtPathOf(image_);
    EXPECT_EQ(std::u16string(record.FileName, name.size()), name);
}

// No "\Device\Tcp" is loaded here: the network mount fails at its first
// step and leaves no link behind.
TEST_F(ControlTest, NetworkMountWithoutTransportFailsAndLeavesNothing)
{
    VDISK_MOUNT_RECORD record = MakeRecord(image_, 0, false, VDISK_KIND_NETWORK, 'N');
    record.ServerAddress = 0x0100007F;
    record.ServerPort = 0x3930;
    EXPECT_EQ(Mount(disk_, record).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(NtHostResolvePath(u"\\DosDevices\\N:").empty());
    std::vector<uint8_t> buffer(512);
    EXPECT_EQ(SendRead(disk_, 0, buffer.data(), 512).status, STATUS_NO_MEDIA_IN_DEVICE);
}

}  // namespace
}  // namespace tarn::test
