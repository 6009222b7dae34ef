// tarnsvc under the machine's control manager: every procedure answers while
// it runs; once stopped its process is gone and every call fails as a call
// to a server that is not there (1722), never as a made-up success.
#include "service_machine.h"

namespace tarn::svce2e {
namespace {

constexpr long kServerUnavailable = 1722;

using ServiceControl = ServiceMachine;

// Every wrapper once, with harmless arguments; what each returned.
std::vector<std::pair<std::string, long>> CallEveryProcedure(const std::string& root) {
    int64_t total = 0, free = 0;
    uint8_t message[64] = {};
    VDISK_MOUNT_RECORD record{};
    const std::string missing = root + "/absent.img", target = root + "/never.img";
    return {
        {"SvcPing", SvcPing()},
        {"SvcQueryDrive", SvcQueryDrive("\\\\.\\E:", "E:\\", &total, &free)},
        {"SvcGetLastMessage", SvcGetLastMessage(sizeof message, message)},
        {"SvcGetProgress", SvcGetProgress()},
        {"SvcGetResult", SvcGetResult()},
        {"SvcLockDrive", SvcLockDrive("Q:")},
        {"SvcUnlockDrive", SvcUnlockDrive("Q:", "password", 0)},
        {"SvcStartDriveConversion", SvcStartDriveConversion("\\\\.\\Q:", 1, "password")},
        {"SvcQuickEncryptDrive", SvcQuickEncryptDrive("\\\\.\\Q:", "password")},
        {"SvcQuickDecryptDrive", SvcQuickDecryptDrive("\\\\.\\Q:")},
        {"SvcStartImageConversion", SvcStartImageConversion(missing.c_str(), target.c_str(), 1, "password")},
        {"SvcCreateImage", SvcCreateImage((root + "/no/such/dir/x.img").c_str(), 1 << 20, 0, 0, "X")},
        {"SvcQueryMount", SvcQueryMount('Q', &record)},
        {"SvcMountImage", SvcMountImage(0, &record, 'Q')},
        {"SvcUnmountImage", SvcUnmountImage('Q')},
    };
}

TEST_F(ServiceControl, StoppedServiceEndsItsProcessAndEveryCallReportsTheServerUnavailable) {
    ASSERT_GT(ServicePid(), 0) << "tarnsvc runs as its own process";
    for (const auto& [name, result] : CallEveryProcedure(root_)) {
        EXPECT_NE(result, kServerUnavailable) << name << " did not reach the running service";
    }
    // Let a started worker (if any procedure started one) finish first.
    for (int i = 0; i < 500 && SvcGetFinished() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(SvcPing(), 0L);

    const RunResult stopped = Host({"service", "stop", "tarnsvc"});
    ASSERT_EQ(stopped.status, 0) << stopped.output;
    for (int i = 0; i < 200 && ServicePid() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LT(ServicePid(), 0) << "the stop control must end the service process";

    // FIXME: a binding whose connection was open when the service ended
    // sometimes gets 1726 for its first call, though that call never left the
    // client; until the RPC client sees the closed connection before sending,
    // the calls go through a fresh binding, as a new client's would.
    SvcUnbind();
    ASSERT_EQ(SvcBind(), 0L);
    for (const auto& [name, result] : CallEveryProcedure(root_)) {
        EXPECT_EQ(result, kServerUnavailable) << name;
    }
    EXPECT_EQ(SvcGetFinished(), 0L);
    EXPECT_EQ(Ctl({"ping"}).status, 3) << "tarnctl says the service does not answer";

    // The machine itself keeps running and starts the service again.
    StartService();
    if (HasFatalFailure() || IsSkipped()) return;
    EXPECT_EQ(SvcPing(), 0L);
}

}  // namespace
}  // namespace tarn::svce2e
