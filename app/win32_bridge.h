// The Win32 layer's calls for the desktop program, behind plain C++ types:
// the Win32 declarations and the dialog framework's (both Windows-shaped)
// cannot meet in one translation unit, so only win32_bridge.cpp sees the
// former. Each function is the Win32 call of the same name.
#pragma once

#include <cstdint>
#include <string>

namespace tarn::app::win32 {

unsigned GetDriveTypeA(const char* root);
int GetVolumeInformationA(const char* root, char* label, uint32_t labelSize, uint32_t* serial, uint32_t* maxComponent,
                          uint32_t* flags, char* fileSystem, uint32_t fileSystemSize);
int GetDiskFreeSpaceExA(const char* directory, uint64_t* available, uint64_t* total, uint64_t* totalFree);
unsigned GetSystemDirectoryA(char* buffer, unsigned size);
// nullptr for INVALID_HANDLE_VALUE.
void* CreateFileA(const char* name, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags);
int CloseHandle(void* handle);
uint32_t GetFileAttributesA(const char* path);
uint32_t GetLastError();

// HKEY_LOCAL_MACHINE\subkey opened with RegCreateKeyA, one value read,
// written or deleted, the key closed. Win32 errors.
long RegQueryValue(const char* subkey, const char* name, uint32_t* type, uint8_t* data, uint32_t* size);
long RegSetValue(const char* subkey, const char* name, uint32_t type, const uint8_t* data, uint32_t size);
long RegDeleteValue(const char* subkey, const char* name);

uint32_t FormatDrive(char letter, const std::string& fileSystem, const std::string& label);

// Device notifications of the machine. The sink is called on the layer's
// listener thread with the event and its broadcast record.
using DeviceEventSink = void (*)(unsigned event, const void* record);
void SetDeviceEventSink(DeviceEventSink sink);
void* RegisterVolumeInterfaceNotification(void* recipient, const void* filter);
int UnregisterDeviceNotification(void* handle);

}  // namespace tarn::app::win32
