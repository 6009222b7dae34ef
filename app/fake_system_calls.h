// A machine and a service in memory: drives with their type, status code and
// password, a service that can be stopped, media that can be inserted. Used
// by the tests and by the program's --demo run.
#pragma once

#include <map>
#include <set>
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
  UINT GetSystemDirectoryA(LPSTR buffer, UINT size) override;
  HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags) override;
  BOOL CloseHandle(HANDLE handle) override;
  DWORD GetFileAttributesA(LPCSTR path) override;
  DWORD GetLastError() override { return lastError; }
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
  long SvcStartImageConversion(const char* source, const char* target, long encrypt, const char* password) override;
  long SvcLockDrive(const char* driveName) override;
  long SvcUnlockDrive(const char* drive, const char* password, long isFullPath) override;
  long SvcStartDriveConversion(const char* devicePath, long encrypt, const char* password) override;
  long SvcQueryConversion(const char* target, CONVERSION_STATE* state) override;
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

  // Ends the running conversion with this result, applying its effect on
  // success (a drive becomes encrypted and unlocked, or plain; an image
  // target is written).
  void FinishConversion(long result, const std::string& message = {});

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

  // Files that exist (GetFileAttributesA), the registry and autostart entries.
  std::set<std::string> files;
  std::map<std::string, std::pair<DWORD, std::vector<BYTE>>> registry;  // "subkey\\name"
  bool registryBroken = false;                                          // every call fails
  std::map<std::string, std::string> autostart;
  std::string modulePath = "/opt/shroudkeep/shroudkeep";
  DWORD lastError = 0;

  // The one conversion of the service. A start that fails claims nothing,
  // so Finished keeps its value, as the service does.
  struct Conversion {
    bool running = false;
    long progress = 0;
    long finished = 0;
    long result = 0;
    std::string message;
    bool drive = true;       // else an image
    std::string target;      // device path or target image
    long encrypt = 1;
  } conversion;
  long startResult = 0;        // non-zero: starts fail with it
  bool autoAdvance = false;    // each progress poll moves a running conversion on by 25
  struct Call {
    std::string op, a, b;
    long n = 0;
    int64_t size = 0;
  };
  std::vector<Call> calls;     // every operation the service was asked for, in order
  long createResult = 0;
  long lockResult = 0;
  long quickResult = 0;
  long unmountResult = 0;
  int mountFailuresBefore = 0;  // device numbers below this one fail
  std::map<char, VDISK_MOUNT_RECORD> mounts;  // upper-case letter
  std::vector<std::pair<char, std::string>> formats;
  std::map<std::string, std::string> encryptedImages;  // image path -> password
  int openHandles = 0;
  // Conversions cut short, by device path ("\\.\E:") or image path.
  std::map<std::string, CONVERSION_STATE> interrupted;

};
