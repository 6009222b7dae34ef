// Creating a machine directory with its default drives, and the sparse backing
// files of drives.
#pragma once

#include <cstdint>
#include <string>

#include "platform/host/drive_table.h"
#include "platform/host/expected.h"
#include "platform/host/fs/fat_formatter.h"

namespace tarn::host {

struct DefaultDrive {
    char letter;
    DriveKind kind;
    const char* file;        // nullptr: no medium
    uint64_t size;
    const char* fileSystem;  // "FAT32", "FAT" or nullptr for none
    const char* label;
};

// C: the system drive, D: an empty CD/DVD drive, E: a fixed disk, F: a removable disk.
extern const DefaultDrive kDefaultDrives[4];

// Creates dir (and its parents) if needed and fills it with the default drive
// table and sparse, formatted backing files. Refuses a directory that already
// holds a drive table. group, when not empty, becomes the directory's group
// (mode 0770) so its members reach the machine; otherwise the mode is 0700.
Status InitMachine(const std::string& dir, const std::string& group);

// A sparse file of exactly size bytes; an existing file is refused.
Status CreateSparseFile(const std::string& path, uint64_t size);

// Format options for "FAT" or "FAT32" with a label and a serial from the clock.
Expected<hostfs::FormatOptions> FormatOptionsFor(const std::string& fileSystem, const std::string& label);

// Writes an empty FAT file system ("FAT" or "FAT32") onto a file.
Status FormatBackingFile(const std::string& path, const std::string& fileSystem, const std::string& label);

// Size of a regular file or block device.
Expected<uint64_t> BackingSize(const std::string& path);

}  // namespace tarn::host
