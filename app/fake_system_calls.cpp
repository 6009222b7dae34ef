#include "app/fake_system_calls.h"

#include <strings.h>

#include <cctype>
#include <algorithm>
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

std::string Text(const char* s) { return s ? s : ""; }
char Upper(int letter) { return static_cast<char>(std::toupper(letter & 0xFF)); }

}  // namespace

FakeSystemCalls FakeSystemCalls::Demo() {
  FakeSystemCalls fake;
  const uint64_t gib = 1ull << 30;
  fake.drives['c'] = Drive{DRIVE_FIXED, 0x10000, "", "System", "NTFS", 64 * gib, 21 * gib};
  fake.drives['d'] = Drive{DRIVE_CDROM, 0x00003, "", "", "", 0, 0};
  fake.drives['e'] = Drive{DRIVE_REMOVABLE, 0x20002, "secret", "", "", 8 * gib, 0};
  fake.drives['f'] = Drive{DRIVE_FIXED, 0xC0001, "secret", "Private", "FAT32", 32 * gib, 12 * gib};
  fake.drives['g'] = Drive{DRIVE_CDROM, 0x20002, "secret", "", "", 650ull << 20, 0};
  fake.drives['h'] = Drive{DRIVE_REMOVABLE, 0x10000, "", "Archive", "FAT32", 4 * gib, 1 * gib};
  fake.drives['i'] = Drive{DRIVE_CDROM, 0x00000, "", "DISC", "CDFS", 700ull << 20, 0};
  fake.drives['z'] = Drive{DRIVE_REMOTE, 0x10000, "", "share", "NTFS", 100 * gib, 50 * gib};
  fake.autoAdvance = true;
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
  calls.push_back({"unlock", Text(drive), Text(password), isFullPath, 0});
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
  return tarn::ui::RegisterWindowDeviceNotification(static_cast<HWND>(recipient), filter, flags);
}

BOOL FakeSystemCalls::UnregisterDeviceNotification(HDEVNOTIFY handle) {
  return tarn::ui::UnregisterWindowDeviceNotification(handle);
}

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


UINT FakeSystemCalls::GetSystemDirectoryA(LPSTR buffer, UINT size) {
  const std::string dir = "C:\\WINDOWS\\system32";
  CopyText(buffer, size, dir);
  return static_cast<UINT>(dir.size());
}

HANDLE FakeSystemCalls::CreateFileA(LPCSTR name, DWORD, DWORD, DWORD, DWORD) {
  std::string path = Text(name);
  bool exists = false;
  if (path.rfind("\\\\.\\", 0) == 0) {
    char letter = LetterOf(name);
    exists = letter && drives.count(letter);
  } else {
    exists = files.count(path) != 0;
  }
  if (!exists) {
    lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  ++openHandles;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x100 + openHandles));
}

BOOL FakeSystemCalls::CloseHandle(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE || !handle) return FALSE;
  --openHandles;
  return TRUE;
}

DWORD FakeSystemCalls::GetFileAttributesA(LPCSTR path) {
  return files.count(Text(path)) ? 0x80 /* FILE_ATTRIBUTE_NORMAL */ : INVALID_FILE_ATTRIBUTES;
}

DWORD FakeSystemCalls::GetModuleFileNameA(LPSTR buffer, DWORD size) {
  CopyText(buffer, size, modulePath);
  return static_cast<DWORD>(std::min<size_t>(modulePath.size(), size ? size - 1 : 0));
}

LONG FakeSystemCalls::RegQueryValue(LPCSTR subkey, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (registryBroken) return 5;  // ERROR_ACCESS_DENIED
  auto it = registry.find(Text(subkey) + "\\" + Text(name));
  if (it == registry.end()) return ERROR_FILE_NOT_FOUND;
  if (type) *type = it->second.first;
  if (!size) return ERROR_SUCCESS;
  const auto& bytes = it->second.second;
  if (*size < bytes.size()) {
    *size = static_cast<DWORD>(bytes.size());
    return ERROR_MORE_DATA;
  }
  if (data) std::memcpy(data, bytes.data(), bytes.size());
  *size = static_cast<DWORD>(bytes.size());
  return ERROR_SUCCESS;
}

LONG FakeSystemCalls::RegSetValue(LPCSTR subkey, LPCSTR name, DWORD type, const BYTE* data, DWORD size) {
  if (registryBroken) return 5;
  registry[Text(subkey) + "\\" + Text(name)] = {type, std::vector<BYTE>(data, data + size)};
  return ERROR_SUCCESS;
}

LONG FakeSystemCalls::RegDeleteValue(LPCSTR subkey, LPCSTR name) {
  if (registryBroken) return 5;
  return registry.erase(Text(subkey) + "\\" + Text(name)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG FakeSystemCalls::ReadAutostart(LPCSTR name, std::string* command) {
  auto it = autostart.find(Text(name));
  if (it == autostart.end()) return ERROR_FILE_NOT_FOUND;
  *command = it->second;
  return ERROR_SUCCESS;
}

LONG FakeSystemCalls::WriteAutostart(LPCSTR name, const std::string& command) {
  autostart[Text(name)] = command;
  return ERROR_SUCCESS;
}

LONG FakeSystemCalls::DeleteAutostart(LPCSTR name) {
  return autostart.erase(Text(name)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

DWORD FakeSystemCalls::FormatDrive(char letter, const char* fileSystem, const char* label) {
  formats.emplace_back(Upper(letter), Text(fileSystem));
  auto it = drives.find(static_cast<char>(std::tolower(static_cast<unsigned char>(letter))));
  if (it == drives.end()) return ERROR_FILE_NOT_FOUND;
  it->second.fileSystem = Text(fileSystem);
  it->second.label = Text(label);
  it->second.free = it->second.total;
  return ERROR_SUCCESS;
}

long FakeSystemCalls::SvcStartImageConversion(const char* source, const char* target, long encrypt,
                                              const char* password) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  calls.push_back({"image", Text(source), Text(target), encrypt, 0});
  if (startResult) return startResult;
  conversion = Conversion{true, 0, 0, 0, "", false, Text(target), encrypt};
  conversion.message = Text(password);  // kept until the end, for the target's key
  return 0;
}

long FakeSystemCalls::SvcLockDrive(const char* driveName) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  calls.push_back({"lock", Text(driveName), "", 0, 0});
  if (lockResult) return lockResult;
  auto it = drives.find(LetterOf(driveName));
  if (it == drives.end()) return ERROR_FILE_NOT_FOUND;
  if ((it->second.status & 0xF) == 1) it->second.status = 0x20002;
  return 0;
}

long FakeSystemCalls::SvcQueryConversion(const char* target, CONVERSION_STATE* state) {
  // Names compare as the service compares them: case aside.
  for (const auto& [name, cut] : interrupted) {
    if (!target || strcasecmp(name.c_str(), target) != 0) continue;
    if (state) *state = cut;
    return 0;
  }
  return 1168;  // ERROR_NOT_FOUND
}

long FakeSystemCalls::SvcStartDriveConversion(const char* devicePath, long encrypt, const char* password) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  calls.push_back({"drive", Text(devicePath), Text(password), encrypt, 0});
  if (startResult) return startResult;
  conversion = Conversion{true, 0, 0, 0, "", true, Text(devicePath), encrypt};
  conversion.message = Text(password);
  return 0;
}

long FakeSystemCalls::SvcQuickEncryptDrive(const char* devicePath, const char* password) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  calls.push_back({"quickencrypt", Text(devicePath), Text(password), 0, 0});
  if (quickResult) return quickResult;
  auto it = drives.find(LetterOf(devicePath));
  if (it == drives.end()) return ERROR_FILE_NOT_FOUND;
  it->second.status = 0x20002;
  it->second.password = Text(password);
  it->second.fileSystem.clear();
  return 0;
}

long FakeSystemCalls::SvcQuickDecryptDrive(const char* devicePath) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  calls.push_back({"quickdecrypt", Text(devicePath), "", 0, 0});
  if (quickResult) return quickResult;
  auto it = drives.find(LetterOf(devicePath));
  if (it == drives.end()) return ERROR_FILE_NOT_FOUND;
  it->second.status = 0x00003;
  it->second.password.clear();
  it->second.fileSystem.clear();
  return 0;
}

long FakeSystemCalls::SvcGetLastMessage(long bufSize, uint8_t* buf) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  if (!buf || bufSize <= 0 || conversion.message.size() >= static_cast<size_t>(bufSize)) return 0;
  std::memcpy(buf, conversion.message.c_str(), conversion.message.size() + 1);
  return 0;
}

long FakeSystemCalls::SvcGetProgress() {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  if (autoAdvance && conversion.running) {
    conversion.progress = std::min(100L, conversion.progress + 25);
    if (conversion.progress == 100) FinishConversion(0);
  }
  return conversion.progress;
}

long FakeSystemCalls::SvcGetFinished() { return serviceRunning ? conversion.finished : 0; }

long FakeSystemCalls::SvcGetResult() { return serviceRunning ? conversion.result : RPC_S_SERVER_UNAVAILABLE; }

void FakeSystemCalls::FinishConversion(long result, const std::string& message) {
  std::string password = conversion.message;
  conversion.running = false;
  conversion.finished = 1;
  conversion.result = result;
  conversion.message = message;
  if (result != 0) return;
  conversion.progress = 100;
  if (conversion.drive) {
    auto it = drives.find(LetterOf(conversion.target.c_str()));
    if (it == drives.end()) return;
    it->second.status = conversion.encrypt ? 0xC0001 : 0x10000;
    it->second.password = conversion.encrypt ? password : "";
  } else {
    files.insert(conversion.target);
    if (conversion.encrypt)
      encryptedImages[conversion.target] = password;
    else
      encryptedImages.erase(conversion.target);
  }
}

long FakeSystemCalls::SvcCreateImage(const char* imageFile, int64_t sizeBytes, long fsType, long withPartitionTable,
                                     const char* volumeLabel) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  calls.push_back({"create", Text(imageFile), Text(volumeLabel), fsType * 10 + withPartitionTable, sizeBytes});
  if (createResult) return createResult;
  files.insert(Text(imageFile));
  encryptedImages.erase(Text(imageFile));
  return 0;
}

long FakeSystemCalls::SvcQueryMount(int driveLetter, VDISK_MOUNT_RECORD* record) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  auto it = mounts.find(Upper(driveLetter));
  if (it == mounts.end()) return 1;  // ERROR_INVALID_FUNCTION: no virtual disk there
  if (record) *record = it->second;
  return 0;
}

long FakeSystemCalls::SvcMountImage(long deviceNumber, const VDISK_MOUNT_RECORD* record, int driveLetter) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  char letter = Upper(driveLetter);
  calls.push_back({"mount", std::string(1, letter), "", deviceNumber, 0});
  if (deviceNumber < mountFailuresBefore) return 0xAA;  // ERROR_BUSY of that device
  if (!record || mounts.count(letter) || drives.count(static_cast<char>(std::tolower(letter)))) return 0x55;
  VDISK_MOUNT_RECORD copy = *record;
  copy.DeviceNumber = static_cast<int32_t>(deviceNumber);
  mounts[letter] = copy;
  // The image's name after "\??\", as 8-bit text.
  std::string path;
  for (int i = 4; i < 300 && copy.FileName[i]; ++i) path += static_cast<char>(copy.FileName[i]);
  Drive drive;
  drive.type = copy.DiskKind == 2 ? DRIVE_CDROM : DRIVE_FIXED;
  drive.total = 200ull << 20;
  drive.free = 190ull << 20;
  auto enc = encryptedImages.find(path);
  if (enc != encryptedImages.end()) {
    drive.status = 0x20002;
    drive.password = enc->second;
    drive.fileSystem.clear();
  } else {
    drive.status = 0x10000;
    drive.fileSystem = "FAT";
  }
  drives[static_cast<char>(std::tolower(letter))] = drive;
  return 0;
}

long FakeSystemCalls::SvcUnmountImage(int driveLetter) {
  if (!serviceRunning) return RPC_S_SERVER_UNAVAILABLE;
  char letter = Upper(driveLetter);
  calls.push_back({"unmount", std::string(1, letter), "", driveLetter, 0});
  if (unmountResult) return unmountResult;
  if (!mounts.erase(letter)) return 1;
  drives.erase(static_cast<char>(std::tolower(letter)));
  return 0;
}
