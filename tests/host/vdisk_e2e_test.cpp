// Mounted images as drives of a running machine: the "VTarn" driver service,
// drive letters bound to its devices, the file-system layer, the recognizer
// and device events, all through the win32 layer.
#include <windows.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "machine_fixture.h"
#include "sys/crypt_ioctl.h"
#include "vdisk/vdisk_ioctl.h"

namespace {

constexpr uint64_t kImageSize = 64ull << 20;

HANDLE OpenDrive(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_NO_BUFFERING, nullptr);
}

bool Control(HANDLE h, DWORD code, const void* in = nullptr, DWORD inLength = 0, void* out = nullptr,
             DWORD outLength = 0) {
    DWORD returned = 0;
    return DeviceIoControl(h, code, const_cast<void*>(in), inLength, out, outLength, &returned, nullptr) != FALSE;
}

bool ReadAt(HANDLE h, uint64_t offset, void* buffer, DWORD length) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    return SetFilePointerEx(h, to, nullptr, FILE_BEGIN) && ReadFile(h, buffer, length, &got, nullptr) && got == length;
}

bool WriteAt(HANDLE h, uint64_t offset, const void* buffer, DWORD length) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    DWORD put = 0;
    return SetFilePointerEx(h, to, nullptr, FILE_BEGIN) && WriteFile(h, buffer, length, &put, nullptr) && put == length;
}

std::vector<uint8_t> FileBytes(const std::string& path, uint64_t offset, size_t length) {
    std::vector<uint8_t> data(length);
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(length));
    return data;
}

void PutFileBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& data) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(seed + i * 7 + i / 512);
    return data;
}

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

VDISK_MOUNT_RECORD Record(const std::string& path, char letter, uint32_t kind = VDISK_KIND_IMAGE) {
    VDISK_MOUNT_RECORD r{};
    r.DiskKind = kind;
    r.DriveLetter = static_cast<uint8_t>(letter);
    const std::string nt = "\\??\\" + path;
    for (size_t i = 0; i < nt.size() && i + 1 < VDISK_NAME_CHARS; ++i) r.FileName[i] = static_cast<char16_t>(nt[i]);
    return r;
}

bool ServiceControl(const char* name, bool start, DWORD* state = nullptr) {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm) return false;
    SC_HANDLE service = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
    bool ok = false;
    if (service) {
        SERVICE_STATUS status{};
        ok = start ? StartServiceA(service, 0, nullptr) != FALSE : ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE;
        const DWORD error = GetLastError();
        if (QueryServiceStatus(service, &status) && state) *state = status.dwCurrentState;
        CloseServiceHandle(service);
        SetLastError(error);
    }
    const DWORD error = GetLastError();
    CloseServiceHandle(scm);
    SetLastError(error);
    return ok;
}

// Events the machine announced.
struct Collected {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<ULONG_PTR, DEV_BROADCAST_VOLUME>> volumes;
};
Collected* gCollected = nullptr;

void WINAPI Sink(HANDLE, UINT message, ULONG_PTR wParam, LONG_PTR lParam) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (message != WM_DEVICECHANGE || !gCollected || header->dbch_devicetype != DBT_DEVTYP_VOLUME) return;
    std::lock_guard<std::mutex> guard(gCollected->mutex);
    gCollected->volumes.emplace_back(wParam, *reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header));
    gCollected->changed.notify_all();
}

class VirtualDiskTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        image_ = root_ + "/image.img";
        ASSERT_EQ(Shell("mkfs.fat -C -F 32 -n VTIMAGE '" + image_ + "' " + std::to_string(kImageSize / 1024)), 0)
            << "mkfs.fat is needed";
    }
    void TearDown() override {
        if (gCollected) {
            SetDeviceNotificationSink(nullptr);
            gCollected = nullptr;
        }
        MachineTest::TearDown();
    }

    // Binds letter to the device and mounts the image there; the handle stays open.
    HANDLE Mount(char letter, const char* device, const VDISK_MOUNT_RECORD& record) {
        const std::string dos = std::string(1, letter) + ":";
        if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, dos.c_str(), device)) return INVALID_HANDLE_VALUE;
        HANDLE h = OpenDrive(("\\\\.\\" + dos).c_str());
        if (h == INVALID_HANDLE_VALUE) return h;
        if (!Control(h, IOCTL_VDISK_MOUNT, &record, sizeof(record))) {
            const DWORD error = GetLastError();
            CloseHandle(h);
            DefineDosDeviceA(DDD_REMOVE_DEFINITION, dos.c_str(), nullptr);
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        return h;
    }

    // What the service does to unmount: lock, unmount, dismount, unlock, close, undefine.
    void Unmount(HANDLE h, char letter) {
        EXPECT_TRUE(Control(h, FSCTL_LOCK_VOLUME)) << GetLastError();
        EXPECT_TRUE(Control(h, IOCTL_VDISK_UNMOUNT)) << GetLastError();
        EXPECT_TRUE(Control(h, FSCTL_DISMOUNT_VOLUME)) << GetLastError();
        EXPECT_TRUE(Control(h, FSCTL_UNLOCK_VOLUME)) << GetLastError();
        CloseHandle(h);
        EXPECT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, (std::string(1, letter) + ":").c_str(), nullptr));
    }

    // Subscribes to device events; the subscription is made in the
    // background, so a disc goes in and out until its events arrive.
    void Subscribe() {
        collected_ = std::make_unique<Collected>();
        gCollected = collected_.get();
        SetDeviceNotificationSink(Sink);
        // Volume events come with any registration, as Windows broadcasts them.
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = {0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
        ASSERT_NE(RegisterDeviceNotificationA(reinterpret_cast<HANDLE>(0x1), &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
        const std::string disc = root_ + "/disc.iso";
        { std::ofstream(disc).put('\0'); }
        std::filesystem::resize_file(disc, 1 << 20);
        std::string out;
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "insert", "D:", disc}, &out), 0) << out;
            const bool seen = WaitFor(DBT_DEVICEARRIVAL, 1u << 3);
            ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "eject", "D:"}, &out), 0) << out;
            if (seen) return;
        }
        FAIL() << "no device events";
    }

    bool WaitFor(ULONG_PTR event, DWORD mask) {
        std::unique_lock<std::mutex> lock(collected_->mutex);
        return collected_->changed.wait_for(lock, std::chrono::seconds(5), [&] {
            for (auto& [e, v] : collected_->volumes) {
                if (e == event && v.dbcv_unitmask == mask) return true;
            }
            return false;
        });
    }

    std::string image_;
    std::unique_ptr<Collected> collected_;
};

TEST_F(VirtualDiskTest, SixteenDevicesLiveExactlyWhileTheDriverServiceRuns) {
    auto opens = [](const std::string& device) {
        if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", device.c_str())) return false;
        HANDLE h = OpenDrive("\\\\.\\Q:");
        const bool ok = h != INVALID_HANDLE_VALUE;
        if (ok) CloseHandle(h);
        DefineDosDeviceA(DDD_REMOVE_DEFINITION, "Q:", nullptr);
        return ok;
    };
    EXPECT_FALSE(opens("\\Device\\Ombrel\\Ombrel0")) << "no driver yet";
    DWORD state = 0;
    ASSERT_TRUE(ServiceControl("VTarn", true, &state)) << GetLastError() << Log();
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_RUNNING));
    for (int n = 0; n < 8; ++n) {
        EXPECT_TRUE(opens("\\Device\\Ombrel\\Ombrel" + std::to_string(n))) << n;
        EXPECT_TRUE(opens("\\Device\\Ombrel\\OmbrelCd" + std::to_string(n))) << n;
    }
    EXPECT_FALSE(opens("\\Device\\Ombrel\\Ombrel8"));

    // Stopping the driver with a medium mounted unmounts it: the image is
    // closed and the drive and its file system are gone.
    HANDLE h = Mount('X', "\\Device\\Ombrel\\Ombrel2", Record(image_, 'X'));
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    // An open handle on one of its devices holds the driver.
    EXPECT_FALSE(ServiceControl("VTarn", false, &state));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_RUNNING));
    CloseHandle(h);
    char label[64] = {};
    ASSERT_TRUE(GetVolumeInformationA("X:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(ServiceControl("VTarn", false, &state)) << GetLastError();
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(GetVolumeInformationA("X:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(OpenDrive("\\\\.\\X:"), INVALID_HANDLE_VALUE);
    bool stillOpen = false;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(host_) + "/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(fd.path(), ec) == image_) stillOpen = true;
    }
    EXPECT_FALSE(stillOpen) << "the image is still open in the machine";
    DefineDosDeviceA(DDD_REMOVE_DEFINITION, "X:", nullptr);

    // And it starts again.
    ASSERT_TRUE(ServiceControl("VTarn", true, &state)) << GetLastError() << Log();
    EXPECT_TRUE(opens("\\Device\\Ombrel\\OmbrelCd7"));
}

TEST_F(VirtualDiskTest, MountedImageIsADriveLikeTheOthers) {
    ASSERT_TRUE(ServiceControl("VTarn", true)) << GetLastError() << Log();
    Subscribe();
    HANDLE h = Mount('X', "\\Device\\Ombrel\\Ombrel0", Record(image_, 'X'));
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError() << Log();
    EXPECT_TRUE(WaitFor(DBT_DEVICEARRIVAL, 1u << ('X' - 'A')));

    EXPECT_EQ(GetDriveTypeA("X:\\"), static_cast<UINT>(DRIVE_FIXED));
    char label[64] = {}, fileSystem[64] = {};
    ASSERT_TRUE(GetVolumeInformationA("X:\\", label, sizeof label, nullptr, nullptr, nullptr, fileSystem, sizeof fileSystem))
        << GetLastError();
    EXPECT_STREQ(label, "VTIMAGE");
    EXPECT_STREQ(fileSystem, "FAT32");
    ULARGE_INTEGER available{}, total{}, free{};
    ASSERT_TRUE(GetDiskFreeSpaceExA("X:\\", &available, &total, &free)) << GetLastError();
    EXPECT_GT(total.QuadPart, kImageSize * 9 / 10);
    EXPECT_LE(total.QuadPart, kImageSize);
    EXPECT_GT(free.QuadPart, 0u);

    // Sectors written through the drive are the image's; reads give them back.
    const std::vector<uint8_t> data = Pattern(65536, 3);
    ASSERT_TRUE(WriteAt(h, 32ull << 20, data.data(), 65536)) << GetLastError();
    EXPECT_EQ(FileBytes(image_, 32ull << 20, 65536), data);
    std::vector<uint8_t> back(65536);
    ASSERT_TRUE(ReadAt(h, 32ull << 20, back.data(), 65536));
    EXPECT_EQ(back, data);

    // The device-interface style name opens the same drive.
    HANDLE other = CreateFileA("\\\\?\\X:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(ReadAt(other, 32ull << 20, back.data(), 512));
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 512, data.begin()));
    // One handle holds the lock; the other cannot take it or write.
    ASSERT_TRUE(Control(h, FSCTL_LOCK_VOLUME));
    EXPECT_FALSE(Control(other, FSCTL_LOCK_VOLUME));
    EXPECT_FALSE(GetVolumeInformationA("X:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0))
        << "a locked volume answers no one else";
    ASSERT_TRUE(Control(h, FSCTL_UNLOCK_VOLUME));
    CloseHandle(other);

    // Unmounting takes the file system and the letter's events with it.
    Unmount(h, 'X');
    EXPECT_TRUE(WaitFor(DBT_DEVICEREMOVECOMPLETE, 1u << ('X' - 'A')));
    EXPECT_FALSE(GetVolumeInformationA("X:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetDriveTypeA("X:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(FileBytes(image_, 32ull << 20, 65536), data) << "the image keeps what was written";
}

TEST_F(VirtualDiskTest, CdImageIsAReadOnlyCdDrive) {
    const std::string tree = root_ + "/tree";
    std::filesystem::create_directories(tree);
    { std::ofstream(tree + "/hello.txt") << "hello from a disc\n"; }
    const std::string iso = root_ + "/disc.iso";
    if (Shell("xorriso -as mkisofs -V VTDISC -o '" + iso + "' '" + tree + "'") != 0) GTEST_SKIP() << "xorriso is missing";
    ASSERT_TRUE(ServiceControl("VTarn", true)) << GetLastError();
    HANDLE h = Mount('Y', "\\Device\\Ombrel\\OmbrelCd1", Record(iso, 'Y', VDISK_KIND_CD_IMAGE));
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(GetDriveTypeA("Y:\\"), static_cast<UINT>(DRIVE_CDROM));
    std::vector<uint8_t> descriptor(2048);
    ASSERT_TRUE(ReadAt(h, 16 * 2048, descriptor.data(), 2048)) << GetLastError();
    EXPECT_EQ(descriptor, FileBytes(iso, 16 * 2048, 2048));
    EXPECT_EQ(std::memcmp(descriptor.data() + 1, "CD001", 5), 0);
    EXPECT_FALSE(Control(h, IOCTL_DISK_IS_WRITABLE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_FALSE(WriteAt(h, 0, descriptor.data(), 2048)) << "a disc takes no writes";
    Unmount(h, 'Y');
}

TEST_F(VirtualDiskTest, EncryptedImageIsPlainOnlyWithTheKeyAndTakesNoWritesLocked) {
    // Encrypt the whole image as the service would: marker in unit 0, every
    // unit with the password's key.
    const std::vector<uint8_t> plain = FileBytes(image_, 0, 1 << 20);
    SectorKeys keys("image secret");
    std::vector<uint8_t> cipher;
    for (uint64_t offset = 0; offset < kImageSize; offset += 1 << 20) {
        std::vector<uint8_t> chunk = offset ? FileBytes(image_, offset, 1 << 20) : plain;
        for (size_t unit = 0; unit < chunk.size() / 512; ++unit) {
            if (offset == 0 && unit == 0) {
                chunk[510] = kMarker0;
                chunk[511] = kMarker1;
                EncryptSectorZero(&keys.User, &keys.Fixed, chunk.data());
            } else {
                EncryptSector(&keys.User, chunk.data() + unit * 512);
            }
        }
        PutFileBytes(image_, offset, chunk);
        if (offset == 0) cipher = chunk;
    }

    ASSERT_TRUE(ServiceControl("VTarn", true)) << GetLastError();
    HANDLE h = Mount('X', "\\Device\\Ombrel\\Ombrel1", Record(image_, 'X'));
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    uint32_t encrypted = 0;
    ASSERT_TRUE(Control(h, IOCTL_CRYPT_QUERY_STATE, nullptr, 0, &encrypted, 4));
    EXPECT_EQ(encrypted, 1u);
    char label[64] = {};
    EXPECT_FALSE(GetVolumeInformationA("X:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0))
        << "locked: no file system to see";

    // Locked: a write is refused and the image keeps its ciphertext.
    const std::vector<uint8_t> data = Pattern(4096, 11);
    EXPECT_FALSE(WriteAt(h, 8192, data.data(), 4096));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(FileBytes(image_, 0, 1 << 20), cipher);

    uint8_t key[64] = {};
    BuildKeyBuffer("image secret", key);
    ASSERT_TRUE(Control(h, FSCTL_LOCK_VOLUME));
    ASSERT_TRUE(Control(h, IOCTL_CRYPT_SET_KEY, key, 32));
    ASSERT_TRUE(Control(h, FSCTL_DISMOUNT_VOLUME));
    ASSERT_TRUE(Control(h, FSCTL_UNLOCK_VOLUME));
    ASSERT_TRUE(GetVolumeInformationA("X:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0)) << GetLastError();
    EXPECT_STREQ(label, "VTIMAGE");
    std::vector<uint8_t> back(65536);
    ASSERT_TRUE(ReadAt(h, 0, back.data(), 65536));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), plain.begin())) << "plaintext through the drive";

    ASSERT_TRUE(WriteAt(h, 8192, data.data(), 4096)) << GetLastError();
    std::vector<uint8_t> stored = FileBytes(image_, 8192, 4096);
    std::vector<uint8_t> expected = data;
    for (size_t unit = 0; unit < 8; ++unit) EncryptSector(&keys.User, expected.data() + unit * 512);
    EXPECT_EQ(stored, expected) << "ciphertext in the file";
    Unmount(h, 'X');
}

TEST_F(VirtualDiskTest, ImageIsOpenedWithTheMountingUsersRights) {
    if (::geteuid() != 0) GTEST_SKIP() << "switching users needs root";
    // The machine is shared with the group of the user who will mount.
    StopHost();
    ASSERT_EQ(::chmod(root_.c_str(), 0711), 0);
    ASSERT_EQ(::chown(dir_.c_str(), static_cast<uid_t>(-1), 65534), 0);
    ASSERT_EQ(::chmod(dir_.c_str(), 0770), 0);
    StartHost();
    ASSERT_TRUE(ServiceControl("VTarn", true)) << GetLastError();
    ASSERT_EQ(::chmod(image_.c_str(), 0600), 0);  // root's, unreadable to the user
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "X:", "\\Device\\Ombrel\\Ombrel3"));

    // The child mounts as uid 65534 and reports the mount's Win32 error (0 for success).
    auto mountAsNobody = [&]() -> int {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(200);
            HANDLE h = OpenDrive("\\\\.\\X:");
            if (h == INVALID_HANDLE_VALUE) ::_exit(201);
            const VDISK_MOUNT_RECORD record = Record(image_, 'X');
            const bool ok = Control(h, IOCTL_VDISK_MOUNT, &record, sizeof(record));
            const DWORD error = ok ? 0 : GetLastError();
            CloseHandle(h);
            ::_exit(error > 199 ? 199 : static_cast<int>(error));
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(mountAsNobody(), ERROR_ACCESS_DENIED) << Log();
    HANDLE h = OpenDrive("\\\\.\\X:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Control(h, IOCTL_VDISK_QUERY, nullptr, 0, nullptr, 0)) << "nothing mounted";

    // The same user mounts an image of its own.
    ASSERT_EQ(::chown(image_.c_str(), 65534, 65534), 0);
    EXPECT_EQ(mountAsNobody(), 0) << Log();
    VDISK_MOUNT_RECORD query{};
    EXPECT_TRUE(Control(h, IOCTL_VDISK_QUERY, nullptr, 0, &query, sizeof(query))) << GetLastError();
    Unmount(h, 'X');
}

}  // namespace
