// Every procedure through the RPC runtime: results, the message buffer's
// bounds, reserved opnums, and bad arguments that must not reach a device.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/interface.h"
#include "service/tarnrpcs.h"
#include "service/worker_status.h"
#include "svc_under_test.h"
#include "test_util.h"

namespace {

TEST(RpcPing, AnswersZero) { EXPECT_EQ(svc::SvcPing(), 0); }

TEST(RpcLastMessage, CopiedOnlyWithRoomForTheTerminator) {
    const std::string text = "Tarnvault has encounter an error 1D while writing this drive !";
    SetLastMessage("%s", text.c_str());
    uint8_t buffer[128];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(svc::SvcGetLastMessage(long(text.size() + 1), buffer), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), text);

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(svc::SvcGetLastMessage(long(text.size()), buffer), 0);
    EXPECT_NE(std::memcmp(buffer, text.data(), 16), 0);
    // Nothing past the bufSize bytes the call moved.
    for (size_t i = text.size(); i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 'x') << i;
}

TEST(RpcLastMessage, HostileSizesAreRefusedAndServerKeepsServing) {
    SetLastMessage("short");
    uint8_t buffer[16] = {};
    for (long size : {-1L, -100000L, long(TARNSVC_MAX_MESSAGE_BUFFER) + 1, 1L << 30}) {
        SCOPED_TRACE(size);
        // The stub refuses the count before allocating or copying anything.
        long r = svc::SvcGetLastMessage(size, buffer);
        if (size < 0 || size > long(TARNSVC_MAX_MESSAGE_BUFFER)) {
            EXPECT_NE(r, 0);
        }
        EXPECT_EQ(svc::SvcPing(), 0);
    }
    EXPECT_EQ(svc::SvcGetLastMessage(0, buffer), 0);
}

TEST(RpcReservedOpnums, AnswerWithAnErrorNotACrash) {
    RPC_CSTR binding = nullptr;
    RPC_BINDING_HANDLE handle = nullptr;
    ASSERT_EQ(RpcStringBindingComposeA(nullptr, (RPC_CSTR) "ncalrpc", nullptr, (RPC_CSTR) "tarnsvc", nullptr, &binding),
              RPC_S_OK);
    ASSERT_EQ(RpcBindingFromStringBindingA(binding, &handle), RPC_S_OK);
    RpcStringFreeA(&binding);
    const RPC_CLIENT_INTERFACE client = {sizeof(RPC_CLIENT_INTERFACE), &tarnsvc_Desc, &handle};
    for (unsigned short opnum : {6, 7, 8, 15, 16, 21, 22, 400}) {
        SCOPED_TRACE(opnum);
        long r = 0;
        RpcTryExcept { r = NdrClientCall(&client, opnum); }
        RpcExcept(1) { r = RpcExceptionCode(); }
        RpcEndExcept
        EXPECT_NE(r, 0);
        EXPECT_EQ(svc::SvcPing(), 0);
    }
    RpcBindingFree(&handle);
}

TEST(RpcDriveOperations, MissingDrivesGiveErrorsAndNoMessage) {
    SetLastMessage("untouched");
    int64_t total = 5, free = 5;
    EXPECT_EQ(svc::SvcQueryDrive("\\\\.\\Q:", nullptr, &total, &free), 3);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(free, 0);
    EXPECT_NE(svc::SvcLockDrive("Q:"), 0);
    EXPECT_NE(svc::SvcUnlockDrive("Q:", "pw", 0), 0);
    EXPECT_NE(svc::SvcUnlockDrive("\\\\.\\Q:", "pw", 1), 0);
    EXPECT_NE(svc::SvcQuickEncryptDrive("\\\\.\\Q:", "pw"), 0);
    EXPECT_NE(svc::SvcQuickDecryptDrive("\\\\.\\Q:"), 0);
    uint8_t message[64] = {};
    svc::SvcGetLastMessage(sizeof message, message);
    EXPECT_STREQ(reinterpret_cast<char*>(message), "untouched");
}

TEST(RpcDriveOperations, OverlongNamesAreRefusedNotCut) {
    const std::string longName(300, 'A');
    EXPECT_EQ(svc::SvcLockDrive(longName.c_str()), 87);
    EXPECT_EQ(svc::SvcUnlockDrive(longName.c_str(), "pw", 0), 87);
    EXPECT_EQ(svc::SvcUnlockDrive(("\\\\.\\" + longName).c_str(), "pw", 1), 206);
}

TEST(RpcDriveOperations, OrdinaryFilesNeverReachTheDriveOperations) {
    // They run with the service's rights: only device names are taken.
    TempDir dir;
    const std::string file = dir.File("not-a-volume");
    const std::vector<uint8_t> content(70000, 0x3C);
    WriteAll(file, content);
    EXPECT_EQ(svc::SvcStartDriveConversion(file.c_str(), 1, "pw"), 123);
    EXPECT_EQ(svc::SvcQuickEncryptDrive(file.c_str(), "pw"), 123);
    EXPECT_EQ(svc::SvcQuickDecryptDrive(file.c_str()), 123);
    EXPECT_EQ(svc::SvcUnlockDrive(file.c_str(), "pw", 1), 123);
    int64_t total = 0, free = 0;
    EXPECT_EQ(svc::SvcQueryDrive(file.c_str(), nullptr, &total, &free), 3);
    EXPECT_EQ(ReadAll(file), content);
}

TEST(RpcMounts, QueryFailureLeavesTheCallersRecord) {
    VDISK_MOUNT_RECORD record;
    std::memset(&record, 0xAB, sizeof record);
    EXPECT_NE(svc::SvcQueryMount('Q', &record), 0);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    for (size_t i = 0; i < sizeof record; ++i) ASSERT_EQ(bytes[i], 0xAB) << i;
}

TEST(RpcMounts, OnlyTheLowByteOfTheLetterTravelsAndNonLettersAreRefused) {
    VDISK_MOUNT_RECORD record{};
    // 0x8000 + '1' arrives as '1', which names no drive.
    EXPECT_EQ(svc::SvcUnmountImage(0x8000 + '1'), 87);
    EXPECT_EQ(svc::SvcMountImage(0, &record, 0x8000 + '1'), 87);
    EXPECT_EQ(svc::SvcMountImage(8, &record, 'M'), 87);
    EXPECT_EQ(svc::SvcMountImage(-1, &record, 'M'), 87);
    EXPECT_NE(svc::SvcUnmountImage('M'), 0);
    EXPECT_EQ(svc::SvcPing(), 0);
}

}  // namespace

namespace {

TEST(RpcServerStart, FailedStepPrintsTheStatusSourceAndTag) {
    // The server of this process already listens: a second start fails at a
    // step and says which.
    ::testing::internal::CaptureStdout();
    RPC_STATUS status = StartRpcServer(false);
    std::string printed = ::testing::internal::GetCapturedStdout();
    ASSERT_NE(status, RPC_S_OK);
    char expected[128];
    int tag = 0;
    ASSERT_EQ(std::sscanf(printed.c_str(), "RPC Err: %*d\nfile = tarnrpcs, line=%d.", &tag), 1) << printed;
    std::snprintf(expected, sizeof expected, "RPC Err: %d\nfile = tarnrpcs, line=%d.", int(status), tag);
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(svc::SvcPing(), 0);
}

}  // namespace
