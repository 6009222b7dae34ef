// The calls the main window makes into the machine (drive probing, device
// notifications) and into the service, behind one interface: the desktop
// build plugs the Win32 layer and the service client in here, tests and the
// demonstration run plug in FakeSystemCalls.
#pragma once

#include <cstdint>

#include "platform/ui/dbt.h"
#include "platform/ui/winuser.h"

#ifndef DRIVE_UNKNOWN
#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6
#endif

#ifndef RPC_S_SERVER_UNAVAILABLE
#define RPC_S_SERVER_UNAVAILABLE 1722
#endif

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

  // Service wrappers: the procedure's result, or the RPC exception code.
  virtual long SvcPing() = 0;
  virtual long SvcQueryDrive(const char* devicePath, const char* rootPath, int64_t* totalBytes, int64_t* freeBytes) = 0;
  virtual long SvcUnlockDrive(const char* drive, const char* password, long isFullPath) = 0;

  // Device notifications for a window; the events arrive as WM_DEVICECHANGE.
  virtual HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) = 0;
  virtual BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) = 0;
};

// FIXME: the real implementation (GetDriveTypeA, GetVolumeInformationA and
// GetDiskFreeSpaceExA of platform/win32; SvcPing, SvcQueryDrive and
// SvcUnlockDrive of tarn_svcclient; tarnhost's device events fed to
// tarn::ui::DeliverDeviceChange) is not here yet: until those branches land,
// the program runs only with --demo.
