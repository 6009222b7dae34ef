// Reads the current FAT of a mounted volume: entries one by one (to follow a
// directory's chain) and all at once (to count free clusters, the way FAT
// checkers do instead of trusting FSInfo's hint).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/host/fs/fat_boot_sector.h"
#include "platform/host/fs/volume_io.h"

namespace tarn::hostfs {

class FatTable {
public:
    // Keeps references: geometry and read must outlive the table.
    FatTable(const FatGeometry& geometry, const ReadFn& read);

    // Entries 2 .. clusterCount()+1 that are zero.
    IoStatus countFree(std::uint32_t& freeClusters);

    // The entry of cluster (0 .. clusterCount()+1), masked to 28 bits on FAT32.
    IoStatus entry(std::uint32_t cluster, std::uint32_t& value);

    // True when value ends a chain or is not a cluster of this volume, so a
    // walker must stop (end of chain, bad cluster, free or out of range).
    bool endsChain(std::uint32_t value) const;

private:
    std::uint64_t entryByteOffset(std::uint32_t cluster) const;
    // Bytes an entry's value is read from (a FAT12 entry spans two).
    std::uint64_t entrySpan() const { return geometry_.type == FatType::Fat32 ? 4 : 2; }
    // Decodes cluster's entry from bytes holding the FAT from byte start on.
    std::uint32_t decode(std::span<const std::uint8_t> bytes, std::uint64_t start, std::uint32_t cluster) const;
    IoStatus loadWindow(std::uint64_t byteInFat);

    const FatGeometry& geometry_;
    const ReadFn& read_;
    std::uint64_t fatBytes_;        // size of one FAT on disk
    std::vector<std::uint8_t> window_;
    std::uint64_t windowStart_ = 0; // byte offset of window_ within the FAT
    std::uint64_t windowLength_ = 0;
};

}  // namespace tarn::hostfs
