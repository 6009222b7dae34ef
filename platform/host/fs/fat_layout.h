// Chooses the layout of a fresh FAT file system for a volume size, with the
// defaults Windows' format uses (its cluster-size tables by volume size).
#pragma once

#include <cstdint>
#include <string>

#include "platform/host/fs/fat_boot_sector.h"

namespace tarn::hostfs {

// What the caller asks for, named as the format dialog names it: "FAT" picks
// FAT12 or FAT16 by size, "FAT32" is FAT32.
enum class FatFormatKind { Fat, Fat32 };

enum class FormatError {
    None,
    VolumeTooSmall,
    VolumeTooLarge,
    InvalidLabel,
    WriteFailed,
};

// Limits, in 512-byte sectors.
//  FAT:   720 (360 KiB) .. the size at which 32 KiB clusters pass 65,524
//         clusters (just under 2 GiB). FAT12 up to 8,400 sectors (4.1 MB),
//         FAT16 above, clusters of 1 KiB .. 32 KiB.
//  FAT32: 66,600 (34,099,200 bytes, about 32.5 MiB) .. 0xFFFFFFFF sectors
//         (the 32-bit sector count, just under 2 TiB), clusters of
//         512 bytes .. 32 KiB.
constexpr std::uint64_t kMinFatSectors = 720;
constexpr std::uint64_t kMaxFat12Sectors = 8400;
constexpr std::uint64_t kMinFat32Sectors = 66600;
constexpr std::uint64_t kMaxFat32Sectors = 0xFFFFFFFF;

struct FatLayout {
    FormatError error = FormatError::None;
    std::string message;                // why it failed, for the user
    FatGeometry geometry;               // valid when error is None
};

// Sectors are 512 bytes; a partial sector at the end is ignored, and so are
// sectors left over after the last whole cluster.
FatLayout planFatLayout(std::uint64_t volumeBytes, FatFormatKind kind);

}  // namespace tarn::hostfs
