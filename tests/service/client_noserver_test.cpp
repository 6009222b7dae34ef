// A client whose service is not running: every wrapper gives the transport
// failure, and SvcGetFinished reads as "not finished".
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "service/client/svcclient.h"
#include "test_util.h"

namespace {

TEST(ClientWithoutService, EveryWrapperReturnsServerUnavailable) {
    TempDir machine;  // no server listens here
    ::setenv("TARNVAULT_MACHINE", machine.Path().c_str(), 1);
    ASSERT_EQ(SvcBind(), RPC_S_OK);  // binding contacts no one
    int64_t total = 0, free = 0;
    uint8_t buffer[128];
    std::memset(buffer, 'x', sizeof buffer);
    VDISK_MOUNT_RECORD record;
    std::memset(&record, 0x5C, sizeof record);
    const long expected = 1722;
    EXPECT_EQ(SvcPing(), expected);
    EXPECT_EQ(SvcQueryDrive("\\\\.\\E:", "E:\\", &total, &free), expected);
    EXPECT_EQ(SvcStartImageConversion("a", "b", 1, "pw"), expected);
    EXPECT_EQ(SvcLockDrive("E:"), expected);
    EXPECT_EQ(SvcUnlockDrive("E:", "pw", 0), expected);
    EXPECT_EQ(SvcStartDriveConversion("\\\\.\\E:", 1, "pw"), expected);
    EXPECT_EQ(SvcQuickEncryptDrive("\\\\.\\E:", "pw"), expected);
    EXPECT_EQ(SvcQuickDecryptDrive("\\\\.\\E:"), expected);
    EXPECT_EQ(SvcGetLastMessage(sizeof buffer, buffer), expected);
    EXPECT_EQ(SvcGetProgress(), expected);
    EXPECT_EQ(SvcGetFinished(), 0);
    EXPECT_EQ(SvcGetResult(), expected);
    EXPECT_EQ(SvcCreateImage("x.img", 1 << 20, 0, 0, "L"), expected);
    EXPECT_EQ(SvcQueryMount('E', &record), expected);
    EXPECT_EQ(SvcMountImage(0, &record, 'E'), expected);
    EXPECT_EQ(SvcUnmountImage('E'), expected);
    // Nothing the failed calls could have written was written.
    for (uint8_t b : buffer) ASSERT_EQ(b, 'x');
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    for (size_t i = 0; i < sizeof record; ++i) ASSERT_EQ(bytes[i], 0x5C);
    SvcUnbind();
}

}  // namespace
