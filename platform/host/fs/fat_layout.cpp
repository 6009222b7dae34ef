#include "platform/host/fs/fat_layout.h"

#include <array>

namespace tarn::hostfs {

namespace {

constexpr std::uint32_t kSector = 512;

struct SizeRow {
    std::uint64_t upToSectors;
    std::uint32_t sectorsPerCluster;
};

// Windows' default cluster sizes by volume size.
constexpr std::array<SizeRow, 6> kFat16Clusters{{
    {32680, 2}, {262144, 4}, {524288, 8}, {1048576, 16}, {2097152, 32}, {4194304, 64},
}};
constexpr std::array<SizeRow, 5> kFat32Clusters{{
    {532480, 1}, {16777216, 8}, {33554432, 16}, {67108864, 32}, {kMaxFat32Sectors, 64},
}};
constexpr std::uint32_t kMaxSectorsPerCluster = 64;  // 32 KiB: what every FAT driver reads

// Standard diskette formats keep their well-known parameters.
struct Floppy {
    std::uint32_t sectors, sectorsPerCluster, rootEntries;
    std::uint8_t media;
    std::uint16_t sectorsPerTrack;
};
constexpr std::array<Floppy, 5> kFloppies{{
    {720, 2, 112, 0xFD, 9},
    {1440, 2, 112, 0xF9, 9},
    {2400, 1, 224, 0xF9, 15},
    {2880, 1, 224, 0xF0, 18},
    {5760, 2, 240, 0xF0, 36},
}};

std::uint32_t entryBits(FatType type) {
    return type == FatType::Fat12 ? 12 : type == FatType::Fat16 ? 16 : 32;
}

// The smallest FAT that holds an entry for every cluster the rest of the
// volume yields. Growing the FAT only shrinks the data area, so this settles
// within a few rounds. False when the metadata alone fills the volume.
bool sizeFat(FatGeometry& g) {
    g.sectorsPerFat = 1;
    for (;;) {
        if (g.firstDataSector() + g.sectorsPerCluster > g.totalSectors) return false;
        const std::uint64_t entries = std::uint64_t(g.clusterCount()) + 2;
        const std::uint64_t bytes = (entries * entryBits(g.type) + 7) / 8;
        const std::uint64_t need = (bytes + kSector - 1) / kSector;
        if (need <= g.sectorsPerFat) return true;
        g.sectorsPerFat = static_cast<std::uint32_t>(need);
    }
}

FatLayout failure(FormatError error, std::string message) {
    FatLayout layout;
    layout.error = error;
    layout.message = std::move(message);
    return layout;
}

FatLayout planFat12Or16(std::uint32_t sectors) {
    FatLayout layout;
    FatGeometry& g = layout.geometry;
    g.totalSectors = sectors;
    g.reservedSectors = 1;
    g.rootEntries = 512;
    std::uint32_t minClusters = 1, maxClusters = kMaxFat12Clusters;

    if (sectors <= kMaxFat12Sectors) {
        g.type = FatType::Fat12;
        g.sectorsPerCluster = 1;
        g.rootEntries = sectors <= 5760 ? 224 : 512;
        for (const Floppy& f : kFloppies) {
            if (f.sectors != sectors) continue;
            g.sectorsPerCluster = f.sectorsPerCluster;
            g.rootEntries = f.rootEntries;
            g.media = f.media;
            g.sectorsPerTrack = f.sectorsPerTrack;
            g.heads = 2;
        }
    } else {
        g.type = FatType::Fat16;
        minClusters = kMaxFat12Clusters + 1;
        maxClusters = kMaxFat16Clusters;
        g.sectorsPerCluster = kMaxSectorsPerCluster;
        for (const SizeRow& row : kFat16Clusters) {
            if (sectors <= row.upToSectors) {
                g.sectorsPerCluster = row.sectorsPerCluster;
                break;
            }
        }
    }

    // The table is a starting point: move the cluster size until the count
    // falls in the range the type demands.
    for (;;) {
        if (!sizeFat(g))
            return failure(FormatError::VolumeTooSmall, "the volume is too small for a FAT file system");
        const std::uint32_t clusters = g.clusterCount();
        if (clusters > maxClusters) {
            if (g.sectorsPerCluster >= kMaxSectorsPerCluster)
                return failure(FormatError::VolumeTooLarge,
                               "the volume is too large for FAT (at most 65,524 clusters of 32 KiB); use FAT32");
            g.sectorsPerCluster *= 2;
        } else if (clusters < minClusters) {
            if (g.sectorsPerCluster == 1)
                return failure(FormatError::VolumeTooSmall, "the volume is too small for FAT16");
            g.sectorsPerCluster /= 2;
        } else {
            return layout;
        }
    }
}

FatLayout planFat32(std::uint32_t sectors) {
    FatLayout layout;
    FatGeometry& g = layout.geometry;
    g.type = FatType::Fat32;
    g.totalSectors = sectors;
    g.reservedSectors = 32;
    g.rootEntries = 0;
    g.rootCluster = 2;
    g.fsInfoSector = 1;
    g.backupBootSector = 6;
    for (const SizeRow& row : kFat32Clusters) {
        if (sectors <= row.upToSectors) {
            g.sectorsPerCluster = row.sectorsPerCluster;
            break;
        }
    }
    for (;;) {
        if (!sizeFat(g)) return failure(FormatError::VolumeTooSmall, "the volume is too small for FAT32");
        if (g.clusterCount() > kMaxFat16Clusters) return layout;
        // Too few clusters for FAT32: smaller clusters give more of them.
        if (g.sectorsPerCluster == 1)
            return failure(FormatError::VolumeTooSmall,
                           "the volume is too small for FAT32 (at least 65,525 clusters are needed)");
        g.sectorsPerCluster /= 2;
    }
}

}  // namespace

FatLayout planFatLayout(std::uint64_t volumeBytes, FatFormatKind kind) {
    const std::uint64_t sectors = volumeBytes / kSector;
    if (kind == FatFormatKind::Fat) {
        if (sectors < kMinFatSectors)
            return failure(FormatError::VolumeTooSmall, "FAT needs a volume of at least 360 KiB (720 sectors)");
        if (sectors > kFat16Clusters.back().upToSectors)
            return failure(FormatError::VolumeTooLarge, "the volume is too large for FAT (at most 2 GiB); use FAT32");
        return planFat12Or16(static_cast<std::uint32_t>(sectors));
    }
    if (sectors < kMinFat32Sectors)
        return failure(FormatError::VolumeTooSmall,
                       "FAT32 needs a volume of at least 34,099,200 bytes (66,600 sectors)");
    if (sectors > kMaxFat32Sectors)
        return failure(FormatError::VolumeTooLarge,
                       "FAT32 holds at most 4,294,967,295 sectors (just under 2 TiB)");
    return planFat32(static_cast<std::uint32_t>(sectors));
}

}  // namespace tarn::hostfs
