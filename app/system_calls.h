// The calls the desktop program makes into the machine (drive probing,
// volumes, files, the registry, device notifications, formatting) and into
// the service, behind one interface: the desktop build plugs the Win32 layer
// and the service client in here (RealSystemCalls), tests and the
// demonstration run plug in FakeSystemCalls.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ui/dbt.h"
#include "platform/ui/winuser.h"
#include "service/conversion_state.h"
#include "service/mount_record.h"

// Drive types, access and share flags, registry value types and error codes
// are the Win32 layer's.
#include "platform/win32/include/fileapi.h"
#include "platform/win32/include/winbase.h"
#include "platform/win32/include/winerror.h"
#include "platform/win32/include/winreg.h"

class TarnSystemCalls {
 public:
  virtual ~TarnSystemCalls() = default;

  // Win32: drive type, volume information and free space of a root ("e:").
  virtual UINT GetDriveTypeA(LPCSTR rootPath) = 0;
  virtual BOOL GetVolumeInformationA(LPCSTR rootPath, LPSTR volumeName, DWORD volumeNameSize, LPDWORD serialNumber,
                                     LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPSTR fileSystemName,
                                     DWORD fileSystemNameSize) = 0;
  virtual BOOL GetDiskFreeSpaceExA(LPCSTR directory, uint64_t* freeBytesAvailable, uint64_t* totalBytes,
                                   uint64_t* totalFreeBytes) = 0;
  virtual UINT GetSystemDirectoryA(LPSTR buffer, UINT size) = 0;
  // Opens a volume ("\\.\E:") or a file; INVALID_HANDLE_VALUE on failure.
  virtual HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  virtual DWORD GetFileAttributesA(LPCSTR path) = 0;
  virtual DWORD GetLastError() = 0;
  // The program's own path, as GetModuleFileNameA gives it; the length copied.
  virtual DWORD GetModuleFileNameA(LPSTR buffer, DWORD size) = 0;

  // Registry values under HKEY_LOCAL_MACHINE\subkey; each opens the key with
  // RegCreateKeyA (creating it) and closes it again. Win32 errors.
  virtual LONG RegQueryValue(LPCSTR subkey, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD size) = 0;
  virtual LONG RegSetValue(LPCSTR subkey, LPCSTR name, DWORD type, const BYTE* data, DWORD size) = 0;
  virtual LONG RegDeleteValue(LPCSTR subkey, LPCSTR name) = 0;

  // The session's autostart entry of the given name: its command line.
  // Win32 errors (ERROR_FILE_NOT_FOUND when there is none).
  virtual LONG ReadAutostart(LPCSTR name, std::string* command) = 0;
  virtual LONG WriteAutostart(LPCSTR name, const std::string& command) = 0;
  virtual LONG DeleteAutostart(LPCSTR name) = 0;

  // The format dialog's work: an empty FAT file system on the drive.
  virtual DWORD FormatDrive(char letter, const char* fileSystem, const char* label) = 0;

  // Service wrappers: the procedure's result, or the RPC exception code
  // (SvcGetFinished: 0 when the call fails).
  virtual long SvcPing() = 0;
  virtual long SvcQueryDrive(const char* devicePath, const char* rootPath, int64_t* totalBytes, int64_t* freeBytes) = 0;
  virtual long SvcStartImageConversion(const char* source, const char* target, long encrypt, const char* password) = 0;
  virtual long SvcLockDrive(const char* driveName) = 0;
  virtual long SvcUnlockDrive(const char* drive, const char* password, long isFullPath) = 0;
  virtual long SvcStartDriveConversion(const char* devicePath, long encrypt, const char* password) = 0;
  virtual long SvcQuickEncryptDrive(const char* devicePath, const char* password) = 0;
  virtual long SvcQuickDecryptDrive(const char* devicePath) = 0;
  virtual long SvcGetLastMessage(long bufSize, uint8_t* buf) = 0;
  virtual long SvcGetProgress() = 0;
  virtual long SvcGetFinished() = 0;
  virtual long SvcGetResult() = 0;
  virtual long SvcCreateImage(const char* imageFile, int64_t sizeBytes, long fsType, long withPartitionTable,
                              const char* volumeLabel) = 0;
  virtual long SvcQueryMount(int driveLetter, VDISK_MOUNT_RECORD* record) = 0;
  virtual long SvcMountImage(long deviceNumber, const VDISK_MOUNT_RECORD* record, int driveLetter) = 0;
  virtual long SvcUnmountImage(int driveLetter) = 0;
  // Interrupted conversions (a crash, a power cut, a pause): the state when
  // the target has one (0), else ERROR_NOT_FOUND; finishing it. The
  // defaults answer "none" for callers that never resume.
  virtual long SvcQueryConversion(const char* target, CONVERSION_STATE* state) {
    (void)target;
    (void)state;
    return 1168;  // ERROR_NOT_FOUND
  }
  virtual long SvcResumeConversion(const char* target, const char* password, long confirmed) {
    (void)target;
    (void)password;
    (void)confirmed;
    return 1168;
  }

  // Linux: mounts the drive's files ("E:") in a directory for ordinary
  // programs (or finds where they already are) and shows that directory.
  // ERROR_SUCCESS, or an error with *message saying why, for the user.
  virtual DWORD OpenDriveFiles(LPCSTR drive, std::string* message) {
    (void)drive;
    *message = "Opening a drive's files is not available here.";
    return 50;  // ERROR_NOT_SUPPORTED
  }

  // Device notifications for a window; the events arrive as WM_DEVICECHANGE.
  virtual HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) = 0;
  virtual BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) = 0;
};
