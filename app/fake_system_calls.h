// A machine and a service in memory: drives with their type, status code and
// password, a service that can be stopped, media that can be inserted. Used
// by the tests and by the program's --demo run.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/system_calls.h"

class FakeSystemCalls : public TarnSystemCalls {
 public:
  struct Drive {
    UINT type = DRIVE_FIXED;
    long status = 0x10000;  // SvcQueryDrive's answer
    std::string password;   // unlocks a locked drive
    std::string label;
    std::string fileSystem = "FAT32";
    uint64_t total = 0;
    uint64_t free = 0;
  };
  struct UnlockCall {
    std::string drive;
    std::string password;
    long isFullPath;
  };

  static Drive MakeDrive(UINT type, long status, const std::string& password = {}) {
    Drive drive;
    drive.type = type;
    drive.status = status;
    drive.password = password;
    return drive;
  }
  // A machine with one drive of every kind the drive list tells apart.
  static FakeSystemCalls Demo();

  UINT GetDriveTypeA(LPCSTR rootPath) override;
  BOOL GetVolumeInformationA(LPCSTR rootPath, LPSTR volumeName, DWORD volumeNameSize, LPDWORD serialNumber,
                             LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPSTR fileSystemName,
                             DWORD fileSystemNameSize) override;
  BOOL GetDiskFreeSpaceExA(LPCSTR directory, uint64_t* freeBytesAvailable, uint64_t* totalBytes,
                           uint64_t* totalFreeBytes) override;
  long SvcPing() override;
  long SvcQueryDrive(const char* devicePath, const char* rootPath, int64_t* totalBytes, int64_t* freeBytes) override;
  long SvcUnlockDrive(const char* drive, const char* password, long isFullPath) override;
  HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) override;
  BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) override;

  // Puts a medium into drive letter (the drive's entry is replaced) and
  // announces it as a volume arrival with DBTF_MEDIA.
  void InsertMedium(char letter, const Drive& medium);
  // Announces a volume interface arrival with this device path.
  void ArriveInterface(const std::string& devicePath);
  // Removes the drive and announces the removal.
  void RemoveVolume(char letter);

  std::map<char, Drive> drives;  // lower-case letter
  // Device paths of volume interfaces ("\\?\Volume{...}") and their letter.
  std::map<std::string, char> interfaces;
  bool serviceRunning = true;
  int pings = 0;
  std::vector<std::string> queries;  // device paths asked for
  std::vector<UnlockCall> unlocks;
  int registrations = 0;
};
