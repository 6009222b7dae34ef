#include "platform/host/service_manager.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tarn::host {

namespace {

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorProcessAborted = 1067;
constexpr uint32_t kServiceAcceptStop = 1;
constexpr auto kStartWait = std::chrono::seconds(30);
constexpr auto kControlWait = std::chrono::seconds(30);

std::string Key(const std::string& name) {
    std::string k = name;
    std::transform(k.begin(), k.end(), k.begin(), [](unsigned char c) { return std::toupper(c); });
    return k;
}

}  // namespace

ServiceManager::ServiceManager(std::string machineDir, ConfigLookup lookup, DriverLoader loader,
                               DriverUnloader unloader)
    : dir_(std::move(machineDir)), lookup_(std::move(lookup)), loader_(std::move(loader)),
      unloader_(std::move(unloader)) {}

ServiceManager::~ServiceManager() { StopAll(); }

ServiceManager::Service* ServiceManager::Find(const std::string& name) {
    auto it = services_.find(Key(name));
    if (it != services_.end()) return it->second.get();
    auto config = lookup_(name);
    if (!config) return nullptr;
    auto s = std::make_unique<Service>();
    s->config = *config;
    s->status.serviceType = config->type;
    s->status.currentState = kServiceStopped;
    Service* raw = s.get();
    services_[Key(name)] = std::move(s);
    return raw;
}

uint32_t ServiceManager::Open(const std::string& name, uint32_t& serviceType) {
    std::lock_guard<std::mutex> guard(mutex_);
    Service* s = Find(name);
    if (!s) return kErrorServiceDoesNotExist;
    serviceType = s->config.type;
    return 0;
}

uint32_t ServiceManager::Start(const std::string& name) {
    std::unique_lock<std::mutex> lock(mutex_);
    Service* s = Find(name);
    if (!s) return kErrorServiceDoesNotExist;
    if (s->status.currentState != kServiceStopped) return kErrorServiceAlreadyRunning;
    if (s->config.type == kServiceKernelDriver) {
        s->status.currentState = kServiceStartPending;
        lock.unlock();
        const uint32_t error = loader_(s->config);
        lock.lock();
        s->status.currentState = error ? kServiceStopped : kServiceRunning;
        s->status.win32ExitCode = error;
        return error;
    }
    return SpawnLocked(*s, lock);
}

uint32_t ServiceManager::SpawnLocked(Service& s, std::unique_lock<std::mutex>& lock) {
    if (::access(s.config.imagePath.c_str(), X_OK) != 0) return kErrorFileNotFound;
    // A service reports STOPPED before its process has ended; its reaper
    // needs this lock to finish, so wait for it with the lock released.
    if (!changed_.wait_for(lock, kStartWait, [&] { return s.reaped; })) return kErrorServiceAlreadyRunning;
    if (s.reaper.joinable()) s.reaper.join();  // reaped: it takes the lock no more

    // Everything the child needs is built before fork: after it only exec.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string v = *e;
        if (v.rfind("TARNVAULT_MACHINE=", 0) != 0 && v.rfind("TARNVAULT_SERVICE=", 0) != 0) env.push_back(v);
    }
    env.push_back("TARNVAULT_MACHINE=" + dir_);
    env.push_back("TARNVAULT_SERVICE=" + s.config.name);
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string image = s.config.imagePath;
    char* argv[] = {image.data(), nullptr};

    const pid_t pid = ::fork();
    if (pid < 0) return kErrorNotEnoughMemory;
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, 0);
        ::setpgid(0, 0);
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
    }
    s.pid = pid;
    s.reaped = false;
    s.dispatcher = nullptr;
    s.controlsSent = s.controlsDone = 0;
    s.status = wire::ServiceStatus{};
    s.status.serviceType = s.config.type;
    s.status.currentState = kServiceStartPending;
    s.reaper = std::thread([this, name = s.config.name, pid] { Reap(name, pid); });

    // StartService returns once the program has connected its dispatcher.
    const bool attached = changed_.wait_for(lock, kStartWait, [&] { return s.dispatcher != nullptr || s.pid != pid; });
    if (s.pid != pid) return kErrorProcessAborted;
    if (!attached) {
        ::kill(pid, SIGKILL);
        return kErrorServiceRequestTimeout;
    }
    return 0;
}

void ServiceManager::Reap(std::string name, pid_t pid) {
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> guard(mutex_);
    Service* s = Find(name);
    if (!s || s->pid != pid) return;
    const bool reportedStop = s->status.currentState == kServiceStopped;
    s->pid = 0;
    s->dispatcher = nullptr;
    s->reaped = true;
    s->status.currentState = kServiceStopped;
    s->status.controlsAccepted = 0;
    if (!reportedStop) s->status.win32ExitCode = kErrorProcessAborted;
    changed_.notify_all();
}

uint32_t ServiceManager::Control(const std::string& name, uint32_t control, wire::ServiceStatus& status) {
    std::unique_lock<std::mutex> lock(mutex_);
    Service* s = Find(name);
    if (!s) return kErrorServiceDoesNotExist;
    status = s->status;
    if (s->config.type == kServiceKernelDriver) {
        if (s->status.currentState != kServiceRunning) return kErrorServiceNotActive;
        if (control == kServiceControlInterrogate) return 0;
        if (control != kServiceControlStop) return kErrorInvalidServiceControl;
        // The driver's unload runs without the lock: it waits for its
        // workers, which may still be in requests that query services.
        s->status.currentState = kServiceStopPending;
        lock.unlock();
        const uint32_t error = unloader_(s->config);
        lock.lock();
        s->status.currentState = error ? kServiceRunning : kServiceStopped;
        if (!error) s->status.win32ExitCode = 0;
        changed_.notify_all();
        status = s->status;
        return error;
    }
    if (s->pid == 0 || s->status.currentState == kServiceStopped) return kErrorServiceNotActive;
    if (!s->dispatcher) return kErrorServiceCannotAcceptCtrl;
    if (s->status.currentState == kServiceStartPending || s->status.currentState == kServiceStopPending) {
        if (control != kServiceControlInterrogate) return kErrorServiceCannotAcceptCtrl;
    }
    if (control == kServiceControlStop && !(s->status.controlsAccepted & kServiceAcceptStop)) {
        return kErrorInvalidServiceControl;
    }
    wire::Writer w;
    w.U32(control);
    const pid_t pid = s->pid;
    if (!s->dispatcher->Send(w.Finish())) return kErrorServiceNoThread;
    const uint64_t ticket = ++s->controlsSent;
    const bool done =
        changed_.wait_for(lock, kControlWait, [&] { return s->pid != pid || s->controlsDone >= ticket; });
    status = s->status;
    return done ? 0 : kErrorServiceRequestTimeout;
}

uint32_t ServiceManager::Query(const std::string& name, wire::ServiceStatus& status) {
    std::lock_guard<std::mutex> guard(mutex_);
    Service* s = Find(name);
    if (!s) return kErrorServiceDoesNotExist;
    status = s->status;
    return 0;
}

uint32_t ServiceManager::Attach(const std::string& name, Connection* conn) {
    std::lock_guard<std::mutex> guard(mutex_);
    Service* s = Find(name);
    // Only the process this SCM started for the service may become its dispatcher.
    if (!s || s->pid == 0 || s->pid != conn->PeerPid() || s->dispatcher) return kErrorFailedServiceControllerConnect;
    s->dispatcher = conn;
    changed_.notify_all();
    return 0;
}

uint32_t ServiceManager::SetStatus(const std::string& name, pid_t peerPid, const wire::ServiceStatus& status) {
    std::lock_guard<std::mutex> guard(mutex_);
    Service* s = Find(name);
    if (!s || s->pid == 0 || s->pid != peerPid) return 6;  // ERROR_INVALID_HANDLE, as for a stale status handle
    s->status = status;
    s->status.serviceType = s->config.type;
    changed_.notify_all();
    return 0;
}

void ServiceManager::ControlDone(Connection* conn) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& [key, s] : services_) {
        if (s->dispatcher == conn) ++s->controlsDone;
    }
    changed_.notify_all();
}

void ServiceManager::Disconnected(Connection* conn) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& [key, s] : services_) {
        if (s->dispatcher == conn) s->dispatcher = nullptr;
    }
    changed_.notify_all();
}

void ServiceManager::StopAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<std::pair<Service*, pid_t>> running;
    for (auto& [key, s] : services_) {
        if (s->pid == 0) continue;
        running.emplace_back(s.get(), s->pid);
        if (s->dispatcher) {
            wire::Writer w;
            w.U32(kServiceControlShutdown);
            s->dispatcher->Send(w.Finish());
        }
    }
    auto allGone = [&] {
        return std::all_of(running.begin(), running.end(), [](auto& r) { return r.first->pid != r.second; });
    };
    if (!changed_.wait_for(lock, std::chrono::seconds(5), allGone)) {
        for (auto& [s, pid] : running) {
            if (s->pid == pid) ::kill(pid, SIGTERM);
        }
        if (!changed_.wait_for(lock, std::chrono::seconds(3), allGone)) {
            for (auto& [s, pid] : running) {
                if (s->pid == pid) ::kill(pid, SIGKILL);
            }
            changed_.wait(lock, allGone);
        }
    }
    std::vector<std::thread> reapers;
    for (auto& [key, s] : services_) {
        if (s->reaper.joinable()) reapers.push_back(std::move(s->reaper));
    }
    lock.unlock();
    for (auto& t : reapers) t.join();
}

}  // namespace tarn::host
