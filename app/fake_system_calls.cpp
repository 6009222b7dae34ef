#include "app/fake_system_calls.h"

#include <cctype>
#include <cstring>

namespace {

// "e:", "E:", "e:\", "\\.\E:" -> 'e'; 0 when it names no drive letter.
char LetterOf(const char* path) {
  if (!path) return 0;
  std::string p(path);
  if (p.rfind("\\\\.\\", 0) == 0) p = p.substr(4);
  if (p.size() < 2 || p[1] != ':' || !std::isalpha(static_cast<unsigned char>(p[0]))) return 0;
  return static_cast<char>(std::tolower(static_cast<unsigned char>(p[0])));
}

void CopyText(LPSTR target, DWORD size, const std::string& text) {
  if (!target || size == 0) return;
  std::strncpy(target, text.c_str(), size - 1);
  target[size - 1] = '\0';
}

}  // namespace

FakeSystemCalls FakeSystemCalls::Demo() {
  FakeSystemCalls fake;
  const uint64_t gib = 1ull << 30;
  fake.drives['c'] = Drive{DRIVE_FIXED, 0x10000, "", "System", "NTFS", 64 * gib, 21 * gib};
  fake.drives['d'] = Drive{DRIVE_CDROM, 0x00003, "", "", "", 0, 0};
  fake.drives['e'] = Drive{DRIVE_REMOVABLE, 0x20002, "secret", "", "", 8 * gib, 0};
  fake.drives['f'] = Drive{DRIVE_FIXED, 0xC0001, "secret", "Private", "FAT32", 32 * gib, 12 * gib};
  fake.drives['g'] = Drive{DRIVE_CDROM, 0x20002, "secret", "", "", 650ull << 20, 0};
  fake.drives['h'] = Drive{DRIVE_REMOVABLE, 0x00000, "", "Archive", "FAT32", 4 * gib, 1 * gib};
  fake.drives['i'] = Drive{DRIVE_CDROM, 0x00000, "", "DISC", "CDFS", 700ull << 20, 0};
  fake.drives['z'] = Drive{DRIVE_REMOTE, 0x10000, "", "share", "NTFS", 100 * gib, 50 * gib};
  return fake;
}

UINT FakeSystemCalls::GetDriveTypeA(LPCSTR rootPath) {
  auto it = drives.find(LetterOf(rootPath));
  return it == drives.end() ? DRIVE_NO_ROOT_DIR : it->second.type;
}

BOOL FakeSystemCalls::GetVolumeInformationA(LPCSTR rootPath, LPSTR volumeName, DWORD volumeNameSize,
                                            LPDWORD serialNumber, LPDWORD maxComponentLength,
                                            LPDWORD fileSystemFlags, LPSTR fileSystemName, DWORD fileSystemNameSize) {
  auto it = drives.find(LetterOf(rootPath));
  if (it == drives.end() || it->second.fileSystem.empty() || (it->second.status & 0xF) >= 2) return FALSE;
  CopyText(volumeName, volumeNameSize, it->second.label);
  CopyText(fileSystemName, fileSystemNameSize, it->second.fileSystem);
  if (serialNumber) *serialNumber = 0x1234ABCD;
  if (maxComponentLength) *maxComponentLength = 255;
  if (fileSystemFlags) *fileSystemFlags = 0;
  return TRUE;
}

BOOL FakeSystemCalls::GetDiskFreeSpaceExA(LPCSTR directory, uint64_t* freeBytesAvailable, uint64_t* totalBytes,
                                          uint64_t* totalFreeBytes) {
  auto it = drives.find(LetterOf(directory));
  if (it == drives.end() || (it->second.status & 0xF) >= 2) return FALSE;
  if (freeBytesAvailable) *freeBytesAvailable = it->second.free;
  if (totalBytes) *totalBytes = it->second.total;
  if (totalFreeBytes) *totalFreeBytes = it->second.free;
  return TRUE;
}

long FakeSystemCalls::SvcPing() {
  ++pings;
  return serviceRunning ? 0 : RPC_S_SERVER_UNAVAILABLE;
}

long FakeSystemCalls::SvcQueryDrive(const char* devicePath, const char* rootPath, int64_t* totalBytes,
                                    int64_t* freeBytes) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  queries.push_back(devicePath ? devicePath : "");
  char letter = LetterOf(devicePath);
  if (!letter && devicePath) {
    auto iface = interfaces.find(devicePath);
    if (iface != interfaces.end()) letter = iface->second;
  }
  auto it = drives.find(letter);
  if (it == drives.end()) return 0x00003;
  long status = it->second.status;
  // Without a root the file system counts as not readable.
  if ((!rootPath || !*rootPath) && (status & 0xF) != 2) status = (status & 0xF) == 0 ? 0x00003 : 0x20002;
  if (totalBytes) *totalBytes = static_cast<int64_t>(it->second.total);
  if (freeBytes) *freeBytes = static_cast<int64_t>(it->second.free);
  return status;
}

long FakeSystemCalls::SvcUnlockDrive(const char* drive, const char* password, long isFullPath) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  unlocks.push_back({drive ? drive : "", password ? password : "", isFullPath});
  char letter = 0;
  if (isFullPath) {
    auto iface = interfaces.find(drive ? drive : "");
    if (iface != interfaces.end()) letter = iface->second;
    if (!letter) letter = LetterOf(drive);
  } else {
    letter = LetterOf(drive);
  }
  auto it = drives.find(letter);
  if (it == drives.end()) return 2;  // ERROR_FILE_NOT_FOUND
  // Any key is accepted; only the right one makes the file system readable.
  if ((it->second.status & 0xF) == 2 && password && it->second.password == password) it->second.status = 0xC0001;
  return 0;
}

HDEVNOTIFY FakeSystemCalls::RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
  ++registrations;
  return ::RegisterDeviceNotificationA(recipient, filter, flags);
}

BOOL FakeSystemCalls::UnregisterDeviceNotification(HDEVNOTIFY handle) { return ::UnregisterDeviceNotification(handle); }

void FakeSystemCalls::InsertMedium(char letter, const Drive& medium) {
  letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
  drives[letter] = medium;
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof(volume);
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1u << (letter - 'a');
  volume.dbcv_flags = DBTF_MEDIA;
  tarn::ui::DeliverDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<DEV_BROADCAST_HDR*>(&volume));
}

void FakeSystemCalls::ArriveInterface(const std::string& devicePath) {
  std::vector<char> record(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + devicePath.size() + 1, '\0');
  auto* iface = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(record.data());
  iface->dbcc_size = static_cast<DWORD>(record.size());
  iface->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  iface->dbcc_classguid = GUID_DEVINTERFACE_VOLUME;
  std::memcpy(record.data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name), devicePath.c_str(),
              devicePath.size() + 1);
  tarn::ui::DeliverDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<DEV_BROADCAST_HDR*>(record.data()));
}

void FakeSystemCalls::RemoveVolume(char letter) {
  letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
  drives.erase(letter);
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof(volume);
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1u << (letter - 'a');
  tarn::ui::DeliverDeviceChange(DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<DEV_BROADCAST_HDR*>(&volume));
}
