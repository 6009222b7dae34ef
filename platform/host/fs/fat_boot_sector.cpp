#include "platform/host/fs/fat_boot_sector.h"

#include <algorithm>
#include <cstring>

#include "platform/host/fs/little_endian.h"

namespace tarn::hostfs {

namespace {

constexpr std::size_t kBootSectorSize = 512;

bool isPowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Media bytes a FAT driver accepts: 0xF0 and 0xF8..0xFF.
bool isValidMedia(std::uint8_t m) { return m == 0xF0 || m >= 0xF8; }

// Offsets of the extended BPB, which moves on FAT32.
struct ExtendedBpb {
    std::size_t signature, serial, label, fsType;
};
constexpr ExtendedBpb kExt16{38, 39, 43, 54};
constexpr ExtendedBpb kExt32{66, 67, 71, 82};

std::optional<FatBootSector> reject(const char** why, const char* reason) {
    if (why) *why = reason;
    return std::nullopt;
}

}  // namespace

FatType fatTypeForClusters(std::uint32_t clusters) {
    if (clusters <= kMaxFat12Clusters) return FatType::Fat12;
    if (clusters <= kMaxFat16Clusters) return FatType::Fat16;
    return FatType::Fat32;
}

std::uint32_t FatGeometry::rootDirSectors() const {
    return (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
}

std::uint32_t FatGeometry::clusterCount() const {
    const std::uint64_t overhead = firstDataSector();
    if (overhead >= totalSectors || sectorsPerCluster == 0) return 0;
    return static_cast<std::uint32_t>((totalSectors - overhead) / sectorsPerCluster);
}

std::uint64_t FatGeometry::clusterOffset(std::uint32_t cluster) const {
    return sectorOffset(firstDataSector() + std::uint64_t(cluster - 2) * sectorsPerCluster);
}

std::uint64_t FatGeometry::fatBytesUsed() const {
    const std::uint64_t entries = std::uint64_t(clusterCount()) + 2;
    switch (type) {
    case FatType::Fat12: return (entries * 3 + 1) / 2;
    case FatType::Fat16: return entries * 2;
    case FatType::Fat32: return entries * 4;
    }
    return 0;
}

std::optional<FatBootSector> parseFatBootSector(std::span<const std::uint8_t> s, const char** why) {
    if (s.size() < kBootSectorSize) return reject(why, "short boot sector");
    if (s[0] != 0xEB && s[0] != 0xE9) return reject(why, "no jump instruction");
    if (s[510] != 0x55 || s[511] != 0xAA) return reject(why, "no boot signature");

    FatBootSector boot;
    FatGeometry& g = boot.geometry;
    g.bytesPerSector = loadLe16(s, 11);
    g.sectorsPerCluster = s[13];
    g.reservedSectors = loadLe16(s, 14);
    g.fatCount = s[16];
    g.rootEntries = loadLe16(s, 17);
    const std::uint32_t totalSectors16 = loadLe16(s, 19);
    g.media = s[21];
    const std::uint32_t sectorsPerFat16 = loadLe16(s, 22);
    g.sectorsPerTrack = loadLe16(s, 24);
    g.heads = loadLe16(s, 26);
    g.hiddenSectors = loadLe32(s, 28);
    const std::uint32_t totalSectors32 = loadLe32(s, 32);

    if (g.bytesPerSector < 512 || g.bytesPerSector > 4096 || !isPowerOfTwo(g.bytesPerSector))
        return reject(why, "bad bytes per sector");
    if (!isPowerOfTwo(g.sectorsPerCluster)) return reject(why, "bad sectors per cluster");
    if (g.reservedSectors == 0) return reject(why, "no reserved sectors");
    if (g.fatCount == 0) return reject(why, "no FAT");
    if (!isValidMedia(g.media)) return reject(why, "bad media byte");
    if ((g.rootEntries * 32) % g.bytesPerSector != 0) return reject(why, "root directory not whole sectors");

    g.totalSectors = totalSectors16 != 0 ? totalSectors16 : totalSectors32;
    if (g.totalSectors == 0) return reject(why, "no sectors");
    const bool fat32Layout = sectorsPerFat16 == 0;
    g.sectorsPerFat = fat32Layout ? loadLe32(s, 36) : sectorsPerFat16;
    if (g.sectorsPerFat == 0) return reject(why, "no FAT sectors");

    if (g.firstDataSector() >= g.totalSectors) return reject(why, "no data area");
    const std::uint32_t clusters = g.clusterCount();
    if (clusters == 0) return reject(why, "no clusters");
    g.type = fatTypeForClusters(clusters);

    if (g.type == FatType::Fat32) {
        if (!fat32Layout || g.rootEntries != 0) return reject(why, "FAT32 cluster count with a FAT16 layout");
        if (clusters > kMaxFat32Clusters) return reject(why, "too many clusters");
        if (loadLe16(s, 42) != 0) return reject(why, "unknown FAT32 version");
        const std::uint16_t extFlags = loadLe16(s, 40);
        if (extFlags & 0x80) g.activeFat = extFlags & 0x0F;  // mirroring off: only this FAT is current
        if (g.activeFat >= g.fatCount) return reject(why, "active FAT out of range");
        g.rootCluster = loadLe32(s, 44);
        if (g.rootCluster < 2 || g.rootCluster >= std::uint64_t(clusters) + 2)
            return reject(why, "root cluster out of range");
        g.fsInfoSector = loadLe16(s, 48);
        g.backupBootSector = loadLe16(s, 50);
    } else {
        if (fat32Layout) return reject(why, "FAT12/16 cluster count with a FAT32 layout");
        if (g.rootEntries == 0) return reject(why, "no root directory");
    }
    if (g.fatBytesUsed() > std::uint64_t(g.sectorsPerFat) * g.bytesPerSector)
        return reject(why, "FAT too small for the cluster count");

    const ExtendedBpb& ext = g.type == FatType::Fat32 ? kExt32 : kExt16;
    // 0x29: serial and label follow; the older 0x28 has the serial only.
    boot.extendedSignature = s[ext.signature] == 0x29;
    boot.label.fill(' ');
    if (s[ext.signature] == 0x28 || s[ext.signature] == 0x29) boot.serial = loadLe32(s, ext.serial);
    if (boot.extendedSignature) std::memcpy(boot.label.data(), &s[ext.label], boot.label.size());
    return boot;
}

void encodeFatBootSector(const FatBootSector& boot, std::span<std::uint8_t> out) {
    const FatGeometry& g = boot.geometry;
    const bool fat32 = g.type == FatType::Fat32;
    const ExtendedBpb& ext = fat32 ? kExt32 : kExt16;
    auto s = out.first(kBootSectorSize);
    std::fill(s.begin(), s.end(), 0);

    // Jump over the BPB to a halt loop: this volume is not bootable.
    const std::size_t code = ext.fsType + 8;
    s[0] = 0xEB;
    s[1] = static_cast<std::uint8_t>(code - 2);
    s[2] = 0x90;
    const std::uint8_t haltLoop[] = {0xFA, 0xF4, 0xEB, 0xFD};  // cli; hlt; jmp hlt
    std::copy(std::begin(haltLoop), std::end(haltLoop), s.begin() + code);

    std::memcpy(&s[3], "MSWIN4.1", 8);  // the OEM name FAT drivers expect
    storeLe16(s, 11, static_cast<std::uint16_t>(g.bytesPerSector));
    s[13] = static_cast<std::uint8_t>(g.sectorsPerCluster);
    storeLe16(s, 14, static_cast<std::uint16_t>(g.reservedSectors));
    s[16] = static_cast<std::uint8_t>(g.fatCount);
    storeLe16(s, 17, static_cast<std::uint16_t>(g.rootEntries));
    const bool small = !fat32 && g.totalSectors < 0x10000;
    storeLe16(s, 19, small ? static_cast<std::uint16_t>(g.totalSectors) : 0);
    s[21] = g.media;
    storeLe16(s, 22, fat32 ? 0 : static_cast<std::uint16_t>(g.sectorsPerFat));
    storeLe16(s, 24, g.sectorsPerTrack);
    storeLe16(s, 26, g.heads);
    storeLe32(s, 28, g.hiddenSectors);
    storeLe32(s, 32, small ? 0 : g.totalSectors);
    if (fat32) {
        storeLe32(s, 36, g.sectorsPerFat);
        storeLe16(s, 40, static_cast<std::uint16_t>(g.activeFat ? 0x80 | g.activeFat : 0));
        storeLe16(s, 42, 0);   // version 0.0
        storeLe32(s, 44, g.rootCluster);
        storeLe16(s, 48, g.fsInfoSector);
        storeLe16(s, 50, g.backupBootSector);
    }
    s[ext.signature - 2] = g.media == 0xF8 ? 0x80 : 0x00;  // BIOS drive: fixed disk or floppy
    s[ext.signature] = 0x29;
    storeLe32(s, ext.serial, boot.serial);
    std::memcpy(&s[ext.label], boot.label.data(), boot.label.size());
    const char* fsType = fat32 ? "FAT32   " : g.type == FatType::Fat16 ? "FAT16   " : "FAT12   ";
    std::memcpy(&s[ext.fsType], fsType, 8);
    s[510] = 0x55;
    s[511] = 0xAA;
}

}  // namespace tarn::hostfs
