// Building a mount: the VDISK_MOUNT_RECORD as the Mount page fills it, the
// free drive letter and the device number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/mount_record.h"
#include "tools/tarnctl/backend.h"

namespace tarnctl {

// Virtual drives take the letters D: to Z:, as the desktop program offers them.
constexpr char kFirstMountLetter = 'D';
constexpr long kDeviceCount = 8;

// A disk image (DiskKind 0) or CD/DVD image (2): "\??\" and the absolute
// path in UTF-16 in FileName. False with a reason when the path is not UTF-8
// or does not fit the record with its terminator.
bool BuildImageRecord(const std::string& absolutePath, bool cd, bool readOnly, char letter,
                      VDISK_MOUNT_RECORD* record, std::string* why);
// A network disk (DiskKind 1); address and port in network byte order; an
// absolute cache path turns the local cache on.
bool BuildNetRecord(uint32_t address, uint16_t port, const std::string& cachePath, bool readOnly, char letter,
                    VDISK_MOUNT_RECORD* record, std::string* why);

// A letter is free when no drive has it and "\\.\X:" does not open: a drive
// whose open fails (a CD/DVD drive without a medium) still owns its letter.
bool LetterFree(Backend& backend, char letter);
// The first free letter from D: on; 0 when there is none.
char FindFreeLetter(Backend& backend);

// Device numbers no mounted virtual drive uses, ascending.
std::vector<long> FreeDeviceNumbers(Backend& backend);

struct MountOutcome {
    long result = 0;         // 0, or the last attempt's result
    long deviceNumber = -1;  // the number that took the mount
    int attempts = 0;
};
// Tries the free device numbers in ascending order until one mounts.
MountOutcome MountOnFreeDevice(Backend& backend, const VDISK_MOUNT_RECORD& record, char letter);

// The image path of a record (FileName without "\??\"), as UTF-8.
std::string RecordFileName(const VDISK_MOUNT_RECORD& record);
// "HOST:PORT" of a network disk record.
std::string RecordServer(const VDISK_MOUNT_RECORD& record);
// "disk", "cd" or "net".
std::string DescribeDiskKind(uint32_t kind);

}  // namespace tarnctl
