// The desktop program's calls on a live machine: the Win32 layer and the
// service client library. Device events of the
// machine are delivered to the windows as WM_DEVICECHANGE.
#pragma once

#include <vector>

#include "app/system_calls.h"

class RealSystemCalls : public TarnSystemCalls {
 public:
  RealSystemCalls();
  ~RealSystemCalls() override;

  UINT GetDriveTypeA(LPCSTR rootPath) override;
#if TARN_HAVE_FS_VIEWS
  DWORD OpenDriveFiles(LPCSTR drive, std::string* message) override;  // open_drive_files.cpp
#endif
  BOOL GetVolumeInformationA(LPCSTR rootPath, LPSTR volumeName, DWORD volumeNameSize, LPDWORD serialNumber,
                             LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPSTR fileSystemName,
                             DWORD fileSystemNameSize) override;
  BOOL GetDiskFreeSpaceExA(LPCSTR directory, uint64_t* freeBytesAvailable, uint64_t* totalBytes,
                           uint64_t* totalFreeBytes) override;
  UINT GetSystemDirectoryA(LPSTR buffer, UINT size) override;
  HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags) override;
  BOOL CloseHandle(HANDLE handle) override;
  DWORD GetFileAttributesA(LPCSTR path) override;
  DWORD GetLastError() override;
  DWORD GetModuleFileNameA(LPSTR buffer, DWORD size) override;
  LONG RegQueryValue(LPCSTR subkey, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD size) override;
  LONG RegSetValue(LPCSTR subkey, LPCSTR name, DWORD type, const BYTE* data, DWORD size) override;
  LONG RegDeleteValue(LPCSTR subkey, LPCSTR name) override;
  LONG ReadAutostart(LPCSTR name, std::string* command) override;
  LONG WriteAutostart(LPCSTR name, const std::string& command) override;
  LONG DeleteAutostart(LPCSTR name) override;
  DWORD FormatDrive(char letter, const char* fileSystem, const char* label) override;

  long SvcPing() override;
  long SvcQueryDrive(const char* devicePath, const char* rootPath, int64_t* totalBytes, int64_t* freeBytes) override;
  long SvcQueryConversion(const char* target, CONVERSION_STATE* state) override;
  long SvcResumeConversion(const char* target, const char* password, long confirmed) override;
  long SvcStartImageConversion(const char* source, const char* target, long encrypt, const char* password) override;
  long SvcLockDrive(const char* driveName) override;
  long SvcUnlockDrive(const char* drive, const char* password, long isFullPath) override;
  long SvcStartDriveConversion(const char* devicePath, long encrypt, const char* password) override;
  long SvcQuickEncryptDrive(const char* devicePath, const char* password) override;
  long SvcQuickDecryptDrive(const char* devicePath) override;
  long SvcGetLastMessage(long bufSize, uint8_t* buf) override;
  long SvcGetProgress() override;
  long SvcGetFinished() override;
  long SvcGetResult() override;
  long SvcCreateImage(const char* imageFile, int64_t sizeBytes, long fsType, long withPartitionTable,
                      const char* volumeLabel) override;
  long SvcQueryMount(int driveLetter, VDISK_MOUNT_RECORD* record) override;
  long SvcMountImage(long deviceNumber, const VDISK_MOUNT_RECORD* record, int driveLetter) override;
  long SvcUnmountImage(int driveLetter) override;
  HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) override;
  BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) override;

 private:
  // A registration lives in both layers: the machine's (which starts the
  // listener) and the window layer's (which routes interface events).
  struct Registration {
    HDEVNOTIFY machine;
    HDEVNOTIFY window;
  };
  std::vector<Registration> m_registrations;
};
