#include "platform/host/fs/fat_recognizer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/host/fs/fat_label.h"
#include "platform/host/fs/fat_table.h"

namespace tarn::hostfs {

namespace {

constexpr std::size_t kDirEntry = 32;
constexpr std::uint8_t kAttrVolumeId = 0x08;
constexpr std::uint8_t kAttrDirectory = 0x10;
constexpr std::uint8_t kAttrLongName = 0x0F;
// A FAT directory holds at most 65536 entries; never look further.
constexpr std::uint64_t kMaxDirBytes = 65536 * kDirEntry;
constexpr std::uint64_t kRootChunk = 64 << 10;

enum class Scan { More, Done };

// Looks through one block of directory entries for the volume label.
Scan scanForLabel(std::span<const std::uint8_t> block, std::optional<FatLabel>& label) {
    for (std::size_t at = 0; at + kDirEntry <= block.size(); at += kDirEntry) {
        const std::uint8_t* e = &block[at];
        if (e[0] == 0x00) return Scan::Done;  // end of directory
        if (e[0] == 0xE5) continue;           // deleted
        const std::uint8_t attr = e[11];
        if ((attr & 0x3F) == kAttrLongName) continue;
        if ((attr & (kAttrVolumeId | kAttrDirectory)) == kAttrVolumeId) {
            FatLabel raw;
            std::memcpy(raw.data(), e, raw.size());
            label = raw;
            return Scan::Done;
        }
    }
    return Scan::More;
}

IoStatus findFixedRootLabel(const FatGeometry& g, const ReadFn& read, std::optional<FatLabel>& label) {
    const std::uint64_t rootBytes = std::uint64_t(g.rootDirSectors()) * g.bytesPerSector;
    std::vector<std::uint8_t> chunk(std::min(kRootChunk, rootBytes));
    for (std::uint64_t done = 0; done < rootBytes; done += chunk.size()) {
        const std::span<std::uint8_t> block(chunk.data(), std::min<std::uint64_t>(chunk.size(), rootBytes - done));
        const IoStatus status = read(g.sectorOffset(g.rootDirFirstSector()) + done, block);
        if (status != kIoSuccess) return status;
        if (scanForLabel(block, label) == Scan::Done) break;
    }
    return kIoSuccess;
}

// FAT32 keeps the root directory in a cluster chain. The walk is bounded by
// the directory size limit, so a looping chain cannot hang the mount.
IoStatus findChainedRootLabel(const FatGeometry& g, const ReadFn& read, std::optional<FatLabel>& label) {
    FatTable fat(g, read);
    std::vector<std::uint8_t> cluster(g.clusterBytes());
    std::uint32_t current = g.rootCluster;
    for (std::uint64_t walked = 0; walked < kMaxDirBytes && !fat.endsChain(current); walked += cluster.size()) {
        IoStatus status = read(g.clusterOffset(current), cluster);
        if (status != kIoSuccess) return status;
        if (scanForLabel(cluster, label) == Scan::Done) break;
        status = fat.entry(current, current);
        if (status != kIoSuccess) return status;
    }
    return kIoSuccess;
}

MountResult readFailure(IoStatus status) {
    MountResult result;
    result.outcome = MountOutcome::ReadFailed;
    result.ioStatus = status;
    result.reason = "FAT volume unreadable";
    return result;
}

}  // namespace

std::optional<MountResult> recognizeFat(std::span<const std::uint8_t> firstSector, const ReadFn& read,
                                        const char** why) {
    const std::optional<FatBootSector> boot = parseFatBootSector(firstSector, why);
    if (!boot) return std::nullopt;
    const FatGeometry& g = boot->geometry;

    std::optional<FatLabel> rootLabel;
    IoStatus status = g.type == FatType::Fat32 ? findChainedRootLabel(g, read, rootLabel)
                                               : findFixedRootLabel(g, read, rootLabel);
    if (status != kIoSuccess) return readFailure(status);

    FatTable fat(g, read);
    std::uint32_t freeClusters = 0;
    status = fat.countFree(freeClusters);
    if (status != kIoSuccess) return readFailure(status);

    MountResult result;
    result.outcome = MountOutcome::Mounted;
    VolumeInfo& v = result.volume;
    v.kind = g.type == FatType::Fat12   ? FileSystemKind::Fat12
             : g.type == FatType::Fat16 ? FileSystemKind::Fat16
                                        : FileSystemKind::Fat32;
    v.fileSystemName = g.type == FatType::Fat32 ? "FAT32" : "FAT";
    v.label = readableFatLabel(rootLabel.value_or(boot->label));
    v.serial = boot->serial;
    v.fileSystemFlags = 0x2 | 0x4;  // FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK
    v.bytesPerSector = g.bytesPerSector;
    v.bytesPerCluster = g.clusterBytes();
    v.totalClusters = g.clusterCount();
    v.freeClusters = freeClusters;
    v.totalBytes = v.totalClusters * v.bytesPerCluster;
    v.freeBytes = v.freeClusters * v.bytesPerCluster;
    v.availableBytes = v.freeBytes;
    return result;
}

}  // namespace tarn::hostfs
