// The FAT boot sector: its geometry, how a FAT driver validates it, and how
// the formatter writes it. Both directions share one structure so what we
// write is exactly what we accept.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace tarn::hostfs {

enum class FatType { Fat12, Fat16, Fat32 };

// The cluster count alone decides the FAT type (never the label in the boot
// sector): below 4085 clusters FAT12, below 65525 FAT16, else FAT32.
constexpr std::uint32_t kMaxFat12Clusters = 4084;
constexpr std::uint32_t kMaxFat16Clusters = 65524;
// Cluster numbers run from 2; 0x0FFFFFF7 marks a bad cluster on FAT32.
constexpr std::uint32_t kMaxFat32Clusters = 0x0FFFFFF5;

FatType fatTypeForClusters(std::uint32_t clusters);

struct FatGeometry {
    FatType type = FatType::Fat16;
    std::uint32_t bytesPerSector = 512;
    std::uint32_t sectorsPerCluster = 1;
    std::uint32_t reservedSectors = 1;
    std::uint32_t fatCount = 2;
    std::uint32_t rootEntries = 0;      // fixed root directory; 0 on FAT32
    std::uint32_t totalSectors = 0;
    std::uint32_t sectorsPerFat = 0;
    std::uint32_t rootCluster = 0;      // FAT32 only
    std::uint32_t activeFat = 0;        // FAT32 may turn mirroring off and use one FAT
    std::uint8_t media = 0xF8;
    std::uint32_t hiddenSectors = 0;
    std::uint16_t sectorsPerTrack = 63;
    std::uint16_t heads = 255;
    std::uint16_t fsInfoSector = 0;     // FAT32 only
    std::uint16_t backupBootSector = 0; // FAT32 only

    std::uint32_t rootDirSectors() const;
    std::uint64_t rootDirFirstSector() const { return reservedSectors + std::uint64_t(fatCount) * sectorsPerFat; }
    std::uint64_t firstDataSector() const { return rootDirFirstSector() + rootDirSectors(); }
    std::uint32_t clusterCount() const;
    std::uint32_t clusterBytes() const { return sectorsPerCluster * bytesPerSector; }
    std::uint64_t sectorOffset(std::uint64_t sector) const { return sector * bytesPerSector; }
    std::uint64_t activeFatOffset() const {
        return sectorOffset(reservedSectors + std::uint64_t(activeFat) * sectorsPerFat);
    }
    std::uint64_t clusterOffset(std::uint32_t cluster) const;
    // Bytes of one FAT that hold entries 0 .. clusterCount()+1.
    std::uint64_t fatBytesUsed() const;
};

struct FatBootSector {
    FatGeometry geometry;
    bool extendedSignature = false;     // 0x29: serial and label are present
    std::uint32_t serial = 0;
    std::array<char, 11> label{};       // raw, blank-padded
};

// Validates the first 512 bytes of a volume as a FAT driver does before it
// mounts: jump instruction, sector size 512..4096 and a power of two,
// power-of-two cluster, reserved sectors, FAT count, media byte, 0x55 0xAA,
// a FAT large enough for the cluster count, and a layout that matches the
// type the cluster count gives. why names the first failed rule.
std::optional<FatBootSector> parseFatBootSector(std::span<const std::uint8_t> sector,
                                                const char** why = nullptr);

// Writes a complete boot sector (BPB, extended BPB, a halt loop as boot code,
// 0x55 0xAA) into the first 512 bytes of out; the rest of out is untouched.
void encodeFatBootSector(const FatBootSector& boot, std::span<std::uint8_t> out);

}  // namespace tarn::hostfs
