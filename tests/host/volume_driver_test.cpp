// The machine's disk driver on its own: requests built as the I/O manager
// builds them, against a volume device on a real file.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "platform/host/irp_io.h"
#include "platform/host/volume/volume.h"
#include "platform/nt/host.h"
#include "platform/nt/testing.h"

using namespace tarn::host;

namespace {

constexpr ULONGLONG kSize = 1 << 20;

class VolumeDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarn-volume-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fd_ = ::open((dir_ + "/disk").c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd_, 0);
        std::vector<uint8_t> data(kSize);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / 512 + i);
        ASSERT_EQ(::pwrite(fd_, data.data(), data.size(), 0), static_cast<ssize_t>(kSize));
        media_.fd = fd_;
        media_.length = kSize;
        static int number = 0;
        const std::u16string driverName = u"\\Driver\\TestDisk" + std::u16string(1, u'A' + number % 26);
        ASSERT_TRUE(NT_SUCCESS(NtHostLoadDriver(driverName.c_str(), VolumeDriverEntry, nullptr, &driver_)));
        const std::u16string deviceName = u"\\Device\\TestVolume" + std::u16string(1, u'A' + number++ % 26);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, deviceName.c_str());
        ASSERT_TRUE(NT_SUCCESS(VolumeCreateDevice(driver_, &name, VolumeKind::Fixed, 1, &media_, &device_)));
    }
    void TearDown() override {
        IoSendSimple(device_, nullptr, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        NtResetFaults();
        EXPECT_EQ(NtPoolOutstanding(NT_TAG_IRP), 0u);
        EXPECT_EQ(NtPoolOutstanding(NT_TAG_MDL), 0u);
        EXPECT_EQ(NtPoolOutstanding(NT_TAG_SYSTEM_BUFFER), 0u);
        ::close(fd_);
        std::filesystem::remove_all(dir_);
    }
    std::vector<uint8_t> FileBytes(uint64_t offset, size_t length) {
        std::vector<uint8_t> b(length);
        EXPECT_EQ(::pread(fd_, b.data(), length, static_cast<off_t>(offset)), static_cast<ssize_t>(length));
        return b;
    }

    std::string dir_;
    int fd_ = -1;
    VolumeMedia media_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(VolumeDriverTest, TransfersAreWholeSectorsAndStopAtTheEndOfTheMedium) {
    struct Case {
        const char* what;
        UCHAR major;
        LONGLONG offset;
        ULONG length;
        NTSTATUS status;
        ULONG_PTR moved;
    } cases[] = {
        {"read inside", IRP_MJ_READ, 4096, 8192, STATUS_SUCCESS, 8192},
        {"read across the end", IRP_MJ_READ, kSize - 1024, 4096, STATUS_SUCCESS, 1024},
        {"read at the end", IRP_MJ_READ, kSize, 512, STATUS_END_OF_FILE, 0},
        {"read at an odd offset", IRP_MJ_READ, 100, 512, STATUS_INVALID_PARAMETER, 0},
        {"read of part of a sector", IRP_MJ_READ, 0, 100, STATUS_INVALID_PARAMETER, 0},
        {"read at a negative offset", IRP_MJ_READ, -512, 512, STATUS_INVALID_PARAMETER, 0},
        {"write inside", IRP_MJ_WRITE, 65536, 4096, STATUS_SUCCESS, 4096},
        {"write across the end", IRP_MJ_WRITE, kSize - 512, 2048, STATUS_SUCCESS, 512},
        {"write past the end", IRP_MJ_WRITE, kSize, 512, STATUS_INVALID_PARAMETER, 0},
    };
    for (const auto& c : cases) {
        const auto before = FileBytes(0, kSize);
        std::vector<uint8_t> buffer(c.length, 0xEE);
        ULONG_PTR moved = 99;
        const NTSTATUS status = IoSendReadWrite(device_, nullptr, c.major, buffer.data(), c.length, c.offset, &moved);
        EXPECT_EQ(status, c.status) << c.what;
        EXPECT_EQ(moved, c.moved) << c.what;
        if (c.major == IRP_MJ_READ && NT_SUCCESS(status)) {
            EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + moved), FileBytes(c.offset, moved)) << c.what;
        }
        if (c.major == IRP_MJ_WRITE && NT_SUCCESS(status)) {
            EXPECT_EQ(FileBytes(c.offset, moved), std::vector<uint8_t>(moved, 0xEE)) << c.what;
        }
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(FileBytes(0, kSize), before) << c.what << ": a refused request changed the medium";
            EXPECT_EQ(buffer, std::vector<uint8_t>(c.length, 0xEE)) << c.what << ": a refused read touched the buffer";
        }
    }
}

TEST_F(VolumeDriverTest, MediumStateDecidesWhatARequestMayDo) {
    uint8_t out[64] = {};
    ULONG_PTR info = 0;
    EXPECT_EQ(IoSendDeviceControl(device_, nullptr, IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(IoSendDeviceControl(device_, nullptr, IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, out, 31, &info),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(IoSendDeviceControl(device_, nullptr, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, out, 8, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 8u);
    EXPECT_EQ(*reinterpret_cast<ULONGLONG*>(out), kSize);
    EXPECT_EQ(IoSendDeviceControl(device_, nullptr, IOCTL_CDROM_GET_DRIVE_GEOMETRY, nullptr, 0, out, 24, &info),
              STATUS_INVALID_DEVICE_REQUEST);

    // Write-protected medium: writes and the writability query say so, reads work.
    media_.readOnly = true;
    std::vector<uint8_t> sector(512, 1);
    EXPECT_EQ(IoSendReadWrite(device_, nullptr, IRP_MJ_WRITE, sector.data(), 512, 0, &info), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(IoSendDeviceControl(device_, nullptr, IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &info),
              STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(IoSendReadWrite(device_, nullptr, IRP_MJ_READ, sector.data(), 512, 0, &info), STATUS_SUCCESS);

    // No medium: everything about the medium fails the same way.
    media_.fd = -1;
    EXPECT_EQ(IoSendReadWrite(device_, nullptr, IRP_MJ_READ, sector.data(), 512, 0, &info), STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(IoSendDeviceControl(device_, nullptr, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, out, 8, &info),
              STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(IoSendDeviceControl(device_, nullptr, IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, nullptr, 0, &info),
              STATUS_NO_MEDIA_IN_DEVICE);
    media_.fd = fd_;
    media_.readOnly = false;
}

TEST_F(VolumeDriverTest, UnmappableBufferFailsWithoutTouchingTheMedium) {
    const auto before = FileBytes(0, 4096);
    std::vector<uint8_t> data(4096, 0x77);
    ULONG_PTR info = 0;
    NtMdlFailMapping(1);
    EXPECT_EQ(IoSendReadWrite(device_, nullptr, IRP_MJ_WRITE, data.data(), 4096, 0, &info), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(FileBytes(0, 4096), before);
    // A request that cannot even be built fails as cleanly.
    NtPoolFailAllocation(NT_TAG_IRP, 1);
    EXPECT_EQ(IoSendReadWrite(device_, nullptr, IRP_MJ_READ, data.data(), 4096, 0, &info), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoSendSimple(device_, nullptr, IRP_MJ_CREATE, 0), STATUS_SUCCESS);
}

TEST_F(VolumeDriverTest, MappedReadsFollowWritesAndAFileCutShortUnderThem) {
    MapMedia(media_);
    ASSERT_NE(media_.view, nullptr);
    ULONG_PTR info = 0;
    std::vector<uint8_t> in(8192), out(8192);

    // Written through the device and written to the file behind its back:
    // the next read shows both.
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_EQ(IoSendReadWrite(device_, nullptr, IRP_MJ_WRITE, in.data(), 8192, 4096, &info), STATUS_SUCCESS);
    ASSERT_EQ(IoSendReadWrite(device_, nullptr, IRP_MJ_READ, out.data(), 8192, 4096, &info), STATUS_SUCCESS);
    EXPECT_EQ(out, in);
    std::fill(in.begin(), in.end(), 0x5A);
    ASSERT_EQ(::pwrite(fd_, in.data(), 512, 4096 + 1024), 512);
    ASSERT_EQ(IoSendReadWrite(device_, nullptr, IRP_MJ_READ, out.data(), 8192, 4096, &info), STATUS_SUCCESS);
    EXPECT_EQ(out[1024], 0x5A);
    EXPECT_EQ(out[1535], 0x5A);
    EXPECT_NE(out[1536], 0x5A);

    // Cut short by somebody else: the pages past the end fault instead of
    // reading; the read fails as a device error, the process lives on and
    // what is still there reads.
    ASSERT_EQ(::ftruncate(fd_, kSize / 2), 0);
    EXPECT_EQ(IoSendReadWrite(device_, nullptr, IRP_MJ_READ, out.data(), 8192, kSize / 2 - 4096, &info),
              STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(info, 4096u);
    EXPECT_EQ(IoSendReadWrite(device_, nullptr, IRP_MJ_READ, out.data(), 4096, kSize / 2 - 4096, &info),
              STATUS_SUCCESS);

    CloseMedia(media_);
    EXPECT_EQ(media_.view, nullptr);
    EXPECT_EQ(media_.fd, -1);
    EXPECT_EQ(IoSendReadWrite(device_, nullptr, IRP_MJ_READ, out.data(), 512, 0, &info), STATUS_NO_MEDIA_IN_DEVICE);
    fd_ = ::open((dir_ + "/disk").c_str(), O_RDWR);  // the fixture's to close
}

}  // namespace
