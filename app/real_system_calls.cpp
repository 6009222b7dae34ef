#include "app/real_system_calls.h"

#include <windows.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstring>

#include "platform/ui/session.h"
#include "platform/win32/host_drives.h"
#include "service/client/svcclient.h"

namespace {
// Called on the Win32 layer's listener thread; the window layer copies the
// record and delivers it on the GUI thread.
VOID WINAPI OnDeviceEvent(HANDLE, UINT message, ULONG_PTR wParam, LONG_PTR lParam) {
  if (message == WM_DEVICECHANGE)
    tarn::ui::DeliverDeviceChange(static_cast<UINT>(wParam), reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam));
}
constexpr const char* kProgramTitle = "Orvantis Shroudkeep";

// The key of the program's values, opened (and created) for one access.
class AppKey {
 public:
  explicit AppKey(LPCSTR subkey) { m_error = ::RegCreateKeyA(HKEY_LOCAL_MACHINE, subkey, &m_key); }
  ~AppKey() {
    if (m_error == ERROR_SUCCESS) ::RegCloseKey(m_key);
  }
  AppKey(const AppKey&) = delete;
  AppKey& operator=(const AppKey&) = delete;
  LONG Error() const { return m_error; }
  HKEY Key() const { return m_key; }

 private:
  HKEY m_key = nullptr;
  LONG m_error;
};
}  // namespace

RealSystemCalls::RealSystemCalls() { ::SetDeviceNotificationSink(OnDeviceEvent); }

RealSystemCalls::~RealSystemCalls() {
  for (const Registration& r : m_registrations) {
    ::UnregisterDeviceNotification(r.machine);
    tarn::ui::UnregisterWindowDeviceNotification(r.window);
  }
  ::SetDeviceNotificationSink(nullptr);
}

UINT RealSystemCalls::GetDriveTypeA(LPCSTR rootPath) { return ::GetDriveTypeA(rootPath); }

BOOL RealSystemCalls::GetVolumeInformationA(LPCSTR rootPath, LPSTR volumeName, DWORD volumeNameSize,
                                            LPDWORD serialNumber, LPDWORD maxComponentLength,
                                            LPDWORD fileSystemFlags, LPSTR fileSystemName, DWORD fileSystemNameSize) {
  return ::GetVolumeInformationA(rootPath, volumeName, volumeNameSize, serialNumber, maxComponentLength,
                                 fileSystemFlags, fileSystemName, fileSystemNameSize);
}

BOOL RealSystemCalls::GetDiskFreeSpaceExA(LPCSTR directory, uint64_t* freeBytesAvailable, uint64_t* totalBytes,
                                          uint64_t* totalFreeBytes) {
  ULARGE_INTEGER available{}, total{}, totalFree{};
  if (!::GetDiskFreeSpaceExA(directory, &available, &total, &totalFree)) return FALSE;
  if (freeBytesAvailable) *freeBytesAvailable = available.QuadPart;
  if (totalBytes) *totalBytes = total.QuadPart;
  if (totalFreeBytes) *totalFreeBytes = totalFree.QuadPart;
  return TRUE;
}

UINT RealSystemCalls::GetSystemDirectoryA(LPSTR buffer, UINT size) { return ::GetSystemDirectoryA(buffer, size); }

HANDLE RealSystemCalls::CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags) {
  return ::CreateFileA(name, access, shareMode, nullptr, disposition, flags, nullptr);
}

BOOL RealSystemCalls::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }
DWORD RealSystemCalls::GetFileAttributesA(LPCSTR path) { return ::GetFileAttributesA(path); }
DWORD RealSystemCalls::GetLastError() { return ::GetLastError(); }

DWORD RealSystemCalls::GetModuleFileNameA(LPSTR buffer, DWORD size) {
  if (!buffer || size == 0) return 0;
  std::string path = QCoreApplication::applicationFilePath().toStdString();
  size_t n = std::min<size_t>(path.size(), size - 1);
  std::memcpy(buffer, path.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

LONG RealSystemCalls::RegQueryValue(LPCSTR subkey, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD size) {
  AppKey key(subkey);
  if (key.Error() != ERROR_SUCCESS) return key.Error();
  return ::RegQueryValueExA(key.Key(), name, nullptr, type, data, size);
}
LONG RealSystemCalls::RegSetValue(LPCSTR subkey, LPCSTR name, DWORD type, const BYTE* data, DWORD size) {
  AppKey key(subkey);
  if (key.Error() != ERROR_SUCCESS) return key.Error();
  return ::RegSetValueExA(key.Key(), name, 0, type, data, size);
}
LONG RealSystemCalls::RegDeleteValue(LPCSTR subkey, LPCSTR name) {
  AppKey key(subkey);
  if (key.Error() != ERROR_SUCCESS) return key.Error();
  return ::RegDeleteValueA(key.Key(), name);
}

LONG RealSystemCalls::ReadAutostart(LPCSTR name, std::string* command) {
  return tarn::ui::ReadAutostartEntry(name, command);
}
LONG RealSystemCalls::WriteAutostart(LPCSTR name, const std::string& command) {
  return tarn::ui::WriteAutostartEntry(name, kProgramTitle, command);
}
LONG RealSystemCalls::DeleteAutostart(LPCSTR name) { return tarn::ui::DeleteAutostartEntry(name); }

DWORD RealSystemCalls::FormatDrive(char letter, const char* fileSystem, const char* label) {
  return tarn::win32::FormatDrive(letter, fileSystem ? fileSystem : "FAT", label ? label : "");
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
  HDEVNOTIFY window = tarn::ui::RegisterWindowDeviceNotification(static_cast<HWND>(recipient), filter, flags);
  if (!window) return nullptr;
  HDEVNOTIFY machine = ::RegisterDeviceNotificationA(recipient, filter, flags);
  if (!machine) {
    tarn::ui::UnregisterWindowDeviceNotification(window);
    return nullptr;
  }
  m_registrations.push_back({machine, window});
  return window;
}

BOOL RealSystemCalls::UnregisterDeviceNotification(HDEVNOTIFY handle) {
  auto it = std::find_if(m_registrations.begin(), m_registrations.end(),
                         [handle](const Registration& r) { return r.window == handle; });
  if (it == m_registrations.end()) return FALSE;
  ::UnregisterDeviceNotification(it->machine);
  tarn::ui::UnregisterWindowDeviceNotification(it->window);
  m_registrations.erase(it);
  return TRUE;
}
