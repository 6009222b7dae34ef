// The drives from Linux: a real tarnhost on a temporary machine, its drives
// as files under <machine>/drives, and file systems opened over them with a
// loop device (ext4) and fusefat (FAT).
#include <windows.h>

#include <fileapi.h>
#include <winioctl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "machine_fixture.h"
#include "platform/host/fuse/fs_view.h"
#include "sys/crypt_ioctl.h"

namespace {

using tarn::host::fuse::CloseFileSystemViews;
using tarn::host::fuse::FindFileSystemViews;
using tarn::host::fuse::OpenFileSystemView;

constexpr const char* kPassword = "correct horse";

HANDLE OpenVolume(const char* path = "\\\\.\\E:") {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Control(HANDLE h, DWORD code, void* in = nullptr, DWORD inLength = 0, void* out = nullptr, DWORD outLength = 0) {
    DWORD ignored = 0;
    return DeviceIoControl(h, code, in, inLength, out, outLength, &ignored, nullptr) != FALSE;
}

std::string Shell(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    char buffer[512];
    while (p && std::fgets(buffer, sizeof buffer, p)) out += buffer;
    const int s = p ? ::pclose(p) : -1;
    if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return out;
}

std::vector<uint8_t> FileBytes(const std::string& path, uint64_t offset, size_t length) {
    std::vector<uint8_t> data(length);
    const int fd = ::open(path.c_str(), O_RDONLY);
    const ssize_t n = fd < 0 ? -1 : ::pread(fd, data.data(), length, static_cast<off_t>(offset));
    if (fd >= 0) ::close(fd);
    data.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return data;
}

// pread/pwrite of the block file; -errno on failure.
ssize_t PreadAt(const std::string& path, uint64_t offset, void* buffer, size_t length) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return -errno;
    const ssize_t n = ::pread(fd, buffer, length, static_cast<off_t>(offset));
    const ssize_t result = n < 0 ? -errno : n;
    ::close(fd);
    return result;
}

ssize_t PwriteAt(const std::string& path, uint64_t offset, const void* data, size_t length) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) return -errno;
    const ssize_t n = ::pwrite(fd, data, length, static_cast<off_t>(offset));
    const ssize_t result = n < 0 ? -errno : n;
    ::close(fd);
    return result;
}

bool FileContains(const std::string& path, const std::string& needle) {
    std::ifstream in(path, std::ios::binary);
    std::string chunk(1 << 20, '\0');
    std::string carry;
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const std::string window = carry + chunk.substr(0, static_cast<size_t>(in.gcount()));
        if (window.find(needle) != std::string::npos) return true;
        carry = window.size() > needle.size() ? window.substr(window.size() - needle.size()) : window;
    }
    return false;
}

class BlockViewTest : public MachineTest {
protected:
    void SetUp() override {
        if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse here: the block view cannot run";
        MachineTest::SetUp();
        if (WaitForBlockView()) return;
        // A FUSE mount refused here (no privilege for it) is said by the host.
        if (Log().find("no block view") != std::string::npos) GTEST_SKIP() << "mounting is not permitted: " << Log();
        FAIL() << "the block view did not come up: " << Log();
    }
    void TearDown() override {
        for (char l : {'E', 'F'}) CloseFileSystemViews(dir_, l);
        for (const auto& d : mounted_) ::umount2(d.c_str(), MNT_DETACH);
        MachineTest::TearDown();
    }

    bool WaitForBlockView() {
        for (int i = 0; i < 200; ++i) {
            struct stat st {};
            if (::stat(Block('E').c_str(), &st) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string Block(char letter) const { return tarn::host::fuse::BlockFilePath(dir_, letter); }

    // E: gets the marker under kPassword past the filter, then the key: the
    // drive is encrypted and unlocked (what a conversion leaves, minus the
    // conversion of the data, which mkfs overwrites anyway).
    void EncryptAndUnlockE() {
        HANDLE h = OpenVolume();
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        std::vector<uint8_t> request(8 + 512, 0);
        SectorKeys keys(kPassword);
        request[8 + 510] = kMarker0;
        request[8 + 511] = kMarker1;
        EncryptSectorZero(&keys.User, &keys.Fixed, request.data() + 8);
        ASSERT_TRUE(Control(h, IOCTL_CRYPT_RAW_WRITE, request.data(), static_cast<DWORD>(request.size())));
        CloseHandle(h);
        SetKey();
        h = OpenVolume();
        ASSERT_TRUE(Control(h, FSCTL_DISMOUNT_VOLUME));  // the next read of unit 0 finds the marker
        CloseHandle(h);
        ASSERT_EQ(State(), 1u);
    }
    void SetKey() {
        HANDLE h = OpenVolume();
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        uint8_t key[64] = {};
        BuildKeyBuffer(kPassword, key);
        ASSERT_TRUE(Control(h, IOCTL_CRYPT_SET_KEY, key, 32)) << GetLastError();
        CloseHandle(h);
    }
    void ClearKey() {
        HANDLE h = OpenVolume();
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(Control(h, IOCTL_CRYPT_CLEAR_KEY)) << GetLastError();
        CloseHandle(h);
    }
    uint32_t State() {
        HANDLE h = OpenVolume();
        uint32_t encrypted = 0;
        Control(h, IOCTL_CRYPT_QUERY_STATE, nullptr, 0, &encrypted, 4);
        CloseHandle(h);
        return encrypted;
    }

    // mount -o loop of the block file; false (with why) where loop devices
    // or mounting are not permitted here.
    bool LoopMount(const std::string& where, std::string& why) {
        std::filesystem::create_directories(where);
        int status = 0;
        why = Shell("mount -t ext4 -o loop '" + Block('E') + "' '" + where + "'", &status);
        if (status == 0) mounted_.push_back(where);
        return status == 0;
    }
    void Unmount(const std::string& where) {
        int status = 0;
        const std::string out = Shell("umount '" + where + "'", &status);
        ASSERT_EQ(status, 0) << out;
        mounted_.erase(std::remove(mounted_.begin(), mounted_.end(), where), mounted_.end());
    }

    std::vector<std::string> mounted_;
};

TEST_F(BlockViewTest, LockedDriveReadsCiphertextAndRefusesWrites) {
    EncryptAndUnlockE();
    const std::vector<uint8_t> plain(4096, 0x5A);
    ASSERT_EQ(PwriteAt(Block('E'), 1 << 20, plain.data(), plain.size()), 4096);
    std::vector<uint8_t> back(4096);
    ASSERT_EQ(PreadAt(Block('E'), 1 << 20, back.data(), back.size()), 4096);
    EXPECT_EQ(back, plain) << "unlocked: the view reads plaintext";
    const auto stored = FileBytes(Backing("data.img"), 1 << 20, 4096);
    EXPECT_NE(stored, plain) << "the backing file holds plaintext";

    ClearKey();
    ASSERT_EQ(PreadAt(Block('E'), 1 << 20, back.data(), back.size()), 4096);
    EXPECT_EQ(back, stored) << "locked: the view reads the stored ciphertext";
    EXPECT_EQ(PwriteAt(Block('E'), 1 << 20, plain.data(), 512), -EACCES);
    EXPECT_EQ(PwriteAt(Block('E'), (1 << 20) + 7, plain.data(), 100), -EACCES) << "unaligned write while locked";
    EXPECT_EQ(FileBytes(Backing("data.img"), 1 << 20, 4096), stored) << "a refused write changed the drive";
}

TEST_F(BlockViewTest, UnalignedReadsAndWritesMatchTheDrive) {
    EncryptAndUnlockE();
    const uint64_t base = 2 << 20;
    std::vector<uint8_t> model(64 * 1024);
    for (size_t i = 0; i < model.size(); ++i) model[i] = static_cast<uint8_t>(i * 31 + 7);
    ASSERT_EQ(PwriteAt(Block('E'), base, model.data(), model.size()), static_cast<ssize_t>(model.size()));
    struct Case {
        uint64_t offset;
        size_t length;
    };
    const Case cases[] = {{1, 1}, {511, 2}, {1000, 3000}, {4096, 512}, {5000, 20000}, {65535 - 100, 100}};
    uint8_t seed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
        std::vector<uint8_t> data(c.length);
        for (auto& b : data) b = seed++;
        ASSERT_EQ(PwriteAt(Block('E'), base + c.offset, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        std::copy(data.begin(), data.end(), model.begin() + static_cast<long>(c.offset));
        std::vector<uint8_t> back(c.length + 300);
        const uint64_t from = c.offset >= 150 ? c.offset - 150 : 0;
        const ssize_t n = PreadAt(Block('E'), base + from, back.data(), back.size());
        ASSERT_GT(n, 0);
        const size_t cmp = std::min<size_t>(static_cast<size_t>(n), model.size() - from);
        EXPECT_TRUE(std::equal(back.begin(), back.begin() + static_cast<long>(cmp), model.begin() + static_cast<long>(from)));
    }
    std::vector<uint8_t> all(model.size());
    ASSERT_EQ(PreadAt(Block('E'), base, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    EXPECT_EQ(all, model);
    // Through the machine's own handle the drive says the same.
    HANDLE h = OpenVolume();
    std::vector<uint8_t> viaHandle(model.size());
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(base);
    DWORD n = 0;
    ASSERT_TRUE(SetFilePointerEx(h, to, nullptr, FILE_BEGIN));
    ASSERT_TRUE(ReadFile(h, viaHandle.data(), static_cast<DWORD>(viaHandle.size()), &n, nullptr));
    CloseHandle(h);
    EXPECT_EQ(viaHandle, model);

    // The size is the drive's; past the end nothing is read or written.
    struct stat st {};
    ASSERT_EQ(::stat(Block('E').c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 256ll << 20);
    uint8_t byte = 0;
    EXPECT_EQ(PreadAt(Block('E'), 256ull << 20, &byte, 1), 0);
    EXPECT_EQ(PwriteAt(Block('E'), 256ull << 20, &byte, 1), -ENOSPC);
}

TEST_F(BlockViewTest, WritesRefusedWhileAHandleHoldsTheVolumeLock) {
    HANDLE h = OpenVolume();
    ASSERT_TRUE(Control(h, FSCTL_LOCK_VOLUME)) << GetLastError();
    const std::vector<uint8_t> data(512, 1);
    const auto before = FileBytes(Backing("data.img"), 1 << 20, 512);
    EXPECT_EQ(PwriteAt(Block('E'), 1 << 20, data.data(), data.size()), -EACCES);
    EXPECT_EQ(FileBytes(Backing("data.img"), 1 << 20, 512), before);
    ASSERT_TRUE(Control(h, FSCTL_UNLOCK_VOLUME));
    CloseHandle(h);
    EXPECT_EQ(PwriteAt(Block('E'), 1 << 20, data.data(), data.size()), 512);
}

TEST_F(BlockViewTest, MachineForgetsTheFileSystemTheViewOverwrote) {
    char fs[32] = {};
    ASSERT_TRUE(GetVolumeInformationA("E:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs)) << GetLastError();
    ASSERT_STREQ(fs, "FAT32");
    int status = 0;
    const std::string out = Shell("mkfs.ext4 -q -F '" + Block('E') + "'", &status);
    ASSERT_EQ(status, 0) << out;
    ASSERT_TRUE(GetVolumeInformationA("E:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, sizeof fs)) << GetLastError();
    EXPECT_STREQ(fs, "ext4") << "the machine kept the file system it saw before the view wrote";
}

TEST_F(BlockViewTest, EntriesFollowDrivesAndMedia) {
    struct stat st {};
    ASSERT_EQ(::stat(Block('D').c_str(), &st), 0) << "the empty CD/DVD drive has an entry";
    EXPECT_EQ(st.st_size, 0);
    uint8_t byte = 0;
    EXPECT_EQ(PreadAt(Block('D'), 0, &byte, 1), -ENOMEDIUM);

    std::string out;
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "eject", "F:"}, &out), 0) << out;
    ASSERT_EQ(::stat(Block('F').c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0) << "an ejected medium leaves size 0";
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "drive", "add", "G:", "fixed", Backing("g.img"), "--create", "1048576"},
                          &out), 0) << out;
    bool appeared = false;
    for (int i = 0; i < 100 && !appeared; ++i) {
        appeared = ::stat(Block('G').c_str(), &st) == 0;
        if (!appeared) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(appeared) << "a drive added to the running machine has no entry";
    EXPECT_EQ(st.st_size, 1 << 20);
    const auto listing = Shell("ls '" + dir_ + "/drives'");
    EXPECT_NE(listing.find('G'), std::string::npos) << listing;
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "drive", "remove", "G:"}, &out), 0) << out;
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = ::stat(Block('G').c_str(), &st) != 0 && errno == ENOENT;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(gone) << "a removed drive keeps its entry";

    // A letter defined for a device (as a mounted image gets one) has an
    // entry while it is defined.
    char target[256] = {};
    ASSERT_GT(QueryDosDeviceA("E:", target, sizeof target), 0u);
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", target)) << GetLastError();
    ASSERT_EQ(::stat(Block('Q').c_str(), &st), 0) << "a defined letter has no entry";
    EXPECT_EQ(st.st_size, 256ll << 20);
    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "Q:", nullptr)) << GetLastError();
    EXPECT_NE(::stat(Block('Q').c_str(), &st), 0) << "a removed definition keeps its entry";
}

TEST_F(BlockViewTest, Ext4OnAnEncryptedDriveSurvivesLockRestartAndUnlock) {
    EncryptAndUnlockE();
    int status = 0;
    std::string out = Shell("mkfs.ext4 -q -F '" + Block('E') + "'", &status);
    ASSERT_EQ(status, 0) << out;
    const std::string where = root_ + "/ext4";
    std::string why;
    if (!LoopMount(where, why)) GTEST_SKIP() << "loop mounts are not permitted here: " << why;
    const std::string marker = "tarnvault-marker-4b1e9c0d7f";
    {
        std::ofstream f(where + "/note.txt");
        for (int i = 0; i < 100; ++i) f << marker << " line " << i << "\n";
    }
    std::filesystem::create_directories(where + "/sub");
    std::ofstream(where + "/sub/b.bin") << std::string(300000, 'b');
    Unmount(where);
    Shell("sync");
    EXPECT_FALSE(FileContains(Backing("data.img"), marker)) << "the backing file holds the plaintext";

    ClearKey();
    ASSERT_FALSE(LoopMount(where, why)) << "a locked drive mounted";
    StopHost();
    StartHost();
    ASSERT_TRUE(WaitForBlockView()) << Log();
    ASSERT_EQ(State(), 1u) << "after the restart the drive is encrypted (locked)";
    SetKey();
    ASSERT_TRUE(LoopMount(where, why)) << why;
    std::ifstream in(where + "/note.txt");
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, marker + " line 0");
    EXPECT_EQ(std::filesystem::file_size(where + "/sub/b.bin"), 300000u);
    in.close();
    Unmount(where);
    out = Shell("fsck.ext4 -n -f '" + Block('E') + "'", &status);
    EXPECT_EQ(status, 0) << out;
}

TEST_F(BlockViewTest, FatDriveOpensThroughFusefatAndCopiesFilesInAndOut) {
    if (Shell("command -v fusefat").empty()) GTEST_SKIP() << "fusefat is not installed";
    const std::string where = root_ + "/fat";
    auto opened = OpenFileSystemView(dir_, 'E', where);
    ASSERT_TRUE(opened) << opened.error();
    ASSERT_EQ(FindFileSystemViews(dir_, 'E').size(), 1u);
    EXPECT_FALSE(OpenFileSystemView(dir_, 'E', root_ + "/again")) << "opened twice";

    const std::string source = root_ + "/in.txt";
    std::ofstream(source) << std::string(70000, 'x') << "end";
    int status = 0;
    std::string out = Shell("cp '" + source + "' '" + where + "/in.txt'", &status);
    ASSERT_EQ(status, 0) << out;
    out = Shell("cp '" + where + "/in.txt' '" + root_ + "/out.txt'", &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(Shell("cmp '" + source + "' '" + root_ + "/out.txt'"), "");

    {
        // An open file keeps the view: closing is refused and says why.
        std::ifstream held(where + "/in.txt");
        auto closed = CloseFileSystemViews(dir_, 'E');
        ASSERT_FALSE(closed);
        EXPECT_NE(closed.error().find("in use"), std::string::npos) << closed.error();
        EXPECT_EQ(FindFileSystemViews(dir_, 'E').size(), 1u);
    }
    auto closed = CloseFileSystemViews(dir_, 'E');
    ASSERT_TRUE(closed) << closed.error();
    EXPECT_TRUE(FindFileSystemViews(dir_, 'E').empty());
    // What fusefat wrote is on the drive: mtools reads it from the backing file.
    out = Shell("mtype -i '" + Backing("data.img") + "' ::/in.txt | tail -c 3", &status);
    EXPECT_EQ(out, "end");
}

}  // namespace

namespace {

// A machine that shuts down unmounts the views over its drives first, so
// what they hold reaches the drive instead of failing against a gone view.
TEST_F(BlockViewTest, ShutdownClosesViewsAndKeepsWhatTheyWrote) {
    if (Shell("command -v fusefat").empty()) GTEST_SKIP() << "fusefat is not installed";
    const std::string where = root_ + "/fat";
    auto opened = OpenFileSystemView(dir_, 'E', where);
    ASSERT_TRUE(opened) << opened.error();
    std::ofstream(where + "/late.txt") << "written just before shutdown";
    StopHost();
    EXPECT_TRUE(FindFileSystemViews(dir_, 'E').empty()) << "a view outlived its machine";
    int status = 0;
    const std::string out = Shell("mtype -i '" + Backing("data.img") + "' ::/late.txt", &status);
    EXPECT_EQ(out, "written just before shutdown");
    StartHost();
}

}  // namespace

namespace {

// What the machine's own handle reads at offset: the drive as every other
// path sees it, never from the kernel's cache of the view.
std::vector<uint8_t> HandleBytes(uint64_t offset, size_t length, const char* path = "\\\\.\\E:") {
    HANDLE h = OpenVolume(path);
    std::vector<uint8_t> data(length);
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    DWORD n = 0;
    const bool ok = h != INVALID_HANDLE_VALUE && SetFilePointerEx(h, to, nullptr, FILE_BEGIN) &&
                    ReadFile(h, data.data(), static_cast<DWORD>(length), &n, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    data.resize(ok ? n : 0);
    return data;
}

bool HandleWrite(uint64_t offset, const std::vector<uint8_t>& data, const char* path = "\\\\.\\E:") {
    HANDLE h = OpenVolume(path);
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    DWORD n = 0;
    const bool ok = h != INVALID_HANDLE_VALUE && SetFilePointerEx(h, to, nullptr, FILE_BEGIN) &&
                    WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) && n == data.size();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return ok;
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 12));
    return data;
}

std::vector<uint8_t> FdBytes(int fd, uint64_t offset, size_t length) {
    std::vector<uint8_t> data(length);
    const ssize_t n = ::pread(fd, data.data(), length, static_cast<off_t>(offset));
    data.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return data;
}

// The kernel keeps the view's pages; every change made past the view must
// drop them before it is answered, or the view serves stale bytes: another
// handle's write, a raw write past the filter, a lock (the view must read
// ciphertext at once), an unlock, a medium swapped or ejected.
TEST_F(BlockViewTest, CachedPagesNeverOutliveAChangeOnAnotherPath) {
    EncryptAndUnlockE();
    constexpr uint64_t kBase = 3 << 20;
    constexpr size_t kLength = 256 * 1024;
    ASSERT_EQ(PwriteAt(Block('E'), kBase, Pattern(kLength, 1).data(), kLength), static_cast<ssize_t>(kLength));
    const int held = ::open(Block('E').c_str(), O_RDONLY);
    ASSERT_GE(held, 0);

    struct Case {
        const char* change;
        std::function<void()> make;
    };
    const Case cases[] = {
        {"a handle's write", [] { ASSERT_TRUE(HandleWrite(kBase + 4096, Pattern(64 * 1024, 2))); }},
        {"a raw write past the filter",
         [] {
             std::vector<uint8_t> request(8 + 8192);
             const LONGLONG offset = kBase + 65536;
             std::memcpy(request.data(), &offset, 8);
             for (size_t i = 8; i < request.size(); ++i) request[i] = static_cast<uint8_t>(i * 11);
             HANDLE h = OpenVolume();
             ASSERT_TRUE(Control(h, IOCTL_CRYPT_RAW_WRITE, request.data(), static_cast<DWORD>(request.size())))
                 << GetLastError();
             CloseHandle(h);
         }},
        {"a lock", [this] { ClearKey(); }},
        {"an unlock", [this] { SetKey(); }},
        {"a write while a handle holds the volume lock",
         [] {
             HANDLE h = OpenVolume();
             ASSERT_TRUE(Control(h, FSCTL_LOCK_VOLUME)) << GetLastError();
             LARGE_INTEGER to;
             to.QuadPart = static_cast<LONGLONG>(kBase);
             DWORD n = 0;
             const auto data = Pattern(8192, 3);
             ASSERT_TRUE(SetFilePointerEx(h, to, nullptr, FILE_BEGIN));
             ASSERT_TRUE(WriteFile(h, data.data(), 8192, &n, nullptr)) << GetLastError();
             ASSERT_TRUE(Control(h, FSCTL_UNLOCK_VOLUME));
             CloseHandle(h);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        // Fill the kernel's cache through the view, then change the drive.
        ASSERT_EQ(FdBytes(held, kBase, kLength).size(), kLength);
        c.make();
        const auto truth = HandleBytes(kBase, kLength);
        ASSERT_EQ(truth.size(), kLength);
        EXPECT_TRUE(FdBytes(held, kBase, kLength) == truth) << "a file open across the change read stale bytes";
        EXPECT_TRUE(FileBytes(Block('E'), kBase, kLength) == truth) << "a fresh open read stale bytes";
    }
    // Locked with the pages cached: ciphertext, the backing file's bytes.
    ASSERT_EQ(FdBytes(held, kBase, kLength).size(), kLength);
    ClearKey();
    EXPECT_TRUE(FdBytes(held, kBase, kLength) == FileBytes(Backing("data.img"), kBase, kLength))
        << "the locked view served cached plaintext";
    ::close(held);
}

TEST_F(BlockViewTest, CachedPagesFollowMediaChanges) {
    const std::string other = Backing("other.img");
    {
        const auto bytes = Pattern(64 << 20, 9);
        std::ofstream(other, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<std::streamsize>(bytes.size()));
    }
    const int held = ::open(Block('F').c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    const auto before = FdBytes(held, 0, 128 * 1024);
    ASSERT_EQ(before, FileBytes(Backing("removable.img"), 0, 128 * 1024));
    std::string out;
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "eject", "F:"}, &out), 0) << out;
    EXPECT_TRUE(FdBytes(held, 0, 4096).empty()) << "an ejected medium's bytes were still served";
    ASSERT_EQ(RunTarnhost({"--machine", dir_, "media", "insert", "F:", other}, &out), 0) << out;
    EXPECT_TRUE(FileBytes(Block('F'), 0, 128 * 1024) == Pattern(128 * 1024, 9)) << "a fresh open read the old medium";
    // A handle opened on the old medium fails from then on, as the drive's
    // handles do; what it must never do is serve the old medium's bytes.
    const auto after = FdBytes(held, 0, 128 * 1024);
    EXPECT_TRUE(after.empty() || after == Pattern(128 * 1024, 9)) << "an open file read the old medium";
    ::close(held);
}

// A letter defined for the same device shares its pages: a write through one
// name is read through the other at once.
TEST_F(BlockViewTest, AliasOfADriveReadsWritesMadeThroughTheOtherName) {
    char target[256] = {};
    ASSERT_GT(QueryDosDeviceA("E:", target, sizeof target), 0u);
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", target)) << GetLastError();
    const int alias = ::open(Block('Q').c_str(), O_RDONLY);
    ASSERT_GE(alias, 0);
    ASSERT_EQ(FdBytes(alias, 1 << 20, 65536).size(), 65536u);
    const auto data = Pattern(65536, 5);
    ASSERT_EQ(PwriteAt(Block('E'), 1 << 20, data.data(), data.size()), 65536);
    EXPECT_TRUE(FdBytes(alias, 1 << 20, 65536) == data) << "the alias kept the pages from before the write";
    ::close(alias);
    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "Q:", nullptr)) << GetLastError();
}

// Writes through the view while another handle writes the same units and
// readers fill the cache: nothing waits on itself (the run ends), and the
// view ends up agreeing with the drive.
TEST_F(BlockViewTest, ConcurrentWritesThroughViewAndHandleNeitherHangNorLeaveStalePages) {
    EncryptAndUnlockE();
    constexpr uint64_t kBase = 5 << 20;
    constexpr size_t kLength = 128 * 1024;
    std::atomic<bool> failed{false};
    std::thread viewWriter([&] {
        const int fd = ::open(Block('E').c_str(), O_RDWR);
        for (int i = 0; i < 200 && fd >= 0; ++i) {
            const auto data = Pattern(kLength, static_cast<uint8_t>(i));
            // Unaligned every other time: read-modify-write of partial units.
            const uint64_t at = kBase + (i % 2 ? 100 : 0);
            if (::pwrite(fd, data.data(), kLength - 200, static_cast<off_t>(at)) != static_cast<ssize_t>(kLength - 200)) {
                failed = true;
            }
            FdBytes(fd, kBase, kLength);
        }
        if (fd >= 0) ::close(fd);
    });
    std::thread handleWriter([&] {
        for (int i = 0; i < 200; ++i) {
            if (!HandleWrite(kBase + 4096 * (i % 16), Pattern(8192, static_cast<uint8_t>(i + 100)))) failed = true;
        }
    });
    viewWriter.join();
    handleWriter.join();
    EXPECT_FALSE(failed);
    EXPECT_TRUE(FileBytes(Block('E'), kBase, kLength) == HandleBytes(kBase, kLength))
        << "the view and the drive disagree after the writes";
}

// A write of part of a unit reads the unit and writes it back whole. While
// the drive is Locked that read gives ciphertext and the write is refused;
// a key arriving between the two would have the ciphertext written back as
// plaintext. Writers here put back the bytes a unit already holds, so
// whatever is refused or accepted, the drive must read as it did.
TEST_F(BlockViewTest, PartialWritesRacingKeyChangesNeverCorruptAUnit) {
    EncryptAndUnlockE();
    constexpr uint64_t kBase = 9 << 20;
    constexpr size_t kUnits = 64;
    const auto model = Pattern(kUnits * 512, 77);
    ASSERT_EQ(PwriteAt(Block('E'), kBase, model.data(), model.size()), static_cast<ssize_t>(model.size()));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const int fd = ::open(Block('E').c_str(), O_WRONLY);
        for (uint64_t i = 0; fd >= 0 && !stop; ++i) {
            const uint64_t unit = (i * 7) % kUnits;
            const uint64_t at = unit * 512 + 100 + i % 200;  // never a whole unit
            (void)::pwrite(fd, model.data() + at, 64, static_cast<off_t>(kBase + at));
        }
        if (fd >= 0) ::close(fd);
    });
    HANDLE h = OpenVolume();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint8_t key[64] = {};
    BuildKeyBuffer(kPassword, key);
    for (int i = 0; i < 3000; ++i) {
        Control(h, IOCTL_CRYPT_CLEAR_KEY);
        Control(h, IOCTL_CRYPT_SET_KEY, key, 32);
    }
    stop = true;
    writer.join();
    CloseHandle(h);
    std::vector<uint8_t> back(model.size());
    ASSERT_EQ(PreadAt(Block('E'), kBase, back.data(), back.size()), static_cast<ssize_t>(back.size()));
    for (size_t u = 0; u < kUnits; ++u) {
        EXPECT_TRUE(std::equal(back.begin() + long(u * 512), back.begin() + long(u * 512 + 512),
                               model.begin() + long(u * 512)))
            << "unit " << u << " was corrupted by a write that straddled a key change";
    }
}

// fsync through the view makes the bytes durable on the backing store; the
// view keeps nothing dirty, so even a host killed outright after the write
// loses nothing that write() reported written.
TEST_F(BlockViewTest, WritesReachTheDriveAtOnceAndSurviveAKilledHost) {
    EncryptAndUnlockE();
    constexpr uint64_t kAt = 7 << 20;
    const auto data = Pattern(1 << 20, 42);
    const auto storedBefore = FileBytes(Backing("data.img"), kAt, data.size());
    const int fd = ::open(Block('E').c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), kAt), static_cast<ssize_t>(data.size()));
    EXPECT_NE(FileBytes(Backing("data.img"), kAt, data.size()), storedBefore)
        << "the write was held back instead of reaching the drive";
    EXPECT_EQ(::fsync(fd), 0) << std::strerror(errno);
    EXPECT_TRUE(FdBytes(fd, kAt, data.size()) == data);
    ::close(fd);

    ::kill(host_, SIGKILL);
    int status = 0;
    ::waitpid(host_, &status, 0);
    host_ = -1;
    StartHost();
    ASSERT_TRUE(WaitForBlockView()) << Log();
    SetKey();
    EXPECT_TRUE(FileBytes(Block('E'), kAt, data.size()) == data) << "bytes fsync'ed through the view were lost";
}

// A program that writes through a shared mapping of the view leaves dirty
// pages the kernel writes back later. A lock taken through a handle must not
// strand them: they reach the drive before the lock, not refused after it.
TEST_F(BlockViewTest, MappedWritesReachTheDriveBeforeALock) {
    EncryptAndUnlockE();
    constexpr uint64_t kAt = 9 << 20;
    const auto data = Pattern(4096, 77);
    const int fd = ::open(Block('E').c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* map = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kAt);
    ASSERT_NE(map, MAP_FAILED) << std::strerror(errno);
    std::memcpy(map, data.data(), data.size());

    HANDLE h = OpenVolume();
    ASSERT_TRUE(Control(h, FSCTL_LOCK_VOLUME)) << GetLastError();
    // Under the lock the drive must already hold the mapped bytes.
    std::vector<uint8_t> seen(data.size());
    DWORD got = 0;
    LARGE_INTEGER at;
    at.QuadPart = kAt;
    ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(ReadFile(h, seen.data(), DWORD(seen.size()), &got, nullptr));
    EXPECT_TRUE(seen == data) << "the mapping's dirty page was not written before the lock";
    ASSERT_TRUE(Control(h, FSCTL_UNLOCK_VOLUME));
    CloseHandle(h);
    EXPECT_EQ(::msync(map, 4096, MS_SYNC), 0) << std::strerror(errno);
    ::munmap(map, 4096);
    ::close(fd);
}

}  // namespace
