#include "platform/host/service_config.h"

#include <windows.h>
#include <winreg.h>
#include <winternl.h>

namespace tarn::host {

std::optional<ServiceConfig> ServiceFromRegistry(const std::string& name) {
    if (name.empty() || name.find('\\') != std::string::npos) return std::nullopt;
    HKEY key = nullptr;
    const std::string path = "SYSTEM\\CurrentControlSet\\Services\\" + name;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    char image[4096] = {};
    DWORD size = sizeof(image) - 1, type = 0;
    DWORD serviceType = kServiceWin32OwnProcess, typeSize = sizeof(serviceType), valueType = 0;
    const bool hasImage = RegQueryValueExA(key, "ImagePath", nullptr, &type, reinterpret_cast<LPBYTE>(image), &size) ==
                              ERROR_SUCCESS &&
                          (type == REG_SZ || type == REG_EXPAND_SZ);
    if (RegQueryValueExA(key, "Type", nullptr, &valueType, reinterpret_cast<LPBYTE>(&serviceType), &typeSize) !=
            ERROR_SUCCESS ||
        valueType != REG_DWORD) {
        serviceType = kServiceWin32OwnProcess;
    }
    RegCloseKey(key);
    // A key without a program is the configuration of something else (the
    // mount records of VTarn live under its key, for one).
    if (!hasImage || !image[0]) return std::nullopt;
    return ServiceConfig{name, serviceType == kServiceKernelDriver ? kServiceKernelDriver : kServiceWin32OwnProcess,
                         image};
}

uint32_t Win32ErrorOfStatus(uint32_t status) { return RtlNtStatusToDosError(static_cast<NTSTATUS>(status)); }

}  // namespace tarn::host
