// A live machine for the service's end-to-end tests: the machine directory
// is prepared first (extra drives, backing files, the service's fault seams
// in the environment), then tarnhost runs it and starts tarnsvc under its
// control manager; the test talks to tarnsvc through the client library and
// through tarnctl, and looks at the backing files directly.
#pragma once

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "service/client/svcclient.h"
#include "service/conversion_journal.h"
#include "tests/tarnctl/live_machine.h"

namespace tarn::svce2e {

using tarnctl::testing::RunProgram;
using tarnctl::testing::RunResult;

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool HaveTool(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

class ServiceMachine : public tarnctl::testing::LiveMachine {
protected:
    // Runs before tarnhost starts: add drives, fill backing files, set the
    // environment the service will see.
    virtual void Prepare() {}

    void SetUp() override {
        char pattern[] = "/tmp/tarn-svce2e-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        dir_ = root_ + "/machine";
        ::setenv("TARNVAULT_MACHINE", dir_.c_str(), 1);
        const RunResult init = Host({"init"});
        ASSERT_EQ(init.status, 0) << init.output;
        Prepare();
        if (HasFatalFailure() || IsSkipped()) return;
        StartHost();
        if (HasFatalFailure()) return;
        StartService();
        if (HasFatalFailure() || IsSkipped()) return;
        ASSERT_EQ(SvcBind(), 0L);
    }

    void TearDown() override {
        SvcUnbind();
        for (const char* v : {"TARN_FAULT_WRITE_CHUNK", "TARN_FAULT_HOLD_CHUNK"}) ::unsetenv(v);
        LiveMachine::TearDown();
    }

    RunResult Host(std::vector<std::string> args) {
        args.insert(args.begin(), {"--machine", dir_});
        return RunProgram(Tarnhost(), args);
    }

    void StartService() {
        const RunResult started = Host({"service", "start", "tarnsvc"});
        RunResult ping = Ctl({"ping"});
        for (int i = 0; started.status == 0 && ping.status != 0 && i < 150; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ping = Ctl({"ping"});
        }
        if (started.status != 0 || ping.status != 0) {
            GTEST_SKIP() << "tarnhost did not start a tarnsvc that answers (service start: " << started.output
                         << "; tarnctl ping: " << ping.output << ")";
        }
    }

    void StopHost() {
        if (host_ <= 0) return;
        ::kill(host_, SIGTERM);
        int status = 0;
        ::waitpid(host_, &status, 0);
        host_ = -1;
    }

    void RestartHost() {
        SvcUnbind();
        StopHost();
        StartHost();
        if (HasFatalFailure()) return;
        StartService();
        if (HasFatalFailure() || IsSkipped()) return;
        ASSERT_EQ(SvcBind(), 0L);
    }

    // Adds a drive backed by a file of this test's own; the file is created
    // sparse when it does not exist yet.
    std::string AddDrive(const std::string& letter, uint64_t bytes, bool readOnly = false, std::string backing = "") {
        if (backing.empty()) backing = root_ + "/drive-" + letter.substr(0, 1) + ".img";
        std::vector<std::string> args{"drive", "add", letter, "fixed", backing};
        if (::access(backing.c_str(), F_OK) != 0) args.insert(args.end(), {"--create", std::to_string(bytes)});
        if (readOnly) args.push_back("--read-only");
        const RunResult added = Host(args);
        EXPECT_EQ(added.status, 0) << added.output;
        return backing;
    }

    std::string View(char letter) const { return dir_ + "/drives/" + std::string(1, letter); }

    // The process id of this machine's tarnsvc, or -1.
    pid_t ServicePid() const {
        DIR* proc = ::opendir("/proc");
        if (!proc) return -1;
        pid_t found = -1;
        const std::string mine = "TARNVAULT_MACHINE=" + dir_;
        while (dirent* e = ::readdir(proc)) {
            const pid_t pid = std::atoi(e->d_name);
            if (pid <= 0) continue;
            const std::string base = "/proc/" + std::string(e->d_name);
            char exe[4096];
            const ssize_t n = ::readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
            if (n <= 0) continue;
            exe[n] = 0;
            if (std::string(exe).find("/tarnsvc") == std::string::npos) continue;
            const std::string env = ReadAll(base + "/environ");
            if (env.find(mine + '\0') != std::string::npos) found = pid;
        }
        ::closedir(proc);
        return found;
    }

    // The checkpoint in the machine's registry of the one journalled
    // conversion (0 when there is none yet).
    static uint64_t RecordedCheckpoint() {
        HKEY conversions = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TARNSVC_JOURNAL_KEY, 0, KEY_READ, &conversions) != ERROR_SUCCESS) return 0;
        char name[64];
        DWORD length = sizeof name;
        uint64_t checkpoint = 0;
        HKEY record = nullptr;
        if (RegEnumKeyExA(conversions, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            RegOpenKeyExA(conversions, name, 0, KEY_READ, &record) == ERROR_SUCCESS) {
            DWORD size = sizeof checkpoint;
            if (RegQueryValueExA(record, "Checkpoint", nullptr, nullptr, reinterpret_cast<BYTE*>(&checkpoint),
                                 &size) != ERROR_SUCCESS)
                checkpoint = 0;
            RegCloseKey(record);
        }
        RegCloseKey(conversions);
        return checkpoint;
    }

    // The status word of one drive as the service reports it.
    long DriveStatus(char letter) {
        const std::string device = std::string("\\\\.\\") + letter + ":";
        const std::string root = std::string(1, letter) + ":\\";
        int64_t total = 0, free = 0;
        return SvcQueryDrive(device.c_str(), root.c_str(), &total, &free);
    }

    std::string LastMessage() {
        uint8_t buffer[256] = {};
        if (SvcGetLastMessage(sizeof buffer, buffer) != 0) return "";
        return reinterpret_cast<const char*>(buffer);
    }

    // Waits for the running conversion to finish; its result.
    long WaitForConversion() {
        for (int i = 0; i < 6000 && SvcGetFinished() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return SvcGetResult();
    }
};

}  // namespace tarn::svce2e
