// A machine of its own for the end-to-end tests: a temporary machine
// directory with the default drives, tarnhost running it, tarnsvc started
// by its control manager, and tarnctl run as a separate process.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace tarnctl::testing {

struct RunResult {
    int status = -1;
    std::string output;  // standard output and standard error
};

// Runs a program with arguments and optional standard input; never through a shell.
inline RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input = "") {
    int out[2], in[2];
    if (::pipe(out) != 0 || ::pipe(in) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        ::close(in[1]);
        ::close(out[0]);
        ::close(in[0]);
        ::close(out[1]);
        // No controlling terminal: prompts must not block a test.
        ::setsid();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (!input.empty()) (void)!::write(in[1], input.data(), input.size());
    ::close(in[1]);
    RunResult run;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) run.output.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class LiveMachine : public ::testing::Test {
protected:
    static std::string Tarnhost() { return TARN_BINARY_DIR "/platform/host/tarnhost"; }
    static std::string Tarnctl() { return TARN_BINARY_DIR "/tools/tarnctl/tarnctl"; }

    void SetUp() override {
        char pattern[] = "/tmp/tarnctl-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        dir_ = root_ + "/machine";
        ::setenv("TARNVAULT_MACHINE", dir_.c_str(), 1);
        const RunResult init = RunProgram(Tarnhost(), {"--machine", dir_, "init"});
        ASSERT_EQ(init.status, 0) << init.output;
        StartHost();
        if (HasFatalFailure()) return;
        const RunResult started = RunProgram(Tarnhost(), {"--machine", dir_, "service", "start", "tarnsvc"});
        // The service reports itself running before its RPC server listens.
        RunResult ping = Ctl({"ping"});
        for (int i = 0; started.status == 0 && ping.status != 0 && i < 150; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ping = Ctl({"ping"});
        }
        if (started.status != 0 || ping.status != 0) {
            // FIXME: skipped until tarnsvc runs under tarnhost's control manager
            // (the service still links its stand-in for it).
            missing_ = "the live machine is not ready: tarnhost did not start a tarnsvc that answers (service start: " +
                       started.output + "; tarnctl ping: " + ping.output + ")";
            GTEST_SKIP() << missing_;
        }
    }

    void TearDown() override {
        if (host_ > 0) {
            ::kill(host_, SIGTERM);
            int status = 0;
            ::waitpid(host_, &status, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    void StartHost() {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int log = ::open((root_ + "/host.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (log >= 0) {
                ::dup2(log, 1);
                ::dup2(log, 2);
            }
            ::execl(Tarnhost().c_str(), Tarnhost().c_str(), "--machine", dir_.c_str(), "run", "--no-service", nullptr);
            ::_exit(127);
        }
        host_ = pid;
        const std::string socketPath = dir_ + "/tarnhost.sock";
        for (int i = 0; i < 200; ++i) {
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
            const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
            const bool up = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ::close(s);
            if (up) return;
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "tarnhost ended at start";
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        FAIL() << "tarnhost did not come up";
    }

    RunResult Ctl(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--machine", dir_});
        return RunProgram(Tarnctl(), args, input);
    }

    // A password file of the test's own.
    std::string PasswordFile(const std::string& password) {
        const std::string path = root_ + "/pw-" + std::to_string(++files_);
        std::ofstream(path) << password << "\n";
        return path;
    }

    std::string root_, dir_, missing_;
    pid_t host_ = -1;
    int files_ = 0;
};

}  // namespace tarnctl::testing
