#include "tests/vdisk/vdisk_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/nt/host.h"
#include "platform/nt/security.h"
#include "platform/nt/testing.h"
#include "sys/ioctl.h"
#include "vdisk/vdisk.h"

namespace tarn::test {

namespace {

constexpr ULONG kFileHandleTag = 0x6C46775Au;  // the layer's file objects, "ZwFl"

}  // namespace

std::u16string NtPathOf(const std::filesystem::path& path)
{
    std::u16string name = u"\\??\\";
    for (char c : path.string()) {
        name.push_back(char16_t(static_cast<unsigned char>(c)));
    }
    return name;
}

VDISK_MOUNT_RECORD MakeRecord(const std::filesystem::path& image, int64_t diskSize, bool readOnly, uint32_t kind,
                              char letter)
{
    VDISK_MOUNT_RECORD record{};
    record.DiskSize = diskSize;
    record.ReadOnly = readOnly ? 1 : 0;
    record.DiskKind = kind;
    record.DriveLetter = uint8_t(letter);
    std::u16string name = NtPathOf(image);
    if (name.size() >= VDISK_NAME_CHARS) {
        throw std::runtime_error("image path too long for a mount record");
    }
    std::memcpy(record.FileName, name.data(), name.size() * sizeof(char16_t));
    return record;
}

std::vector<uint8_t> RecordBytes(const VDISK_MOUNT_RECORD& record)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&record);
    return std::vector<uint8_t>(p, p + sizeof(record));
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path, uint64_t offset, size_t length)
{
    std::vector<uint8_t> data(length);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
    ssize_t n = pread(fd, data.data(), length, off_t(offset));
    close(fd);
    data.resize(n < 0 ? 0 : size_t(n));
    return data;
}

void WriteFileBytes(const std::filesystem::path& path, uint64_t offset, const std::vector<uint8_t>& data)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
    ssize_t n = pwrite(fd, data.data(), data.size(), off_t(offset));
    close(fd);
    if (n != ssize_t(data.size())) throw std::runtime_error("short write to " + path.string());
}

void MakeImage(const std::filesystem::path& path, size_t size, uint32_t seed)
{
    WriteFileBytes(path, 0, Pattern(size, seed));
}

void VdiskTest::SetUp()
{
    char templ[] = "/tmp/vdisk-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    std::filesystem::permissions(dir_, std::filesystem::perms(0755));
    ASSERT_EQ(NtPoolOutstanding(VDISK_POOL_TAG), 0u);
    ASSERT_EQ(NtHostLoadDriver(u"\\Driver\\VTarn", DriverEntry, nullptr, &driver_), STATUS_SUCCESS);
}

void VdiskTest::TearDown()
{
    if (driver_ != nullptr) {
        UnloadDriver();
    }
    EXPECT_EQ(NtPoolOutstanding(VDISK_POOL_TAG), 0u) << "driver pool left behind";
    EXPECT_EQ(NtPoolOutstanding(NT_TAG_TOKEN), 0u) << "caller tokens left behind";
    EXPECT_EQ(NtPoolOutstanding(kFileHandleTag), 0u) << "image files left open";
    EXPECT_TRUE(NtHostListDirectory(u"\\Device\\Ombrel").empty());
    NtResetFaults();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void VdiskTest::UnloadDriver()
{
    ASSERT_EQ(NtHostUnloadDriver(driver_), STATUS_SUCCESS);
    driver_ = nullptr;
}

PDEVICE_OBJECT VdiskTest::Lookup(const char16_t* name) const
{
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    PVOID object = nullptr;
    if (!NT_SUCCESS(NtHostReferenceObjectByName(&n, *IoDeviceObjectType, &object))) {
        return nullptr;
    }
    ObDereferenceObject(object);  // the driver keeps its devices alive
    return static_cast<PDEVICE_OBJECT>(object);
}

PDEVICE_OBJECT VdiskTest::Disk(ULONG n) const
{
    std::u16string name = u"\\Device\\Ombrel\\Ombrel" + std::u16string(1, char16_t(u'0' + n));
    return Lookup(name.c_str());
}

PDEVICE_OBJECT VdiskTest::Cd(ULONG n) const
{
    std::u16string name = u"\\Device\\Ombrel\\OmbrelCd" + std::u16string(1, char16_t(u'0' + n));
    return Lookup(name.c_str());
}

IrpResult VdiskTest::Mount(PDEVICE_OBJECT device, const VDISK_MOUNT_RECORD& record)
{
    return SendControl(device, IOCTL_VDISK_MOUNT, RecordBytes(record));
}

IrpResult VdiskTest::Unmount(PDEVICE_OBJECT device)
{
    return SendControl(device, IOCTL_VDISK_UNMOUNT, {});
}

IrpResult VdiskTest::Control(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input,
                             std::vector<uint8_t>* output, ULONG outputLength)
{
    return SendControl(device, code, input, output, outputLength);
}

IrpResult VdiskTest::SetKey(PDEVICE_OBJECT device, const Key& key)
{
    return Control(device, IOCTL_CRYPT_SET_KEY, std::vector<uint8_t>(key.begin(), key.end()));
}

std::vector<uint8_t> VdiskTest::Read(PDEVICE_OBJECT device, int64_t offset, ULONG length)
{
    std::vector<uint8_t> data(length, 0xEE);
    IrpResult r = SendRead(device, offset, data.data(), length);
    EXPECT_EQ(r.status, STATUS_SUCCESS) << "read at " << offset;
    EXPECT_EQ(r.information, length);
    return data;
}

IrpResult VdiskTest::Write(PDEVICE_OBJECT device, int64_t offset, std::vector<uint8_t>& data)
{
    return SendWrite(device, offset, data.data(), ULONG(data.size()));
}

}  // namespace tarn::test
