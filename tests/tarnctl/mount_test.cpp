// Mounting: the record as the Mount page fills it, the free letter from D:,
// free device numbers, and the unlock of a drive that comes up locked.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>

#include "fake_backend.h"
#include "tools/tarnctl/commands.h"
#include "tools/tarnctl/mount_request.h"

namespace tarnctl::testing {
namespace {

VDISK_MOUNT_RECORD Mounted(int32_t device, const std::string& path) {
    VDISK_MOUNT_RECORD r;
    std::string why;
    EXPECT_TRUE(BuildImageRecord(path, false, false, 'X', &r, &why));
    r.DeviceNumber = device;
    return r;
}

std::string TempImage() {
    char pattern[] = "/tmp/tarnctl-mount-XXXXXX";
    const int fd = ::mkstemp(pattern);
    EXPECT_GE(fd, 0);
    ::close(fd);
    return pattern;
}

TEST(MountRecord, HoldsTheNtNameKindLetterAndNothingElse) {
    VDISK_MOUNT_RECORD r;
    std::string why;
    ASSERT_TRUE(BuildImageRecord("/img/caf\xC3\xA9.iso", true, true, 'G', &r, &why));
    EXPECT_EQ(+r.DiskKind, kDiskKindCdImage);
    EXPECT_EQ(+r.DiskSize, 0) << "never create the file";
    EXPECT_EQ(+r.ReadOnly, 1);
    EXPECT_EQ(+r.UseLocalCache, 0);
    EXPECT_EQ(+r.DriveLetter, 'G');
    const std::u16string expected = u"\\??\\/img/caf\u00e9.iso";
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(+r.FileName[i], +expected[i]) << i;
    EXPECT_EQ(+r.FileName[expected.size()], 0) << "NUL-terminated";
    EXPECT_EQ(RecordFileName(r), "/img/caf\xC3\xA9.iso");
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&r);
    for (size_t i = 48; i < 648; ++i) ASSERT_EQ(bytes[i], 0) << "cache name untouched at " << i;

    ASSERT_TRUE(BuildImageRecord("/img/a.img", false, false, 'D', &r, &why));
    EXPECT_EQ(+r.DiskKind, 0u);
}

TEST(MountRecord, RefusesNamesThatDoNotFitOrAreNotUtf8) {
    VDISK_MOUNT_RECORD r;
    std::string why;
    // 300 units: "\??\" + 295 + NUL.
    EXPECT_TRUE(BuildImageRecord("/" + std::string(294, 'a'), false, false, 'D', &r, &why));
    EXPECT_EQ(+r.FileName[299], 0);
    EXPECT_FALSE(BuildImageRecord("/" + std::string(295, 'a'), false, false, 'D', &r, &why));
    EXPECT_FALSE(BuildImageRecord("/bad\xFF.img", false, false, 'D', &r, &why));
}

TEST(MountRecord, NetworkDiskCarriesServerAndCache) {
    VDISK_MOUNT_RECORD r;
    std::string why;
    ASSERT_TRUE(BuildNetRecord(htonl(0x7F000001), htons(10809), "/var/cache/n.cache", false, 'N', &r, &why));
    EXPECT_EQ(+r.DiskKind, kDiskKindNetwork);
    EXPECT_EQ(+r.UseLocalCache, 1);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&r);
    EXPECT_EQ(bytes[16], 127);
    EXPECT_EQ(bytes[19], 1);
    EXPECT_EQ(bytes[20], 10809 >> 8) << "port in network byte order";
    EXPECT_EQ(RecordServer(r), "127.0.0.1:10809");
    EXPECT_EQ(+r.FileName[0], 0);
    ASSERT_TRUE(BuildNetRecord(htonl(0x7F000001), htons(1), "", false, 'N', &r, &why));
    EXPECT_EQ(+r.UseLocalCache, 0);
}

TEST(LetterAndDeviceChoice, TakesTheFirstFreeOfEach) {
    Harness h;  // C: and E: exist
    EXPECT_EQ(FindFreeLetter(h.backend), 'D') << "letters before D: are never offered";
    FakeDrive emptyCd{kDriveCdrom, 0x3};
    emptyCd.opens = false;
    h.backend.drives['D'] = emptyCd;
    EXPECT_EQ(FindFreeLetter(h.backend), 'F') << "a drive that does not open still owns its letter";
    for (char l = 'D'; l <= 'Z'; ++l) h.backend.drives[l] = FakeDrive{};
    EXPECT_EQ(FindFreeLetter(h.backend), 0);

    Harness d;
    d.backend.mounts['E'] = Mounted(0, "/a.img");
    d.backend.drives['G'] = FakeDrive{};
    d.backend.mounts['G'] = Mounted(2, "/b.img");
    EXPECT_EQ(FreeDeviceNumbers(d.backend), (std::vector<long>{1, 3, 4, 5, 6, 7}));

    d.backend.mountResults[1] = 0x1F;  // that device fails: the next is tried
    VDISK_MOUNT_RECORD r = Mounted(-1, "/c.img");
    const MountOutcome outcome = MountOnFreeDevice(d.backend, r, 'H');
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.deviceNumber, 3);
    EXPECT_EQ(outcome.attempts, 2);
}

TEST(MountCommand, AllDevicesBusyOrFailingIsReportedAndNothingIsLeftMounted) {
    const std::string image = TempImage();
    Harness full;
    for (int n = 0; n < 8; ++n) {
        const char l = static_cast<char>('F' + n);
        full.backend.drives[l] = FakeDrive{};
        full.backend.mounts[l] = Mounted(n, "/x.img");
    }
    EXPECT_EQ(CmdMount(full.ctx, {{image}, "", "", false, false, {}}), kExitFailed);
    EXPECT_NE(full.err.str().find("all 8 virtual drives are in use"), std::string::npos);
    for (const auto& c : full.backend.calls) EXPECT_EQ(c.rfind("MountImage", 0), std::string::npos);

    Harness failing;
    for (long n = 0; n < 8; ++n) failing.backend.mountResults[n] = 2;
    EXPECT_EQ(CmdMount(failing.ctx, {{image}, "", "", false, false, {}}), kExitFailed);
    EXPECT_NE(failing.err.str().find("Mount error 2, file can not be opened"), std::string::npos) << failing.err.str();
    ::unlink(image.c_str());
}

TEST(MountCommand, LockedNewDriveIsUnlockedAndAWrongPasswordIsReported) {
    const std::string image = TempImage();
    struct Case {
        const char* what;
        uint32_t onMount;
        uint32_t afterUnlock;  // 0xFFFFFFFF: unchanged
        bool cd;
        int expected;
        bool unlockCalled;
    } cases[] = {
        {"right password", 0x20002, 0xC0001, false, kExitOk, true},
        {"wrong password", 0x20002, 0xFFFFFFFF, false, kExitFailed, true},
        {"cd image: cannot be checked", 0x20002, 0xFFFFFFFF, true, kExitOk, true},
        {"plain image: no password", 0x10000, 0xFFFFFFFF, false, kExitOk, false},
    };
    for (const auto& c : cases) {
        Harness h;
        h.backend.statusOnMount = c.onMount;
        h.backend.statusAfterUnlock = c.afterUnlock;
        h.console.secrets = {"pw"};
        EXPECT_EQ(CmdMount(h.ctx, {{image}, "", "", c.cd, false, {}}), c.expected) << c.what << h.err.str();
        EXPECT_EQ(h.backend.mounts.count('D'), 1u) << c.what << ": the mount stays whatever the password";
        const uint32_t kind = h.backend.mounts['D'].DiskKind;
        EXPECT_EQ(kind, c.cd ? kDiskKindCdImage : 0u);
        const bool called = std::find(h.backend.calls.begin(), h.backend.calls.end(), "UnlockDrive D: 0") !=
                            h.backend.calls.end();
        EXPECT_EQ(called, c.unlockCalled) << c.what;
        if (called) {
            EXPECT_EQ(h.backend.lastPassword, "pw");
        }
    }
    ::unlink(image.c_str());
}

TEST(UnmountCommand, OnlyVirtualDrivesAreUnmounted) {
    Harness h;
    EXPECT_EQ(CmdUnmount(h.ctx, "E:"), kExitFailed);
    EXPECT_NE(h.err.str().find("not a virtual drive"), std::string::npos);
    h.backend.mounts['E'] = Mounted(4, "/a.img");
    EXPECT_EQ(CmdUnmount(h.ctx, "e:"), kExitOk);
    EXPECT_EQ(h.backend.calls.back(), "UnmountImage E");

    EXPECT_EQ(CmdMounts(h.ctx, false), kExitOk);
    h.backend.mounts['E'] = Mounted(4, "/a \"b\".img");
    std::ostringstream().swap(h.out);
    EXPECT_EQ(CmdMounts(h.ctx, true), kExitOk);
    EXPECT_EQ(h.out.str(),
              "[\n {\"drive\": \"E:\", \"device\": 4, \"kind\": \"disk\", \"file\": \"/a \\\"b\\\".img\", \"read_only\": "
              "false}\n]\n");
}

}  // namespace
}  // namespace tarnctl::testing
