// The host's file-system recognizer: mounts a volume by reading its first
// sectors and answers what GetDiskFreeSpaceEx and GetVolumeInformation ask.
#pragma once

#include <cstdint>
#include <string>

#include "platform/host/fs/volume_io.h"

namespace tarn::hostfs {

enum class FileSystemKind { Fat12, Fat16, Fat32, Ext2, Ext3, Ext4, Cdfs };

struct VolumeInfo {
    FileSystemKind kind = FileSystemKind::Fat16;
    std::string fileSystemName;         // "FAT", "FAT32", "ext2", "ext3", "ext4", "CDFS"
    std::string label;                  // empty when the volume has none
    std::uint32_t serial = 0;
    std::uint32_t maxComponentLength = 255;
    std::uint32_t fileSystemFlags = 0;  // FILE_CASE_* / FILE_UNICODE_ON_DISK bits
    std::uint32_t bytesPerSector = 512;
    std::uint32_t bytesPerCluster = 0;  // allocation unit (ext: the block)
    std::uint64_t totalClusters = 0;
    std::uint64_t freeClusters = 0;
    std::uint64_t totalBytes = 0;       // clusters usable for data x cluster size
    std::uint64_t freeBytes = 0;
    std::uint64_t availableBytes = 0;   // free bytes an ordinary caller may use
};

enum class MountOutcome {
    Mounted,
    NoFileSystem,   // readable, but not a file system we know (or garbage)
    ReadFailed,     // the volume could not be read; ioStatus says why
};

struct MountResult {
    MountOutcome outcome = MountOutcome::NoFileSystem;
    IoStatus ioStatus = kIoSuccess;
    const char* reason = "";            // why nothing was mounted, for logs
    VolumeInfo volume;                  // valid when mounted() only

    bool mounted() const { return outcome == MountOutcome::Mounted; }
};

// Tries FAT, then ext, then ISO 9660. Reads are whole 512-byte sectors at
// sector-aligned offsets (whole FAT sectors on volumes with larger sectors,
// whole 2048-byte sectors for ISO 9660). Free space is
// counted from the FAT or the superblock on every call, so calling it again
// after writes gives the current numbers. Any volume that is not one of the
// known file systems, including an encrypted volume read without its key,
// gives NoFileSystem; the host then answers as for a RAW volume. Keeps no
// state between calls, so several volumes may be recognised at once.
MountResult recognizeVolume(const ReadFn& read);

// Bytes recognizeVolume reads first; a volume shorter than this has no file
// system.
constexpr std::size_t kProbeBytes = 4096;

}  // namespace tarn::hostfs
