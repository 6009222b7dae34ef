#include "app/win32_bridge.h"

#include <windows.h>
#include <dbt.h>
#include <winreg.h>
#include <fileapi.h>

#include <atomic>

#include "platform/win32/host_drives.h"

namespace tarn::app::win32 {

unsigned GetDriveTypeA(const char* root) { return ::GetDriveTypeA(root); }

int GetVolumeInformationA(const char* root, char* label, uint32_t labelSize, uint32_t* serial, uint32_t* maxComponent,
                          uint32_t* flags, char* fileSystem, uint32_t fileSystemSize) {
  DWORD s = 0, m = 0, f = 0;
  BOOL ok = ::GetVolumeInformationA(root, label, labelSize, &s, &m, &f, fileSystem, fileSystemSize);
  if (serial) *serial = s;
  if (maxComponent) *maxComponent = m;
  if (flags) *flags = f;
  return ok;
}

int GetDiskFreeSpaceExA(const char* directory, uint64_t* available, uint64_t* total, uint64_t* totalFree) {
  ULARGE_INTEGER a{}, t{}, f{};
  BOOL ok = ::GetDiskFreeSpaceExA(directory, &a, &t, &f);
  if (!ok) return FALSE;
  if (available) *available = a.QuadPart;
  if (total) *total = t.QuadPart;
  if (totalFree) *totalFree = f.QuadPart;
  return TRUE;
}

unsigned GetSystemDirectoryA(char* buffer, unsigned size) { return ::GetSystemDirectoryA(buffer, size); }

void* CreateFileA(const char* name, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) {
  HANDLE h = ::CreateFileA(name, access, share, nullptr, disposition, flags, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

int CloseHandle(void* handle) { return ::CloseHandle(handle); }
uint32_t GetFileAttributesA(const char* path) { return ::GetFileAttributesA(path); }
uint32_t GetLastError() { return ::GetLastError(); }

namespace {
// The key of the program's values, opened (and created) for one access.
class AppKey {
 public:
  explicit AppKey(const char* subkey) { m_error = ::RegCreateKeyA(HKEY_LOCAL_MACHINE, subkey, &m_key); }
  ~AppKey() {
    if (m_error == ERROR_SUCCESS) ::RegCloseKey(m_key);
  }
  AppKey(const AppKey&) = delete;
  AppKey& operator=(const AppKey&) = delete;
  long Error() const { return m_error; }
  HKEY Key() const { return m_key; }

 private:
  HKEY m_key = nullptr;
  long m_error;
};
}  // namespace

long RegQueryValue(const char* subkey, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) {
  AppKey key(subkey);
  if (key.Error() != ERROR_SUCCESS) return key.Error();
  DWORD t = 0;
  DWORD s = size ? *size : 0;
  long error = ::RegQueryValueExA(key.Key(), name, nullptr, &t, data, size ? &s : nullptr);
  if (type) *type = t;
  if (size) *size = s;
  return error;
}

long RegSetValue(const char* subkey, const char* name, uint32_t type, const uint8_t* data, uint32_t size) {
  AppKey key(subkey);
  if (key.Error() != ERROR_SUCCESS) return key.Error();
  return ::RegSetValueExA(key.Key(), name, 0, type, data, size);
}

long RegDeleteValue(const char* subkey, const char* name) {
  AppKey key(subkey);
  if (key.Error() != ERROR_SUCCESS) return key.Error();
  return ::RegDeleteValueA(key.Key(), name);
}

uint32_t FormatDrive(char letter, const std::string& fileSystem, const std::string& label) {
  return tarn::win32::FormatDrive(letter, fileSystem, label);
}

namespace {
std::atomic<DeviceEventSink> g_sink{nullptr};

VOID WINAPI ForwardEvent(HANDLE, UINT message, ULONG_PTR wParam, LONG_PTR lParam) {
  DeviceEventSink sink = g_sink.load();
  if (sink && message == WM_DEVICECHANGE) sink(static_cast<unsigned>(wParam), reinterpret_cast<const void*>(lParam));
}
}  // namespace

void SetDeviceEventSink(DeviceEventSink sink) {
  g_sink.store(sink);
  ::SetDeviceNotificationSink(sink ? ForwardEvent : nullptr);
}

void* RegisterVolumeInterfaceNotification(void* recipient, const void* filter) {
  return ::RegisterDeviceNotificationA(recipient, const_cast<void*>(filter), DEVICE_NOTIFY_WINDOW_HANDLE);
}

int UnregisterDeviceNotification(void* handle) { return ::UnregisterDeviceNotification(handle); }

}  // namespace tarn::app::win32
