#include "service/store.h"

#include <cstdio>

#include "service/win32.h"

namespace {

void ValueName(int32_t deviceNumber, char (&name)[32]) {
    std::snprintf(name, sizeof name, "UserConfig%d", int(deviceNumber));
}

}  // namespace

void SaveMountRecord(int32_t deviceNumber, const VDISK_MOUNT_RECORD& record) {
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, TARNSVC_STORE_KEY, &key) != ERROR_SUCCESS) return;
    char name[32];
    ValueName(deviceNumber, name);
    RegSetValueExA(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&record), DWORD(sizeof record));
    RegCloseKey(key);
}

void DeleteMountRecord(int32_t deviceNumber) {
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, TARNSVC_STORE_KEY, &key) != ERROR_SUCCESS) return;
    char name[32];
    ValueName(deviceNumber, name);
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

void ForEachMountRecord(const std::function<void(int32_t, const VDISK_MOUNT_RECORD&)>& visit) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, TARNSVC_STORE_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    for (int32_t device = 0; device < kStoreDeviceCount; ++device) {
        char name[32];
        ValueName(device, name);
        VDISK_MOUNT_RECORD record{};
        DWORD type = REG_NONE;
        DWORD size = sizeof record;
        LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&record), &size);
        if (status == ERROR_SUCCESS && type == REG_BINARY && size == sizeof record) visit(device, record);
    }
    RegCloseKey(key);
}
