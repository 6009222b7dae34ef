// A running machine reached through the win32 layer: drive E: is a 256 MiB
// FAT32 volume on data.img with the filter above it.
#include <windows.h>

#include <fileapi.h>
#include <winioctl.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <vector>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "machine_fixture.h"
#include "sys/crypt_ioctl.h"

namespace {

HANDLE OpenVolume(const char* path = "\\\\.\\E:") {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Control(HANDLE h, DWORD code, void* in = nullptr, DWORD inLength = 0, void* out = nullptr, DWORD outLength = 0,
             DWORD* returned = nullptr) {
    DWORD ignored = 0;
    return DeviceIoControl(h, code, in, inLength, out, outLength, returned ? returned : &ignored, nullptr) != FALSE;
}

bool ReadAt(HANDLE h, uint64_t offset, void* buffer, DWORD length, DWORD* got) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(h, to, nullptr, FILE_BEGIN) && ReadFile(h, buffer, length, got, nullptr);
}

bool WriteAt(HANDLE h, uint64_t offset, const void* buffer, DWORD length, DWORD* put) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(h, to, nullptr, FILE_BEGIN) && WriteFile(h, buffer, length, put, nullptr);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t offset, size_t length) {
    std::vector<uint8_t> data(length);
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(length));
    return data;
}

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    char buffer[512];
    while (p && std::fgets(buffer, sizeof buffer, p)) out += buffer;
    if (p) ::pclose(p);
    return out;
}

using VolumeTest = MachineTest;

TEST_F(VolumeTest, ReadsAndWritesThroughTheVolumeReachTheBackingFile) {
    HANDLE h = OpenVolume();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    // More than one shared-buffer's worth, so the transfer is split.
    std::vector<uint8_t> data(3u << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    DWORD n = 0;
    ASSERT_TRUE(WriteAt(h, 8u << 20, data.data(), static_cast<DWORD>(data.size()), &n)) << GetLastError();
    EXPECT_EQ(n, data.size());
    EXPECT_EQ(ReadFileBytes(Backing("data.img"), 8u << 20, data.size()), data);

    std::vector<uint8_t> back(data.size());
    ASSERT_TRUE(ReadAt(h, 8u << 20, back.data(), static_cast<DWORD>(back.size()), &n));
    EXPECT_EQ(n, back.size());
    EXPECT_EQ(back, data);

    // The partition is the whole backing file; a read across its end is cut
    // there, one at the end reads nothing.
    uint8_t info[32] = {};
    ASSERT_TRUE(Control(h, IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, info, sizeof info));
    uint64_t length = 0;
    std::memcpy(&length, info + 8, 8);
    EXPECT_EQ(length, 256ull << 20);
    ASSERT_TRUE(ReadAt(h, length - 4096, back.data(), 65536, &n));
    EXPECT_EQ(n, 4096u);
    ASSERT_TRUE(ReadAt(h, length, back.data(), 65536, &n));
    EXPECT_EQ(n, 0u);
    // Not whole sectors: refused as a volume refuses it.
    EXPECT_FALSE(ReadAt(h, 100, back.data(), 512, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(h);
}

// FlushFileBuffers on a volume goes down its stack: conversions rely on it
// before they record a chunk as done, so it may not answer success for a
// drive with nothing under it nor for a handle that cannot write.
TEST_F(VolumeTest, FlushReachesTheDeviceAndNeedsWriteAccess) {
    HANDLE h = OpenVolume();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    std::vector<uint8_t> data(65536, 0x5A);
    DWORD n = 0;
    ASSERT_TRUE(WriteAt(h, 1u << 20, data.data(), static_cast<DWORD>(data.size()), &n)) << GetLastError();
    EXPECT_TRUE(FlushFileBuffers(h)) << GetLastError();
    CloseHandle(h);

    HANDLE reader = CreateFileA("\\\\.\\E:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_FALSE(FlushFileBuffers(reader));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(reader);

    std::string out;
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "eject", "F:"}, &out), 0) << out;
    HANDLE empty = OpenVolume("\\\\.\\F:");
    ASSERT_NE(empty, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_FALSE(FlushFileBuffers(empty));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    CloseHandle(empty);
}

TEST_F(VolumeTest, VolumeLockBelongsToOneHandleUntilUnlockOrClose) {
    HANDLE a = OpenVolume();
    HANDLE b = OpenVolume();
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Control(a, FSCTL_LOCK_VOLUME)) << GetLastError();
    EXPECT_FALSE(Control(a, FSCTL_LOCK_VOLUME));  // not twice, not even by its holder
    EXPECT_FALSE(Control(b, FSCTL_LOCK_VOLUME));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(Control(b, FSCTL_UNLOCK_VOLUME));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));

    // While locked: no new opens, no writes by others, the holder writes.
    EXPECT_EQ(OpenVolume(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    std::vector<uint8_t> sector(512, 0xA5);
    DWORD n = 0;
    EXPECT_FALSE(WriteAt(b, 1u << 20, sector.data(), 512, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(WriteAt(a, 1u << 20, sector.data(), 512, &n)) << GetLastError();
    ULARGE_INTEGER avail, total, free;
    EXPECT_FALSE(GetDiskFreeSpaceExA("E:\\", &avail, &total, &free));

    // Dismount drops the mount; the volume stays locked and answers again when unlocked.
    EXPECT_TRUE(Control(a, FSCTL_DISMOUNT_VOLUME));
    EXPECT_TRUE(Control(a, FSCTL_UNLOCK_VOLUME));
    EXPECT_TRUE(GetDiskFreeSpaceExA("E:\\", &avail, &total, &free)) << GetLastError();

    // Closing the holder releases a lock it still holds.
    ASSERT_TRUE(Control(a, FSCTL_LOCK_VOLUME));
    CloseHandle(a);
    EXPECT_TRUE(Control(b, FSCTL_LOCK_VOLUME)) << GetLastError();
    CloseHandle(b);
}

TEST_F(VolumeTest, SharingModesOfVolumeHandlesAreEnforced) {
    auto open = [](DWORD access, DWORD share) {
        return CreateFileA("\\\\.\\E:", access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    };
    const DWORD rw = GENERIC_READ | GENERIC_WRITE, both = FILE_SHARE_READ | FILE_SHARE_WRITE;
    struct Case {
        const char* what;
        DWORD firstAccess, firstShare, secondAccess, secondShare;
        bool secondOpens;
    } cases[] = {
        {"both share everything", rw, both, rw, both, true},
        {"first denies writers", GENERIC_READ, FILE_SHARE_READ, rw, both, false},
        {"second denies the first's writing", rw, both, GENERIC_READ, FILE_SHARE_READ, false},
        {"readers that deny writers", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {"exclusive first", rw, 0, GENERIC_READ, both, false},
        {"no data access needs no sharing", 0, 0, 0, 0, true},
    };
    for (const auto& c : cases) {
        HANDLE first = open(c.firstAccess, c.firstShare);
        ASSERT_NE(first, INVALID_HANDLE_VALUE) << c.what;
        HANDLE second = open(c.secondAccess, c.secondShare);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.secondOpens) << c.what;
        if (second == INVALID_HANDLE_VALUE) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << c.what;
        } else {
            CloseHandle(second);
        }
        CloseHandle(first);
    }
    // Closing the handle that denied sharing lets others in again.
    HANDLE exclusive = open(rw, 0);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    CloseHandle(exclusive);
    HANDLE again = open(rw, both);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(VolumeTest, Fat32FreeSpaceAgreesWithFsckAndMtools) {
    if (Shell("command -v fsck.fat && command -v minfo && command -v mcopy").find("mcopy") == std::string::npos) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    const std::string image = Backing("data.img");
    auto expect = [&](const char* when) {
        const std::string fsck = Shell("fsck.fat -n " + image);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(fsck, m, std::regex(R"((\d+)/(\d+) clusters)"))) << fsck;
        const uint64_t used = std::stoull(m[1]), clusters = std::stoull(m[2]);
        const std::string info = Shell("MTOOLS_SKIP_CHECK=1 minfo -i " + image + " ::");
        std::smatch c, s;
        ASSERT_TRUE(std::regex_search(info, c, std::regex(R"(cluster size: (\d+) sectors)"))) << info;
        ASSERT_TRUE(std::regex_search(info, s, std::regex(R"(sector size: (\d+))"))) << info;
        const uint64_t clusterSize = std::stoull(c[1]) * std::stoull(s[1]);
        ULARGE_INTEGER avail{}, total{}, free{};
        ASSERT_TRUE(GetDiskFreeSpaceExA("E:\\", &avail, &total, &free)) << GetLastError();
        EXPECT_EQ(total.QuadPart, clusters * clusterSize) << when;
        EXPECT_EQ(free.QuadPart, (clusters - used) * clusterSize) << when;
    };
    expect("fresh");
    ULARGE_INTEGER avail{}, total{}, mounted{};
    ASSERT_TRUE(GetDiskFreeSpaceExA("E:\\", &avail, &total, &mounted));
    // Files stored behind the machine's back are not seen by the mounted file
    // system (as on Windows); a dismount makes the next query mount afresh.
    std::ofstream(root_ + "/payload").write(std::string(300000, 'x').data(), 300000);
    ASSERT_EQ(Shell("MTOOLS_SKIP_CHECK=1 mcopy -i " + image + " " + root_ + "/payload ::/PAYLOAD.BIN"), "");
    ULARGE_INTEGER free{};
    ASSERT_TRUE(GetDiskFreeSpaceExA("E:\\", &avail, &total, &free));
    EXPECT_EQ(free.QuadPart, mounted.QuadPart) << "a query rescanned the FAT of a mounted volume";
    HANDLE h = OpenVolume();
    ASSERT_TRUE(Control(h, FSCTL_DISMOUNT_VOLUME));
    CloseHandle(h);
    expect("after mcopy and a dismount");

    // A write through the machine drops the mount; a failed recognition is
    // not remembered, so the volume mounts again once it is readable again.
    h = OpenVolume();
    std::vector<uint8_t> boot(512), zeros(512, 0);
    DWORD n = 0;
    ASSERT_TRUE(ReadAt(h, 0, boot.data(), 512, &n));
    ASSERT_TRUE(WriteAt(h, 0, zeros.data(), 512, &n));
    EXPECT_FALSE(GetDiskFreeSpaceExA("E:\\", &avail, &total, &free));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNRECOGNIZED_VOLUME));
    EXPECT_FALSE(GetDiskFreeSpaceExA("E:\\", &avail, &total, &free));
    ASSERT_TRUE(WriteAt(h, 0, boot.data(), 512, &n));
    CloseHandle(h);
    expect("boot sector restored");

    char label[64] = {}, fs[64] = {};
    DWORD serial = 0, maxComponent = 0, flags = 0;
    ASSERT_TRUE(GetVolumeInformationA("E:\\", label, sizeof label, &serial, &maxComponent, &flags, fs, sizeof fs));
    EXPECT_STREQ(label, "DATA");
    EXPECT_STREQ(fs, "FAT32");
    // A buffer too small fails the whole call.
    EXPECT_FALSE(GetVolumeInformationA("E:\\", label, 3, nullptr, nullptr, nullptr, fs, sizeof fs));
}

TEST_F(VolumeTest, DriveTypesAndMediaState) {
    struct Case {
        const char* root;
        UINT type;
    } cases[] = {{"C:\\", DRIVE_FIXED}, {"D:\\", DRIVE_CDROM}, {"E:", DRIVE_FIXED},
                 {"f:\\", DRIVE_REMOVABLE}, {"Z:\\", DRIVE_NO_ROOT_DIR}, {"", DRIVE_NO_ROOT_DIR}};
    for (const auto& c : cases) EXPECT_EQ(GetDriveTypeA(c.root), c.type) << c.root;
    EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5));

    // The empty CD/DVD drive opens, but has no medium to read or measure.
    HANDLE cd = OpenVolume("\\\\.\\D:");
    ASSERT_NE(cd, INVALID_HANDLE_VALUE) << GetLastError();
    uint8_t geometry[24];
    EXPECT_FALSE(Control(cd, IOCTL_DISK_IS_WRITABLE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_FALSE(Control(cd, 0x0002404C, nullptr, 0, geometry, sizeof geometry));  // CD geometry
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    ULARGE_INTEGER avail, total, free;
    EXPECT_FALSE(GetDiskFreeSpaceExA("D:\\", &avail, &total, &free));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));

    // A medium inserted while the machine runs is there at once.
    std::string out;
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "insert", "D:", Backing("removable.img")}, &out), 0) << out;
    DWORD returned = 0;
    EXPECT_TRUE(Control(cd, 0x0002404C, nullptr, 0, geometry, sizeof geometry, &returned)) << GetLastError();
    EXPECT_EQ(returned, 24u);
    EXPECT_FALSE(Control(cd, IOCTL_DISK_IS_WRITABLE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    EXPECT_TRUE(GetDiskFreeSpaceExA("D:\\", &avail, &total, &free)) << GetLastError();
    // Ejected, the drive answers as empty again, not from the file system it had.
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "eject", "D:"}, &out), 0) << out;
    EXPECT_FALSE(GetDiskFreeSpaceExA("D:\\", &avail, &total, &free));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    char label[64] = {};
    EXPECT_FALSE(GetVolumeInformationA("D:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0));
    CloseHandle(cd);

    HANDLE e = OpenVolume();
    EXPECT_TRUE(Control(e, IOCTL_DISK_IS_WRITABLE)) << GetLastError();
    CloseHandle(e);

    // A read-only drive reads, and refuses writes as write-protected media.
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "drive", "add", "G:", "fixed", "g.img", "--create", "1048576", "--read-only"},
                          &out), 0) << out;
    HANDLE g = OpenVolume("\\\\.\\G:");
    ASSERT_NE(g, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_FALSE(Control(g, IOCTL_DISK_IS_WRITABLE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    std::vector<uint8_t> sector(512, 3);
    DWORD n = 0;
    EXPECT_TRUE(ReadAt(g, 0, sector.data(), 512, &n)) << GetLastError();
    EXPECT_FALSE(WriteAt(g, 0, sector.data(), 512, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    CloseHandle(g);
    char system[MAX_PATH];
    EXPECT_EQ(GetSystemDirectoryA(system, sizeof system), std::strlen("C:\\Windows\\system32"));
    EXPECT_STREQ(system, "C:\\Windows\\system32");
}

TEST_F(VolumeTest, FormattingWritesAFileSystemThroughTheStack) {
    // While a handle holds the volume's lock, nothing formats it.
    HANDLE h = OpenVolume("\\\\.\\F:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Control(h, FSCTL_LOCK_VOLUME));
    std::string out;
    EXPECT_NE(RunTarnhost({"--machine", dir_, "format", "F:", "--fs", "FAT32", "--label", "fresh"}, &out), 0) << out;
    CloseHandle(h);

    ASSERT_EQ(RunTarnhost({"--machine", dir_, "format", "F:", "--fs", "FAT32", "--label", "fresh"}, &out), 0) << out;
    char label[64] = {}, fs[64] = {};
    ASSERT_TRUE(GetVolumeInformationA("F:\\", label, sizeof label, nullptr, nullptr, nullptr, fs, sizeof fs))
        << GetLastError();
    EXPECT_STREQ(label, "FRESH");
    EXPECT_STREQ(fs, "FAT32");
    if (Shell("command -v fsck.fat").empty()) GTEST_SKIP() << "dosfstools missing";
    const std::string fsck = Shell("fsck.fat -n " + Backing("removable.img"));
    EXPECT_NE(fsck.find(" clusters"), std::string::npos) << fsck;
    EXPECT_EQ(fsck.find("differ"), std::string::npos) << fsck;

    // A removable disk without its medium is still a removable drive, empty.
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "eject", "F:"}, &out), 0) << out;
    EXPECT_EQ(GetDriveTypeA("F:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
    ULARGE_INTEGER avail, total, free;
    EXPECT_FALSE(GetDiskFreeSpaceExA("F:\\", &avail, &total, &free));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "insert", "F:", Backing("removable.img")}, &out), 0) << out;
    EXPECT_TRUE(GetDiskFreeSpaceExA("F:\\", &avail, &total, &free)) << GetLastError();
}

TEST_F(VolumeTest, DosDeviceNamesComeAndGoButDriveLettersStay) {
    char target[512] = {};
    ASSERT_GT(QueryDosDeviceA("E:", target, sizeof target), 0u) << GetLastError();
    const std::string eTarget = target;
    EXPECT_EQ(eTarget.rfind("\\Device\\HarddiskVolume", 0), 0u) << eTarget;

    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", eTarget.c_str())) << GetLastError();
    ASSERT_GT(QueryDosDeviceA("Q:", target, sizeof target), 0u);
    EXPECT_EQ(std::string(target), eTarget);
    // The new name opens the same volume.
    HANDLE q = OpenVolume("\\\\.\\Q:");
    ASSERT_NE(q, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE e = OpenVolume("\\\\.\\Global\\E:");
    ASSERT_NE(e, INVALID_HANDLE_VALUE) << GetLastError();
    std::vector<uint8_t> fromQ(512), fromE(512);
    DWORD n = 0;
    ASSERT_TRUE(ReadAt(q, 0, fromQ.data(), 512, &n));
    ASSERT_TRUE(ReadAt(e, 0, fromE.data(), 512, &n));
    EXPECT_EQ(fromQ, fromE);
    CloseHandle(q);
    CloseHandle(e);
    EXPECT_EQ(GetDriveTypeA("Q:\\"), static_cast<UINT>(DRIVE_FIXED));

    EXPECT_FALSE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", "\\Device\\CdRom0"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, "Q:", "\\Device\\Other"));
    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "Q:", nullptr)) << GetLastError();
    EXPECT_EQ(QueryDosDeviceA("Q:", target, sizeof target), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenVolume("\\\\.\\Q:"), INVALID_HANDLE_VALUE);
    // The machine's own drive letters cannot be removed by a caller.
    EXPECT_FALSE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "E:", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_FIXED));

    // The whole list: every name once, double NUL at the end.
    std::vector<char> all(65536);
    const DWORD length = QueryDosDeviceA(nullptr, all.data(), static_cast<DWORD>(all.size()));
    ASSERT_GT(length, 2u);
    EXPECT_EQ(all[length - 1], '\0');
    EXPECT_EQ(all[length - 2], '\0');
    EXPECT_EQ(QueryDosDeviceA(nullptr, all.data(), 4), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(VolumeTest, RestartingTheMachineForgetsLoadedKeys) {
    HANDLE h = OpenVolume();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> plain(512);
    DWORD n = 0;
    ASSERT_TRUE(ReadAt(h, 0, plain.data(), 512, &n));
    ASSERT_EQ(plain[510], 0x55);
    ASSERT_EQ(plain[511], 0xAA);

    // Make unit 0 carry the marker under the password's key, past the filter.
    SectorKeys keys("correct horse");
    std::vector<uint8_t> request(8 + 512, 0);
    std::memcpy(request.data() + 8, plain.data(), 512);
    request[8 + 510] = kMarker0;
    request[8 + 511] = kMarker1;
    EncryptSectorZero(&keys.User, &keys.Fixed, request.data() + 8);
    ASSERT_TRUE(Control(h, IOCTL_CRYPT_RAW_WRITE, request.data(), static_cast<DWORD>(request.size()))) << GetLastError();

    uint8_t key[64] = {};
    BuildKeyBuffer("correct horse", key);
    ASSERT_TRUE(Control(h, FSCTL_LOCK_VOLUME));
    ASSERT_TRUE(Control(h, IOCTL_CRYPT_SET_KEY, key, 32));
    ASSERT_TRUE(Control(h, FSCTL_UNLOCK_VOLUME));
    ASSERT_TRUE(Control(h, FSCTL_DISMOUNT_VOLUME));
    uint32_t encrypted = 0;
    ASSERT_TRUE(Control(h, IOCTL_CRYPT_QUERY_STATE, nullptr, 0, &encrypted, 4));
    EXPECT_EQ(encrypted, 1u);
    std::vector<uint8_t> unit(512);
    ASSERT_TRUE(ReadAt(h, 0, unit.data(), 512, &n));
    EXPECT_EQ(unit, plain) << "unlocked: unit 0 reads as plaintext";
    CloseHandle(h);

    StopHost();
    StartHost();

    h = OpenVolume();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    encrypted = 0;
    ASSERT_TRUE(Control(h, IOCTL_CRYPT_QUERY_STATE, nullptr, 0, &encrypted, 4));
    EXPECT_EQ(encrypted, 1u) << "the arrival read finds the marker";
    ASSERT_TRUE(ReadAt(h, 0, unit.data(), 512, &n));
    EXPECT_EQ(std::vector<uint8_t>(unit.begin(), unit.end()),
              std::vector<uint8_t>(request.begin() + 8, request.end()))
        << "locked after the restart: the stored ciphertext";
    std::vector<uint8_t> sector(512, 1);
    EXPECT_FALSE(WriteAt(h, 1u << 20, sector.data(), 512, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ULARGE_INTEGER avail, total, free;
    EXPECT_FALSE(GetDiskFreeSpaceExA("E:\\", &avail, &total, &free));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNRECOGNIZED_VOLUME));
    CloseHandle(h);
}

}  // namespace
