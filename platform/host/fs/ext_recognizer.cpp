#include "platform/host/fs/ext_recognizer.h"

#include <algorithm>

#include "platform/host/fs/little_endian.h"

namespace tarn::hostfs {

namespace {

constexpr std::uint16_t kExtMagic = 0xEF53;

constexpr std::uint32_t kCompatHasJournal = 0x0004;
constexpr std::uint32_t kIncompatFiletype = 0x0002;
constexpr std::uint32_t kIncompatRecover = 0x0004;
constexpr std::uint32_t kIncompatJournalDev = 0x0008;
constexpr std::uint32_t kIncompatMetaBg = 0x0010;
constexpr std::uint32_t kIncompat64Bit = 0x0080;
constexpr std::uint32_t kRoCompatSparseSuper = 0x0001;
constexpr std::uint32_t kRoCompatLargeFile = 0x0002;
constexpr std::uint32_t kRoCompatBtreeDir = 0x0004;

// Features ext2 and ext3 drivers know; anything beyond them needs ext4.
constexpr std::uint32_t kExt2Incompat = kIncompatFiletype | kIncompatMetaBg;
constexpr std::uint32_t kExt3Incompat = kExt2Incompat | kIncompatRecover;
constexpr std::uint32_t kExt23RoCompat = kRoCompatSparseSuper | kRoCompatLargeFile | kRoCompatBtreeDir;

std::optional<MountResult> reject(const char** why, const char* reason) {
    if (why) *why = reason;
    return std::nullopt;
}

}  // namespace

std::optional<MountResult> recognizeExt(std::span<const std::uint8_t> sb, const char** why) {
    if (sb.size() < kExtSuperblockSize) return reject(why, "short superblock");
    if (loadLe16(sb, 0x38) != kExtMagic) return reject(why, "no ext magic");

    const std::uint32_t logBlockSize = loadLe32(sb, 0x18);
    if (logBlockSize > 6) return reject(why, "bad ext block size");  // 1 KiB .. 64 KiB
    const std::uint32_t blockSize = 1024u << logBlockSize;
    if (loadLe32(sb, 0x20) == 0 || loadLe32(sb, 0x28) == 0) return reject(why, "empty ext block groups");

    // Revision 0 superblocks have no feature fields.
    const bool dynamic = loadLe32(sb, 0x4C) >= 1;
    const std::uint32_t compat = dynamic ? loadLe32(sb, 0x5C) : 0;
    const std::uint32_t incompat = dynamic ? loadLe32(sb, 0x60) : 0;
    const std::uint32_t roCompat = dynamic ? loadLe32(sb, 0x64) : 0;
    if (incompat & kIncompatJournalDev) return reject(why, "external ext journal, not a file system");

    std::uint64_t blocks = loadLe32(sb, 0x04);
    std::uint64_t reserved = loadLe32(sb, 0x08);
    std::uint64_t freeBlocks = loadLe32(sb, 0x0C);
    if (incompat & kIncompat64Bit) {
        blocks |= std::uint64_t(loadLe32(sb, 0x150)) << 32;
        reserved |= std::uint64_t(loadLe32(sb, 0x154)) << 32;
        freeBlocks |= std::uint64_t(loadLe32(sb, 0x158)) << 32;
    }
    if (blocks == 0 || freeBlocks > blocks) return reject(why, "bad ext block counts");

    MountResult result;
    result.outcome = MountOutcome::Mounted;
    VolumeInfo& v = result.volume;
    const bool journal = (compat & kCompatHasJournal) != 0;
    const bool beyondExt23 = (roCompat & ~kExt23RoCompat) != 0;
    if (!journal && !beyondExt23 && (incompat & ~kExt2Incompat) == 0) {
        v.kind = FileSystemKind::Ext2;
        v.fileSystemName = "ext2";
    } else if (journal && !beyondExt23 && (incompat & ~kExt3Incompat) == 0) {
        v.kind = FileSystemKind::Ext3;
        v.fileSystemName = "ext3";
    } else {
        v.kind = FileSystemKind::Ext4;
        v.fileSystemName = "ext4";
    }

    const auto name = sb.subspan(0x78, 16);
    v.label.assign(name.begin(), std::find(name.begin(), name.end(), 0));
    // The first four bytes of the UUID, so "%08X" shows the UUID's first group.
    v.serial = (std::uint32_t(sb[0x68]) << 24) | (std::uint32_t(sb[0x69]) << 16) |
               (std::uint32_t(sb[0x6A]) << 8) | sb[0x6B];
    v.fileSystemFlags = 0x1 | 0x2 | 0x4;  // case-sensitive, case-preserving, Unicode names
    v.bytesPerSector = 512;
    v.bytesPerCluster = blockSize;
    v.totalClusters = blocks;
    v.freeClusters = freeBlocks;
    v.totalBytes = blocks * blockSize;
    v.freeBytes = freeBlocks * blockSize;
    v.availableBytes = (freeBlocks > reserved ? freeBlocks - reserved : 0) * blockSize;
    return result;
}

}  // namespace tarn::hostfs
