#include "platform/host/fs/fat_table.h"

#include <algorithm>
#include <span>

#include "platform/host/fs/little_endian.h"

namespace tarn::hostfs {

namespace {
// Large enough that a 4 GiB FAT32 volume's FAT is read in a few requests.
constexpr std::uint64_t kChunkBytes = 1 << 20;
constexpr std::uint64_t kWindowBytes = 64 << 10;
}  // namespace

FatTable::FatTable(const FatGeometry& geometry, const ReadFn& read)
    : geometry_(geometry), read_(read),
      fatBytes_(std::uint64_t(geometry.sectorsPerFat) * geometry.bytesPerSector) {}

std::uint64_t FatTable::entryByteOffset(std::uint32_t cluster) const {
    switch (geometry_.type) {
    case FatType::Fat12: return cluster + cluster / 2;
    case FatType::Fat16: return std::uint64_t(cluster) * 2;
    case FatType::Fat32: return std::uint64_t(cluster) * 4;
    }
    return 0;
}

std::uint32_t FatTable::decode(std::span<const std::uint8_t> bytes, std::uint64_t start,
                              std::uint32_t cluster) const {
    const std::size_t at = entryByteOffset(cluster) - start;
    switch (geometry_.type) {
    case FatType::Fat12: {
        const std::uint32_t v = loadLe16(bytes, at);
        return (cluster & 1) ? v >> 4 : v & 0xFFF;
    }
    case FatType::Fat16: return loadLe16(bytes, at);
    case FatType::Fat32: return loadLe32(bytes, at) & 0x0FFFFFFF;
    }
    return 0;
}

bool FatTable::endsChain(std::uint32_t value) const {
    return value < 2 || value >= std::uint64_t(geometry_.clusterCount()) + 2;
}

IoStatus FatTable::loadWindow(std::uint64_t byteInFat) {
    const std::uint64_t sector = geometry_.bytesPerSector;
    windowStart_ = byteInFat / sector * sector;
    windowLength_ = std::min<std::uint64_t>(std::max<std::uint64_t>(kWindowBytes, 2 * sector),
                                            fatBytes_ - windowStart_);
    window_.resize(windowLength_);
    const IoStatus status = read_(geometry_.activeFatOffset() + windowStart_, window_);
    if (status != kIoSuccess) windowLength_ = 0;
    return status;
}

IoStatus FatTable::entry(std::uint32_t cluster, std::uint32_t& value) {
    const std::uint64_t first = entryByteOffset(cluster);
    if (first + entrySpan() > fatBytes_) {
        value = 0;  // beyond the FAT: nothing to follow
        return kIoSuccess;
    }
    if (windowLength_ == 0 || first < windowStart_ || first + entrySpan() > windowStart_ + windowLength_) {
        const IoStatus status = loadWindow(first);
        if (status != kIoSuccess) return status;
    }
    value = decode(std::span(window_.data(), windowLength_), windowStart_, cluster);
    return kIoSuccess;
}

IoStatus FatTable::countFree(std::uint32_t& freeClusters) {
    freeClusters = 0;
    const std::uint32_t end = geometry_.clusterCount() + 2;
    const std::uint64_t sector = geometry_.bytesPerSector;
    const std::uint64_t used = (geometry_.fatBytesUsed() + sector - 1) / sector * sector;
    std::vector<std::uint8_t> chunk(std::min(kChunkBytes, used));
    std::uint32_t cluster = 2;
    // FAT16/32 entries never cross a chunk boundary, and a FAT12 table (at
    // most 4084 clusters) always fits in one chunk.
    for (std::uint64_t start = 0; start < used && cluster < end; start += chunk.size()) {
        const std::uint64_t length = std::min<std::uint64_t>(chunk.size(), used - start);
        const std::span<std::uint8_t> bytes(chunk.data(), length);
        const IoStatus status = read_(geometry_.activeFatOffset() + start, bytes);
        if (status != kIoSuccess) return status;
        for (; cluster < end && entryByteOffset(cluster) + entrySpan() <= start + length; ++cluster)
            if (decode(bytes, start, cluster) == 0) ++freeClusters;
    }
    return kIoSuccess;
}

}  // namespace tarn::hostfs
