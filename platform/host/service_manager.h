// The service control manager of the machine: own-process services run as
// child processes that attach back over the system-call socket; kernel driver
// services are loaded into this process by a loader the machine supplies.
//
// Errors are Win32 codes, as the SCM reports them.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/host/syscall_server.h"
#include "platform/host/wire/wire.h"

namespace tarn::host {

constexpr uint32_t kServiceKernelDriver = 0x1;
constexpr uint32_t kServiceWin32OwnProcess = 0x10;

constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;

constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;

constexpr uint32_t kErrorServiceRequestTimeout = 1053;
constexpr uint32_t kErrorServiceNoThread = 1054;
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kErrorInvalidServiceControl = 1052;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorServiceCannotAcceptCtrl = 1061;
constexpr uint32_t kErrorServiceNotActive = 1062;
constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;

struct ServiceConfig {
    std::string name;
    uint32_t type = kServiceWin32OwnProcess;
    std::string imagePath;  // program, or driver module
};

class ServiceManager {
public:
    // Finds a service's configuration by name (case-insensitive), nullopt for none.
    using ConfigLookup = std::function<std::optional<ServiceConfig>(const std::string& name)>;
    // Loads a kernel driver module; returns a Win32 error or 0.
    using DriverLoader = std::function<uint32_t(const ServiceConfig& config)>;
    // Unloads a kernel driver that DriverLoader loaded; returns a Win32 error or 0.
    using DriverUnloader = std::function<uint32_t(const ServiceConfig& config)>;

    ServiceManager(std::string machineDir, ConfigLookup lookup, DriverLoader loader, DriverUnloader unloader);
    ~ServiceManager();

    uint32_t Open(const std::string& name, uint32_t& serviceType);
    uint32_t Start(const std::string& name);
    uint32_t Control(const std::string& name, uint32_t control, wire::ServiceStatus& status);
    uint32_t Query(const std::string& name, wire::ServiceStatus& status);

    // From the service process: its dispatcher connection, and status reports.
    uint32_t Attach(const std::string& name, Connection* conn);
    uint32_t SetStatus(const std::string& name, pid_t peerPid, const wire::ServiceStatus& status);
    void ControlDone(Connection* conn);
    void Disconnected(Connection* conn);

    // Stops every running service (shutdown control, then signals) and waits.
    void StopAll();

private:
    struct Service {
        ServiceConfig config;
        wire::ServiceStatus status;
        pid_t pid = 0;
        Connection* dispatcher = nullptr;
        uint64_t controlsSent = 0;
        uint64_t controlsDone = 0;
        std::thread reaper;
        bool reaped = true;  // no child, or its reaper has finished with it
    };

    Service* Find(const std::string& name);  // mutex_ held
    void Reap(std::string name, pid_t pid);
    uint32_t SpawnLocked(Service& s, std::unique_lock<std::mutex>& lock);

    std::string dir_;
    ConfigLookup lookup_;
    DriverLoader loader_;
    DriverUnloader unloader_;
    std::mutex mutex_;  // guards services_ and everything in it
    std::condition_variable changed_;
    std::map<std::string, std::unique_ptr<Service>> services_;  // key: upper-case name
};

}  // namespace tarn::host
