// The live backend: the service through the client wrappers, the machine
// through the Win32 layer.
#include "tools/tarnctl/backend_live.h"

#include <windows.h>

#include <fileapi.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/win32/host_drives.h"
#include "service/client/svcclient.h"

namespace tarnctl {

long LiveBackend::Ping() { return SvcPing(); }

long LiveBackend::QueryDrive(const std::string& devicePath, const std::string& rootPath, int64_t* totalBytes,
                             int64_t* freeBytes) {
    return SvcQueryDrive(devicePath.c_str(), rootPath.c_str(), totalBytes, freeBytes);
}

long LiveBackend::StartImageConversion(const std::string& source, const std::string& target, long encrypt,
                                       const char* password) {
    return SvcStartImageConversion(source.c_str(), target.c_str(), encrypt, password);
}

long LiveBackend::LockDrive(const std::string& driveName) { return SvcLockDrive(driveName.c_str()); }

long LiveBackend::UnlockDrive(const std::string& drive, const char* password, long isFullPath) {
    return SvcUnlockDrive(drive.c_str(), password, isFullPath);
}

long LiveBackend::StartDriveConversion(const std::string& devicePath, long encrypt, const char* password) {
    return SvcStartDriveConversion(devicePath.c_str(), encrypt, password);
}

long LiveBackend::QuickEncryptDrive(const std::string& devicePath, const char* password) {
    return SvcQuickEncryptDrive(devicePath.c_str(), password);
}

long LiveBackend::QuickDecryptDrive(const std::string& devicePath) { return SvcQuickDecryptDrive(devicePath.c_str()); }

std::string LiveBackend::LastMessage() {
    // One byte more than the desktop program's 128, kept zero, so the text
    // ends inside the buffer whatever the service wrote.
    uint8_t buffer[129] = {};
    if (SvcGetLastMessage(128, buffer) != 0) return "";
    return std::string(reinterpret_cast<const char*>(buffer), strnlen(reinterpret_cast<const char*>(buffer), 128));
}

long LiveBackend::GetProgress() { return SvcGetProgress(); }
long LiveBackend::GetFinished() { return SvcGetFinished(); }
long LiveBackend::GetResult() { return SvcGetResult(); }

long LiveBackend::CreateImage(const std::string& imageFile, int64_t sizeBytes, long fsType, long withPartitionTable,
                              const std::string& volumeLabel) {
    return SvcCreateImage(imageFile.c_str(), sizeBytes, fsType, withPartitionTable, volumeLabel.c_str());
}

long LiveBackend::QueryMount(char letter, VDISK_MOUNT_RECORD* record) { return SvcQueryMount(letter, record); }

long LiveBackend::MountImage(long deviceNumber, const VDISK_MOUNT_RECORD& record, char letter) {
    return SvcMountImage(deviceNumber, &record, letter);
}

long LiveBackend::UnmountImage(char letter) { return SvcUnmountImage(letter); }

long LiveBackend::ResumeConversion(const std::string& target, const char* password, long confirmed) {
    return SvcResumeConversion(target.c_str(), password, confirmed);
}

long LiveBackend::QueryConversion(const std::string& target, CONVERSION_STATE* state) {
    return SvcQueryConversion(target.c_str(), state);
}

long LiveBackend::PauseConversion() { return SvcPauseConversion(); }

uint32_t LiveBackend::MachineReachable() {
    SetLastError(ERROR_SUCCESS);
    if (GetLogicalDrives() != 0) return 0;
    const DWORD error = GetLastError();
    return error;  // 0 too for a machine without any drive: still reachable
}

unsigned LiveBackend::GetDriveType(char letter) {
    const char root[] = {letter, ':', '\\', '\0'};
    return GetDriveTypeA(root);
}

bool LiveBackend::GetVolumeInformation(char letter, VolumeInfo* info) {
    const char root[] = {letter, ':', '\\', '\0'};
    char label[128] = {}, fileSystem[128] = {};
    if (!GetVolumeInformationA(root, label, sizeof label, nullptr, nullptr, nullptr, fileSystem, sizeof fileSystem)) {
        return false;
    }
    info->label = label;
    info->fileSystem = fileSystem;
    return true;
}

bool LiveBackend::LetterOpens(char letter) {
    const char path[] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_NO_BUFFERING, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

uint32_t LiveBackend::FormatDrive(char letter, const std::string& fileSystem, const std::string& label) {
    return tarn::win32::FormatDrive(letter, fileSystem, label);
}

char LiveBackend::SystemDrive() {
    char directory[260] = {};
    if (GetSystemDirectoryA(directory, sizeof directory) == 0) return 'C';
    return directory[0];
}

std::string LiveBackend::ErrorText(uint32_t error) {
    char text[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                   sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    return s;
}

void LiveBackend::Sleep(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace tarnctl
