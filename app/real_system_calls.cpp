#include "app/real_system_calls.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstring>

#include "app/win32_bridge.h"
#include "platform/ui/session.h"
#include "service/client/svcclient.h"

namespace bridge = tarn::app::win32;

namespace {
// Called on the Win32 layer's listener thread; the window layer copies the
// record and delivers it on the GUI thread.
void OnDeviceEvent(unsigned event, const void* record) {
  tarn::ui::DeliverDeviceChange(event, static_cast<const DEV_BROADCAST_HDR*>(record));
}
constexpr const char* kProgramTitle = "Orvantis Shroudkeep";
}  // namespace

RealSystemCalls::RealSystemCalls() { bridge::SetDeviceEventSink(OnDeviceEvent); }

RealSystemCalls::~RealSystemCalls() {
  for (const Registration& r : m_registrations) {
    bridge::UnregisterDeviceNotification(r.machine);
    ::UnregisterDeviceNotification(r.window);
  }
  bridge::SetDeviceEventSink(nullptr);
}

UINT RealSystemCalls::GetDriveTypeA(LPCSTR rootPath) { return bridge::GetDriveTypeA(rootPath); }

BOOL RealSystemCalls::GetVolumeInformationA(LPCSTR rootPath, LPSTR volumeName, DWORD volumeNameSize,
                                            LPDWORD serialNumber, LPDWORD maxComponentLength,
                                            LPDWORD fileSystemFlags, LPSTR fileSystemName, DWORD fileSystemNameSize) {
  return bridge::GetVolumeInformationA(rootPath, volumeName, volumeNameSize, serialNumber, maxComponentLength,
                                       fileSystemFlags, fileSystemName, fileSystemNameSize);
}

BOOL RealSystemCalls::GetDiskFreeSpaceExA(LPCSTR directory, uint64_t* freeBytesAvailable, uint64_t* totalBytes,
                                          uint64_t* totalFreeBytes) {
  return bridge::GetDiskFreeSpaceExA(directory, freeBytesAvailable, totalBytes, totalFreeBytes);
}

UINT RealSystemCalls::GetSystemDirectoryA(LPSTR buffer, UINT size) { return bridge::GetSystemDirectoryA(buffer, size); }

HANDLE RealSystemCalls::CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags) {
  void* h = bridge::CreateFileA(name, access, shareMode, disposition, flags);
  return h ? h : INVALID_HANDLE_VALUE;
}

BOOL RealSystemCalls::CloseHandle(HANDLE handle) { return bridge::CloseHandle(handle); }
DWORD RealSystemCalls::GetFileAttributesA(LPCSTR path) { return bridge::GetFileAttributesA(path); }
DWORD RealSystemCalls::GetLastError() { return bridge::GetLastError(); }

DWORD RealSystemCalls::GetModuleFileNameA(LPSTR buffer, DWORD size) {
  if (!buffer || size == 0) return 0;
  std::string path = QCoreApplication::applicationFilePath().toStdString();
  size_t n = std::min<size_t>(path.size(), size - 1);
  std::memcpy(buffer, path.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

LONG RealSystemCalls::RegQueryValue(LPCSTR subkey, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD size) {
  return bridge::RegQueryValue(subkey, name, type, data, size);
}
LONG RealSystemCalls::RegSetValue(LPCSTR subkey, LPCSTR name, DWORD type, const BYTE* data, DWORD size) {
  return bridge::RegSetValue(subkey, name, type, data, size);
}
LONG RealSystemCalls::RegDeleteValue(LPCSTR subkey, LPCSTR name) { return bridge::RegDeleteValue(subkey, name); }

LONG RealSystemCalls::ReadAutostart(LPCSTR name, std::string* command) {
  return tarn::ui::ReadAutostartEntry(name, command);
}
LONG RealSystemCalls::WriteAutostart(LPCSTR name, const std::string& command) {
  return tarn::ui::WriteAutostartEntry(name, kProgramTitle, command);
}
LONG RealSystemCalls::DeleteAutostart(LPCSTR name) { return tarn::ui::DeleteAutostartEntry(name); }

DWORD RealSystemCalls::FormatDrive(char letter, const char* fileSystem, const char* label) {
  return bridge::FormatDrive(letter, fileSystem ? fileSystem : "FAT", label ? label : "");
}

long RealSystemCalls::SvcPing() { return ::SvcPing(); }
long RealSystemCalls::SvcQueryDrive(const char* devicePath, const char* rootPath, int64_t* totalBytes,
                                    int64_t* freeBytes) {
  return ::SvcQueryDrive(devicePath, rootPath, totalBytes, freeBytes);
}
long RealSystemCalls::SvcStartImageConversion(const char* source, const char* target, long encrypt,
                                              const char* password) {
  return ::SvcStartImageConversion(source, target, encrypt, password);
}
long RealSystemCalls::SvcLockDrive(const char* driveName) { return ::SvcLockDrive(driveName); }
long RealSystemCalls::SvcUnlockDrive(const char* drive, const char* password, long isFullPath) {
  return ::SvcUnlockDrive(drive, password, isFullPath);
}
long RealSystemCalls::SvcQueryConversion(const char* target, CONVERSION_STATE* state) {
  return ::SvcQueryConversion(target, state);
}

long RealSystemCalls::SvcResumeConversion(const char* target, const char* password, long confirmed) {
  return ::SvcResumeConversion(target, password, confirmed);
}

long RealSystemCalls::SvcStartDriveConversion(const char* devicePath, long encrypt, const char* password) {
  return ::SvcStartDriveConversion(devicePath, encrypt, password);
}
long RealSystemCalls::SvcQuickEncryptDrive(const char* devicePath, const char* password) {
  return ::SvcQuickEncryptDrive(devicePath, password);
}
long RealSystemCalls::SvcQuickDecryptDrive(const char* devicePath) { return ::SvcQuickDecryptDrive(devicePath); }
long RealSystemCalls::SvcGetLastMessage(long bufSize, uint8_t* buf) { return ::SvcGetLastMessage(bufSize, buf); }
long RealSystemCalls::SvcGetProgress() { return ::SvcGetProgress(); }
long RealSystemCalls::SvcGetFinished() { return ::SvcGetFinished(); }
long RealSystemCalls::SvcGetResult() { return ::SvcGetResult(); }
long RealSystemCalls::SvcCreateImage(const char* imageFile, int64_t sizeBytes, long fsType, long withPartitionTable,
                                     const char* volumeLabel) {
  return ::SvcCreateImage(imageFile, sizeBytes, fsType, withPartitionTable, volumeLabel);
}
long RealSystemCalls::SvcQueryMount(int driveLetter, VDISK_MOUNT_RECORD* record) {
  return ::SvcQueryMount(driveLetter, record);
}
long RealSystemCalls::SvcMountImage(long deviceNumber, const VDISK_MOUNT_RECORD* record, int driveLetter) {
  return ::SvcMountImage(deviceNumber, record, driveLetter);
}
long RealSystemCalls::SvcUnmountImage(int driveLetter) { return ::SvcUnmountImage(driveLetter); }

HDEVNOTIFY RealSystemCalls::RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
  HDEVNOTIFY window = ::RegisterDeviceNotificationA(recipient, filter, flags);
  if (!window) return nullptr;
  void* machine = bridge::RegisterVolumeInterfaceNotification(recipient, filter);
  if (!machine) {
    ::UnregisterDeviceNotification(window);
    return nullptr;
  }
  m_registrations.push_back({machine, window});
  return window;
}

BOOL RealSystemCalls::UnregisterDeviceNotification(HDEVNOTIFY handle) {
  auto it = std::find_if(m_registrations.begin(), m_registrations.end(),
                         [handle](const Registration& r) { return r.window == handle; });
  if (it == m_registrations.end()) return FALSE;
  bridge::UnregisterDeviceNotification(it->machine);
  ::UnregisterDeviceNotification(it->window);
  m_registrations.erase(it);
  return TRUE;
}
