#include "service_env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "service/client/svcclient.h"
#include "service/tarnrpcs.h"

namespace {

std::string gMachine;

class ServiceEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnsvc-machine-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        gMachine = pattern;
        ::chmod(gMachine.c_str(), 0755);
        ::setenv("TARNVAULT_MACHINE", gMachine.c_str(), 1);
        ASSERT_EQ(StartRpcServer(false), RPC_S_OK);
        ASSERT_EQ(SvcBind(), RPC_S_OK);
    }
    void TearDown() override {
        SvcUnbind();
        RpcMgmtStopServerListening(nullptr);
        RpcMgmtWaitServerListen();
        std::error_code ignored;
        std::filesystem::remove_all(gMachine, ignored);
    }
};

[[maybe_unused]] ::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);

}  // namespace

const std::string& TestMachineDirectory() { return gMachine; }
