// What tarnctl asks of the world: the service's procedures (through the
// client wrappers) and the few questions it puts to the machine itself
// (drive types, volume information, whether a letter opens, formatting).
// The commands see only this interface, so they can be tested against a fake.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/conversion_state.h"
#include "service/mount_record.h"

namespace tarnctl {

// Drive types as GetDriveTypeA answers them.
enum DriveType : unsigned {
    kDriveUnknown = 0,
    kDriveNoRootDir = 1,
    kDriveRemovable = 2,
    kDriveFixed = 3,
    kDriveRemote = 4,
    kDriveCdrom = 5,
    kDriveRamdisk = 6,
};

struct VolumeInfo {
    std::string label;
    std::string fileSystem;
};

class Backend {
public:
    virtual ~Backend() = default;

    // The service; results as the wrappers return them (the RPC exception
    // code when a call raises, SvcGetFinished 0 then).
    virtual long Ping() = 0;
    virtual long QueryDrive(const std::string& devicePath, const std::string& rootPath, int64_t* totalBytes,
                            int64_t* freeBytes) = 0;
    virtual long StartImageConversion(const std::string& source, const std::string& target, long encrypt,
                                      const char* password) = 0;
    virtual long LockDrive(const std::string& driveName) = 0;
    virtual long UnlockDrive(const std::string& drive, const char* password, long isFullPath) = 0;
    virtual long StartDriveConversion(const std::string& devicePath, long encrypt, const char* password) = 0;
    virtual long QuickEncryptDrive(const std::string& devicePath, const char* password) = 0;
    virtual long QuickDecryptDrive(const std::string& devicePath) = 0;
    // The service's LastMessage, fetched with a 128-byte buffer as the
    // desktop program does; empty when the call fails.
    virtual std::string LastMessage() = 0;
    virtual long GetProgress() = 0;
    virtual long GetFinished() = 0;
    virtual long GetResult() = 0;
    virtual long CreateImage(const std::string& imageFile, int64_t sizeBytes, long fsType, long withPartitionTable,
                             const std::string& volumeLabel) = 0;
    virtual long QueryMount(char letter, VDISK_MOUNT_RECORD* record) = 0;
    virtual long MountImage(long deviceNumber, const VDISK_MOUNT_RECORD& record, char letter) = 0;
    virtual long UnmountImage(char letter) = 0;
    // Interrupted conversions: target is "\\.\X:" or an image file's path.
    virtual long ResumeConversion(const std::string& target, const char* password, long confirmed) = 0;
    // 0 with the state when target has a journal, else ERROR_NOT_FOUND (or
    // the call's failure code).
    virtual long QueryConversion(const std::string& target, CONVERSION_STATE* state) = 0;
    virtual long PauseConversion() = 0;

    // The machine. letter is an upper-case A..Z.
    // 0 when the machine answers, else the Win32 error of reaching it.
    virtual uint32_t MachineReachable() = 0;
    virtual unsigned GetDriveType(char letter) = 0;
    virtual bool GetVolumeInformation(char letter, VolumeInfo* info) = 0;
    // Whether "\\.\X:" opens, as the Mount page probes a letter.
    virtual bool LetterOpens(char letter) = 0;
    // Writes an empty FAT file system ("FAT" or "FAT32"); a Win32 error.
    virtual uint32_t FormatDrive(char letter, const std::string& fileSystem, const std::string& label) = 0;
    // The system drive's letter (the first character of the system directory).
    virtual char SystemDrive() = 0;
    // The system's text for a Win32 error, without a trailing line break.
    virtual std::string ErrorText(uint32_t error) = 0;

    // The drive's file-system views on Linux (its files mounted for the
    // user from the drive's block file). Open and close give an empty text
    // when done, else the reason, for the user.
    virtual std::string OpenFileSystemView(char letter, const std::string& directory) = 0;
    virtual std::string CloseFileSystemViews(char letter) = 0;
    // The directories where the drive's views are mounted now.
    virtual std::vector<std::string> FileSystemViews(char letter) = 0;
    // Where a view goes when the user names no directory.
    virtual std::string DefaultViewDirectory(char letter) = 0;

    // Waits between two polls of a running conversion.
    virtual void Sleep(unsigned milliseconds) = 0;
};

}  // namespace tarnctl
