// The mount-record store on the machine's registry.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <map>

#include "service/store.h"
#include "service_env.h"

namespace {

VDISK_MOUNT_RECORD RecordFor(char letter, uint32_t kind) {
    VDISK_MOUNT_RECORD r{};
    r.DriveLetter = letter;
    r.DiskKind = kind;
    r.DiskSize = 1 << 20;
    return r;
}

std::map<int32_t, VDISK_MOUNT_RECORD> Stored() {
    std::map<int32_t, VDISK_MOUNT_RECORD> all;
    ForEachMountRecord([&](int32_t device, const VDISK_MOUNT_RECORD& r) { all[device] = r; });
    return all;
}

TEST(MountStore, SavedRecordsComeBackInDeviceOrderAndDeleteRemovesOne) {
    for (int d = 0; d < kStoreDeviceCount; ++d) DeleteMountRecord(d);
    SaveMountRecord(5, RecordFor('X', 2));
    SaveMountRecord(1, RecordFor('K', 0));
    std::vector<int32_t> order;
    ForEachMountRecord([&](int32_t device, const VDISK_MOUNT_RECORD&) { order.push_back(device); });
    EXPECT_EQ(order, (std::vector<int32_t>{1, 5}));
    auto all = Stored();
    EXPECT_EQ(all[5].DriveLetter, 'X');
    EXPECT_EQ(all[5].DiskKind, 2u);
    DeleteMountRecord(5);
    EXPECT_EQ(Stored().count(5), 0u);
    EXPECT_EQ(Stored().count(1), 1u);
    DeleteMountRecord(1);
}

TEST(MountStore, ValuesOfTheWrongSizeOrTypeAreSkipped) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, TARNSVC_STORE_KEY, &key), ERROR_SUCCESS);
    std::vector<uint8_t> bytes(1249, 1);
    ASSERT_EQ(RegSetValueExA(key, "UserConfig2", 0, REG_BINARY, bytes.data(), 1247), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "UserConfig3", 0, REG_BINARY, bytes.data(), 1249), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "UserConfig4", 0, REG_NONE, bytes.data(), 1248), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "UserConfig8", 0, REG_BINARY, bytes.data(), 1248), ERROR_SUCCESS);
    RegCloseKey(key);
    SaveMountRecord(6, RecordFor('Z', 0));
    auto all = Stored();
    EXPECT_EQ(all.size(), 1u);
    EXPECT_EQ(all.count(6), 1u);
    for (int d = 0; d < kStoreDeviceCount; ++d) DeleteMountRecord(d);
}

}  // namespace

#include <regex>

#include "service/mount.h"
#include "svc_under_test.h"

namespace {

TEST(Remount, FailedRemountKeepsTheStoredRecord) {
    for (int d = 0; d < kStoreDeviceCount; ++d) DeleteMountRecord(d);
    VDISK_MOUNT_RECORD record = RecordFor('R', 0);
    SaveMountRecord(3, record);
    ::testing::internal::CaptureStderr();
    RemountStoredImages();  // no virtual disk driver here: the mount fails
    std::string diagnostics = ::testing::internal::GetCapturedStderr();
    auto all = Stored();
    ASSERT_EQ(all.count(3), 1u);
    EXPECT_EQ(std::memcmp(&all[3], &record, sizeof record), 0);
    EXPECT_TRUE(std::regex_search(diagnostics, std::regex("^(R:|ombi:) .+ [0-9]+\n"))) << diagnostics;
    DeleteMountRecord(3);
}

TEST(MountDiagnostics, EachFailureLineNamesTheDriveTheTextAndTheCode) {
    VDISK_MOUNT_RECORD record = RecordFor('N', 2);
    ::testing::internal::CaptureStderr();
    long result = svc::SvcMountImage(2, &record, 'N');
    std::string line = ::testing::internal::GetCapturedStderr();
    ASSERT_NE(result, 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, std::regex("(N:|ombi:) (.+) ([0-9]+)\n"))) << line;
    EXPECT_EQ(std::stol(m[3].str()), result);
    EXPECT_EQ(m[2].str().find('\r'), std::string::npos);
    // A failed mount stores nothing.
    EXPECT_EQ(Stored().count(2), 0u);
}

}  // namespace
