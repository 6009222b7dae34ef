// The bytes of a freshly created disk image: master boot record, boot sector,
// FSInfo, the start of each FAT and the root directory with the label entry.
// Pure arithmetic on the requested size, so it can be checked without files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kImageSectorSize = 512;
constexpr uint64_t kImageTailBytes = 32768;      // never part of the volume
constexpr uint64_t kPartitionStartSector = 63;   // volume start behind an MBR
constexpr uint32_t kMbrDiskSignature = 0x7ABE03FE;

enum class ImageFs : int32_t { Fat16 = 0, Fat32 = 1 };

struct ImageSector {
    uint64_t Offset;                           // byte offset in the image file
    std::array<uint8_t, kImageSectorSize> Data;
};

struct ImagePlan {
    uint64_t ImageBytes = 0;        // S
    uint32_t VolumeSectors = 0;     // V
    uint64_t VolumeOffset = 0;      // 0, or 63 sectors behind the MBR
    uint8_t SectorsPerCluster = 0;
    uint16_t ReservedSectors = 0;
    uint32_t SectorsPerFat = 0;
    uint32_t Clusters = 0;
    std::vector<ImageSector> Sectors;  // ascending offsets
};

// FAT16 cluster limits: fewer than 4085 clusters is read as FAT12, more than
// 65524 cannot be addressed.
constexpr uint32_t kFat16MinClusters = 4085;
constexpr uint32_t kFat16MaxClusters = 65524;
// FAT32 needs at least this many, or readers take it for FAT16.
constexpr uint32_t kFat32MinClusters = 65525;

// Plans a FAT16 (fsType 0) or FAT32 (fsType 1) image of sizeBytes bytes.
// Returns 0, or ERROR_INVALID_PARAMETER (87) when that file system cannot be
// built at this size; nothing is planned then. serial is the FAT16 volume
// serial (the FAT32 one is fixed).
uint32_t PlanFatImage(int64_t sizeBytes, ImageFs fs, bool withPartitionTable,
                      const char* volumeLabel, uint32_t serial, ImagePlan* plan);

// The next value of the service's volume-serial generator: 15 bits, never
// seeded, so the sequence is the same after every start of the process.
uint32_t NextVolumeSerial();
// Tests only: restart the sequence as a fresh process would.
void ResetVolumeSerialForTest();
