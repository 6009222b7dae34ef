#include "platform/host/machine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/service_config.h"
#include "platform/nt/host.h"
#include "platform/nt/tdi.h"

namespace tarn::host {

namespace {

constexpr const char16_t* kDiskDriverName = u"\\Driver\\TarnDisk";
constexpr const char16_t* kFilterDriverName = u"\\Driver\\tarn";
constexpr const char16_t* kTcpDriverName = u"\\Driver\\Tcp";
constexpr const char16_t* kFilterRegistryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarn";

std::string SelfDirectory() {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

// The first existing file among the candidates; empty when none exists.
std::string FirstExisting(std::initializer_list<std::string> candidates) {
    for (const auto& c : candidates) {
        if (!c.empty() && ::access(c.c_str(), F_OK) == 0) return c;
    }
    return "";
}

std::string UpperCase(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

#ifndef TARN_FILTER_MODULE
#define TARN_FILTER_MODULE ""
#endif
#ifndef TARN_VDISK_MODULE
#define TARN_VDISK_MODULE ""
#endif
#ifndef TARN_SERVICE_PROGRAM
#define TARN_SERVICE_PROGRAM ""
#endif

}  // namespace

Machine::Machine(MachineOptions options) : options_(std::move(options)) {}

Machine::~Machine() { Shutdown(); }

Expected<std::unique_ptr<Machine>> Machine::Start(const MachineOptions& options) {
    std::unique_ptr<Machine> m(new Machine(options));
    if (auto s = m->generations_.Create(); !s) return Error{s.error()};
    if (auto s = m->LoadDrivers(); !s) return Error{s.error()};
    if (auto s = m->LoadDriveTable(); !s) return Error{s.error()};
    m->scm_ = std::make_unique<ServiceManager>(
        options.dir, [raw = m.get()](const std::string& name) { return raw->LookupService(name); },
        [raw = m.get()](const ServiceConfig& config) { return raw->LoadDriverService(config); },
        [raw = m.get()](const ServiceConfig& config) { return raw->UnloadDriverService(config); });

    // The machine's group is the directory's group when the directory is shared with it.
    struct stat st {};
    gid_t group = static_cast<gid_t>(-1);
    if (::stat(options.dir.c_str(), &st) == 0 && (st.st_mode & S_IXGRP)) group = st.st_gid;
    m->server_ = std::make_unique<SyscallServer>(options.dir + "/" + wire::kSocketName, group, *m);
    if (auto s = m->server_->Start(); !s) return Error{s.error()};
    return m;
}

Status Machine::LoadDrivers() {
    NTSTATUS status = NtHostLoadDriver(kDiskDriverName, VolumeDriverEntry, nullptr, &diskDriver_);
    if (!NT_SUCCESS(status)) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(status));
        return Error{std::string("cannot load the disk driver: status ") + hex};
    }
    // Network disks reach their servers through "\Device\Tcp".
    if (!NT_SUCCESS(status = NtHostLoadDriver(kTcpDriverName, TcpDriverEntry, nullptr, &tcpDriver_))) {
        std::fprintf(stderr, "tarnhost: the TCP transport did not load (status %08X); network disks cannot connect\n",
                     static_cast<unsigned>(status));
        tcpDriver_ = nullptr;
    }
    const std::string path =
        FirstExisting({options_.filterModule, Env("TARNVAULT_FILTER_MODULE"), SelfDirectory() + "/tarn.so",
                       SelfDirectory() + "/../lib/tarnvault/tarn.so", TARN_FILTER_MODULE});
    std::string why;
    if (path.empty()) {
        why = "no filter module (tarn.so) found";
    } else if (void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); !module) {
        why = std::string("cannot load ") + path + ": " + ::dlerror();
    } else if (auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(::dlsym(module, "DriverEntry")); !entry) {
        why = path + " has no DriverEntry";
        ::dlclose(module);
    } else {
        UNICODE_STRING registry;
        RtlInitUnicodeString(&registry, kFilterRegistryPath);
        status = NtHostLoadDriver(kFilterDriverName, entry, &registry, &filterDriver_);
        if (!NT_SUCCESS(status)) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(status));
            why = std::string("the filter's DriverEntry failed with status ") + hex;
            filterDriver_ = nullptr;
            ::dlclose(module);
        } else {
            filterModule_ = module;
        }
    }
    if (!filterDriver_) {
        if (options_.requireFilter) return Error{why};
        std::fprintf(stderr, "tarnhost: %s; drives run without the encryption filter\n", why.c_str());
    }
    return Ok();
}

Status Machine::LoadDriveTable() {
    auto table = DriveTable::Load(options_.dir + "/" + DriveTable::kFileName);
    if (!table) return Error{table.error() + " (run \"tarnhost init\" first)"};
    std::lock_guard<std::mutex> guard(drivesMutex_);
    for (const auto& e : table->Entries()) {
        const NTSTATUS status = AddDrive(e, false);
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "tarnhost: drive %c: not available (status %08X)\n", e.letter,
                         static_cast<unsigned>(status));
        }
    }
    return Ok();
}

void Machine::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    // Services first: they still talk to the machine while they stop.
    if (scm_) scm_->StopAll();
    if (server_) server_->Stop();
    // A client still holding read-ahead must come back and find the machine gone.
    generations_.BumpAll();
    {
        std::lock_guard<std::mutex> guard(drivesMutex_);
        std::vector<char> letters;
        for (auto& [letter, d] : drives_) letters.push_back(letter);
        for (char l : letters) RemoveDrive(l, false);
    }
    std::map<std::string, LoadedDriver> services;
    {
        std::lock_guard<std::mutex> guard(drivesMutex_);
        services.swap(driverServices_);
    }
    for (auto& [name, loaded] : services) {
        ForgetDriverMedia(loaded.driver);
        NtHostUnloadDriver(loaded.driver);
    }
    if (tcpDriver_) NtHostUnloadDriver(tcpDriver_);
    tcpDriver_ = nullptr;
    if (filterDriver_) NtHostUnloadDriver(filterDriver_);
    filterDriver_ = nullptr;
    if (diskDriver_) NtHostUnloadDriver(diskDriver_);
    diskDriver_ = nullptr;
    // The modules stay mapped: a driver's code may still be referenced by
    // objects that die with their last reference; the process ends soon.
}

std::optional<ServiceConfig> Machine::LookupService(const std::string& name) {
    if (auto fromRegistry = ServiceFromRegistry(name)) return fromRegistry;
    std::string upper = name;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "TARNSVC") {
        const std::string path = FirstExisting({Env("TARNVAULT_SERVICE_PROGRAM"), SelfDirectory() + "/tarnsvc",
                                                TARN_SERVICE_PROGRAM});
        if (path.empty()) return std::nullopt;
        return ServiceConfig{"tarnsvc", kServiceWin32OwnProcess, path};
    }
    if (upper == "VTARN") {
        const std::string path = FirstExisting({Env("TARNVAULT_VDISK_MODULE"), SelfDirectory() + "/vtarn.so",
                                                SelfDirectory() + "/../lib/tarnvault/vtarn.so", TARN_VDISK_MODULE});
        if (path.empty()) return std::nullopt;
        return ServiceConfig{"VTarn", kServiceKernelDriver, path};
    }
    return std::nullopt;
}

uint32_t Machine::LoadDriverService(const ServiceConfig& config) {
    constexpr uint32_t kErrorFileNotFound = 2;
    constexpr uint32_t kErrorBadExeFormat = 193;
    void* module = ::dlopen(config.imagePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "tarnhost: cannot load %s: %s\n", config.imagePath.c_str(), ::dlerror());
        return kErrorFileNotFound;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(::dlsym(module, "DriverEntry"));
    if (!entry) {
        ::dlclose(module);
        return kErrorBadExeFormat;
    }
    const std::u16string driverName = u"\\Driver\\" + std::u16string(config.name.begin(), config.name.end());
    const std::u16string registryName =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(config.name.begin(), config.name.end());
    UNICODE_STRING registry;
    RtlInitUnicodeString(&registry, registryName.c_str());
    PDRIVER_OBJECT driver = nullptr;
    const NTSTATUS status = NtHostLoadDriver(driverName.c_str(), entry, &registry, &driver);
    if (!NT_SUCCESS(status)) {
        ::dlclose(module);
        // A driver whose entry fails gives its status, as a Win32 error, to StartService.
        return Win32ErrorOfStatus(static_cast<uint32_t>(status));
    }
    std::lock_guard<std::mutex> guard(drivesMutex_);
    driverServices_[UpperCase(config.name)] = LoadedDriver{driver, module};
    return 0;
}

uint32_t Machine::UnloadDriverService(const ServiceConfig& config) {
    constexpr uint32_t kErrorInvalidServiceControl = 1052;
    LoadedDriver loaded;
    {
        std::lock_guard<std::mutex> guard(drivesMutex_);
        auto it = driverServices_.find(UpperCase(config.name));
        if (it == driverServices_.end()) return kErrorServiceNotActive;
        // A driver without an unload routine cannot be stopped, as on Windows.
        if (!it->second.driver->DriverUnload) return kErrorInvalidServiceControl;
        loaded = it->second;
        // Handles on its devices would reach a driver that is gone. Windows
        // postpones such an unload; here the stop is refused until they close.
        std::lock_guard<std::mutex> fsGuard(fsMutex_);
        for (const auto& [device, open] : shares_) {
            if (device->DriverObject == loaded.driver && !open.empty()) return kErrorServiceCannotAcceptCtrl;
        }
        unloading_.push_back(loaded.driver);
        driverServices_.erase(it);
    }
    ForgetDriverMedia(loaded.driver);
    // The driver's unload unmounts what is still mounted and deletes its devices.
    NtHostUnloadDriver(loaded.driver);
    {
        std::lock_guard<std::mutex> guard(fsMutex_);
        unloading_.erase(std::remove(unloading_.begin(), unloading_.end(), loaded.driver), unloading_.end());
    }
    return 0;
}

}  // namespace tarn::host
