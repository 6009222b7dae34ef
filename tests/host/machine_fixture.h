// A machine of its own per test: a temporary machine directory with the
// default drives and a tarnhost process running it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

inline const char* TarnhostPath() { return TARN_BINARY_DIR "/platform/host/tarnhost"; }

// Runs tarnhost with arguments and returns its exit status.
inline int RunTarnhost(const std::vector<std::string>& args, std::string* output = nullptr) {
    std::string command = TarnhostPath();
    for (const auto& a : args) command += " '" + a + "'";
    command += " 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return -1;
    char buffer[512];
    std::string out;
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    const int status = ::pclose(p);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarn-host-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        dir_ = root_ + "/machine";
        std::string out;
        ASSERT_EQ(RunTarnhost({"--machine", dir_, "init"}, &out), 0) << out;
        ::setenv("TARNVAULT_MACHINE", dir_.c_str(), 1);
        StartHost();
    }
    void TearDown() override {
        StopHost();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    void StartHost() {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int log = ::open((root_ + "/host.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (log >= 0) ::dup2(log, 2);
            ::execl(TarnhostPath(), TarnhostPath(), "--machine", dir_.c_str(), "run", "--no-service", nullptr);
            ::_exit(127);
        }
        host_ = pid;
        // Up when its socket answers.
        const std::string socketPath = dir_ + "/tarnhost.sock";
        for (int i = 0; i < 200; ++i) {
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strcpy(addr.sun_path, socketPath.c_str());
            const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
            const bool up = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
            ::close(s);
            if (up) return;
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "tarnhost ended at start: " << Log();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        FAIL() << "tarnhost did not come up: " << Log();
    }

    // Stops the machine as SIGTERM does and expects a clean exit.
    void StopHost() {
        if (host_ <= 0) return;
        ::kill(host_, SIGTERM);
        int status = 0;
        ::waitpid(host_, &status, 0);
        host_ = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "tarnhost did not shut down cleanly: " << Log();
        EXPECT_FALSE(std::filesystem::exists(dir_ + "/tarnhost.sock")) << "socket left behind";
    }

    std::string Log() const {
        FILE* f = std::fopen((root_ + "/host.log").c_str(), "r");
        if (!f) return "";
        std::string out;
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, f)) out += buffer;
        std::fclose(f);
        return out;
    }

    std::string Backing(const std::string& name) const { return dir_ + "/" + name; }

    std::string root_, dir_;
    pid_t host_ = -1;
};
