// The backend of the real program: the service's client wrappers and the
// Win32 layer's drive functions.
#pragma once

#include "tools/tarnctl/backend.h"

namespace tarnctl {

class LiveBackend final : public Backend {
public:
    long Ping() override;
    long QueryDrive(const std::string& devicePath, const std::string& rootPath, int64_t* totalBytes,
                    int64_t* freeBytes) override;
    long StartImageConversion(const std::string& source, const std::string& target, long encrypt,
                              const char* password) override;
    long LockDrive(const std::string& driveName) override;
    long UnlockDrive(const std::string& drive, const char* password, long isFullPath) override;
    long StartDriveConversion(const std::string& devicePath, long encrypt, const char* password) override;
    long QuickEncryptDrive(const std::string& devicePath, const char* password) override;
    long QuickDecryptDrive(const std::string& devicePath) override;
    std::string LastMessage() override;
    long GetProgress() override;
    long GetFinished() override;
    long GetResult() override;
    long CreateImage(const std::string& imageFile, int64_t sizeBytes, long fsType, long withPartitionTable,
                     const std::string& volumeLabel) override;
    long QueryMount(char letter, VDISK_MOUNT_RECORD* record) override;
    long MountImage(long deviceNumber, const VDISK_MOUNT_RECORD& record, char letter) override;
    long UnmountImage(char letter) override;
    long ResumeConversion(const std::string& target, const char* password, long confirmed) override;
    long QueryConversion(const std::string& target, CONVERSION_STATE* state) override;
    long PauseConversion() override;

    uint32_t MachineReachable() override;
    unsigned GetDriveType(char letter) override;
    bool GetVolumeInformation(char letter, VolumeInfo* info) override;
    bool LetterOpens(char letter) override;
    uint32_t FormatDrive(char letter, const std::string& fileSystem, const std::string& label) override;
    char SystemDrive() override;
    std::string ErrorText(uint32_t error) override;
    std::string OpenFileSystemView(char letter, const std::string& directory) override;
    std::string CloseFileSystemViews(char letter) override;
    std::vector<std::string> FileSystemViews(char letter) override;
    std::string DefaultViewDirectory(char letter) override;
    void Sleep(unsigned milliseconds) override;
};

}  // namespace tarnctl
