// Disc images mounted through vtarn on a running machine answer as a CD file
// system does: "CDFS", the disc's label, the disc's size and no free space;
// an encrypted disc only once its key is loaded.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "machine_fixture.h"
#include "sys/crypt_ioctl.h"
#include "vdisk/vdisk_ioctl.h"

namespace {

bool Control(HANDLE h, DWORD code, const void* in = nullptr, DWORD inLength = 0) {
    DWORD returned = 0;
    return DeviceIoControl(h, code, const_cast<void*>(in), inLength, nullptr, 0, &returned, nullptr) != FALSE;
}

class VirtualCdTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        std::filesystem::create_directories(root_ + "/tree");
        std::ofstream(root_ + "/tree/readme.txt") << "on the disc\n";
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(scm, nullptr);
        SC_HANDLE service = OpenServiceA(scm, "VTarn", SERVICE_ALL_ACCESS);
        ASSERT_NE(service, nullptr);
        ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError() << Log();
        CloseServiceHandle(service);
        CloseServiceHandle(scm);
    }

    // An ISO image made by xorriso; empty when xorriso is missing.
    std::string MakeIso(const std::string& options) {
        const std::string iso = root_ + "/disc.iso";
        const std::string command = "xorriso -as mkisofs -input-charset UTF-8 " + options + " -o '" + iso + "' '" +
                                    root_ + "/tree' >/dev/null 2>&1";
        return std::system(command.c_str()) == 0 ? iso : std::string();
    }

    // Binds Y: to a CD device and mounts the image there; the handle stays open.
    HANDLE MountCd(const std::string& image) {
        if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Y:", "\\Device\\Ombrel\\OmbrelCd2")) return INVALID_HANDLE_VALUE;
        HANDLE h = CreateFileA("\\\\.\\Y:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_NO_BUFFERING, nullptr);
        if (h == INVALID_HANDLE_VALUE) return h;
        VDISK_MOUNT_RECORD record{};
        record.DiskKind = VDISK_KIND_CD_IMAGE;
        record.DriveLetter = 'Y';
        record.ReadOnly = 1;
        const std::string nt = "\\??\\" + image;
        for (size_t i = 0; i < nt.size() && i + 1 < VDISK_NAME_CHARS; ++i) record.FileName[i] = static_cast<char16_t>(nt[i]);
        if (!Control(h, IOCTL_VDISK_MOUNT, &record, sizeof(record))) {
            ADD_FAILURE() << "mount: " << GetLastError() << Log();
            CloseHandle(h);
            return INVALID_HANDLE_VALUE;
        }
        return h;
    }

    void Unmount(HANDLE h) {
        EXPECT_TRUE(Control(h, FSCTL_LOCK_VOLUME)) << GetLastError();
        EXPECT_TRUE(Control(h, IOCTL_VDISK_UNMOUNT)) << GetLastError();
        EXPECT_TRUE(Control(h, FSCTL_DISMOUNT_VOLUME)) << GetLastError();
        EXPECT_TRUE(Control(h, FSCTL_UNLOCK_VOLUME)) << GetLastError();
        CloseHandle(h);
        EXPECT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "Y:", nullptr));
    }

    struct Seen {
        bool ok = false;
        std::string label, fileSystem;
        DWORD maxComponent = 0, flags = 0;
        ULONGLONG available = 1, total = 0, free = 1;
    };
    Seen Look() {
        Seen s;
        char label[64] = {}, fileSystem[64] = {};
        DWORD serial = 0;
        s.ok = GetVolumeInformationA("Y:\\", label, sizeof label, &serial, &s.maxComponent, &s.flags, fileSystem,
                                     sizeof fileSystem) != FALSE;
        if (!s.ok) return s;
        s.label = label;
        s.fileSystem = fileSystem;
        ULARGE_INTEGER available{}, total{}, free{};
        s.ok = GetDiskFreeSpaceExA("Y:\\", &available, &total, &free) != FALSE;
        s.available = available.QuadPart, s.total = total.QuadPart, s.free = free.QuadPart;
        return s;
    }
};

TEST_F(VirtualCdTest, MountedDiscAnswersAsCdfsWithItsJolietLabel) {
    const std::string iso = MakeIso("-V 'Été 2026 disc with long name' -J");
    if (iso.empty()) GTEST_SKIP() << "xorriso is missing";
    HANDLE h = MountCd(iso);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetDriveTypeA("Y:\\"), static_cast<UINT>(DRIVE_CDROM));
    const Seen s = Look();
    ASSERT_TRUE(s.ok) << GetLastError() << Log();
    EXPECT_EQ(s.fileSystem, "CDFS");
    EXPECT_EQ(s.label, "Été 2026 disc wi") << "Joliet's label wins over the primary one";
    EXPECT_EQ(s.maxComponent, 110u);
    EXPECT_EQ(s.total, std::filesystem::file_size(iso));
    EXPECT_EQ(s.free, 0u);
    EXPECT_EQ(s.available, 0u);
    Unmount(h);
    EXPECT_FALSE(Look().ok) << "gone with the unmount";
}

TEST_F(VirtualCdTest, EncryptedDiscShowsItsFileSystemOnlyUnlocked) {
    const std::string iso = MakeIso("-V SECRET_DISC");
    if (iso.empty()) GTEST_SKIP() << "xorriso is missing";
    // Encrypt the whole disc as the service would: marker in unit 0.
    std::vector<uint8_t> data;
    {
        std::ifstream in(iso, std::ios::binary);
        data.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_EQ(data.size() % 512, 0u);
    data[510] = kMarker0;
    data[511] = kMarker1;
    SectorKeys keys("disc secret");
    EncryptTransfer(&keys.User, &keys.Fixed, 0, data.data(), data.size());
    std::ofstream(iso, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data.data()),
                                                                  static_cast<std::streamsize>(data.size()));

    HANDLE h = MountCd(iso);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Look().ok) << "locked: ciphertext is no file system";

    uint8_t key[kKeyBufferSize] = {};
    BuildKeyBuffer("disc secret", key);
    ASSERT_TRUE(Control(h, FSCTL_LOCK_VOLUME)) << GetLastError();
    ASSERT_TRUE(Control(h, IOCTL_CRYPT_SET_KEY, key, CRYPT_KEY_LENGTH)) << GetLastError();
    ASSERT_TRUE(Control(h, FSCTL_DISMOUNT_VOLUME)) << GetLastError();
    ASSERT_TRUE(Control(h, FSCTL_UNLOCK_VOLUME)) << GetLastError();
    const Seen s = Look();
    ASSERT_TRUE(s.ok) << GetLastError() << Log();
    EXPECT_EQ(s.fileSystem, "CDFS");
    EXPECT_EQ(s.label, "SECRET_DISC");
    EXPECT_EQ(s.maxComponent, 221u);
    EXPECT_EQ(s.total, data.size());
    EXPECT_EQ(s.free, 0u);
    Unmount(h);
}

}  // namespace
