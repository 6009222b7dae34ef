// What an encrypted volume without its key, a damaged volume or a failing
// device looks like to the recognizer: never a mount of garbage, never a
// crash or a hang, and a read failure reported as such.
#include <gtest/gtest.h>

#include <random>

#include "platform/host/fs/fat_formatter.h"
#include "platform/host/fs/little_endian.h"
#include "platform/host/fs/recognizer.h"
#include "tests/hostfs/memory_volume.h"

namespace tarn::hostfs::test {
namespace {

constexpr std::uint64_t kMiB = 1 << 20;

std::vector<std::uint8_t> randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

struct Fat32Layout {
    std::uint64_t fatStart, dataStart;
};

// Where the first FAT and the data area (the root directory's cluster) begin.
Fat32Layout fat32LayoutOf(const MemoryVolume& volume) {
    std::vector<std::uint8_t> boot(512);
    volume.get(0, boot);
    const std::uint64_t reserved = loadLe16(boot, 14);
    const std::uint64_t fatSectors = loadLe32(boot, 36);
    return {reserved * 512, (reserved + boot[16] * fatSectors) * 512};
}

// A freshly formatted volume in memory.
MemoryVolume formatted(std::uint64_t bytes, FatFormatKind kind, const char* label = "GOOD") {
    MemoryVolume volume(bytes);
    FormatOptions options;
    options.kind = kind;
    options.label = label;
    const FormatResult result = formatFat(volume.sink(), options);
    EXPECT_TRUE(result.ok()) << result.message;
    return volume;
}

TEST(RecognizerRefusesGarbage, UnformattedOrEncryptedFirstSectorsAreNoFileSystem) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> head;  // the volume's first bytes; the rest reads as zeros
    };
    std::vector<Case> cases = {{"all zero", {}}};
    for (unsigned seed = 1; seed <= 64; ++seed) cases.push_back({"random (ciphertext)", randomBytes(4096, seed)});
    // Ciphertext that happens to start like a boot sector is still not one.
    for (unsigned seed = 100; seed < 164; ++seed) {
        auto bytes = randomBytes(4096, seed);
        bytes[0] = 0xEB;
        bytes[2] = 0x90;
        bytes[510] = 0x55;
        bytes[511] = 0xAA;
        cases.push_back({"random with jump and signature", bytes});
    }
    auto extLike = randomBytes(4096, 7);
    storeLe16(extLike, 1024 + 0x38, 0xEF53);
    storeLe32(extLike, 1024 + 0x18, 0x12345678);  // block size out of range
    cases.push_back({"ext magic, random superblock", extLike});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryVolume volume(16 * kMiB);
        volume.put(0, c.head);
        const MountResult mount = recognizeVolume(volume.reader());
        EXPECT_EQ(mount.outcome, MountOutcome::NoFileSystem) << mount.volume.fileSystemName;
    }
}

TEST(RecognizerRefusesGarbage, DamagedBootSectorFieldsAreRejected) {
    struct Case {
        const char* name;
        FatFormatKind kind;
        std::size_t offset;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"no jump", FatFormatKind::Fat, 0, {0x00}},
        {"sector size 0", FatFormatKind::Fat, 11, {0x00, 0x00}},
        {"sector size 256", FatFormatKind::Fat, 11, {0x00, 0x01}},
        {"sector size 513", FatFormatKind::Fat, 11, {0x01, 0x02}},
        {"sector size 8192", FatFormatKind::Fat, 11, {0x00, 0x20}},
        {"cluster 0 sectors", FatFormatKind::Fat, 13, {0}},
        {"cluster 3 sectors", FatFormatKind::Fat, 13, {3}},
        {"no reserved sectors", FatFormatKind::Fat, 14, {0, 0}},
        {"no FATs", FatFormatKind::Fat, 16, {0}},
        {"root directory not whole sectors", FatFormatKind::Fat, 17, {0x01, 0x02}},
        {"no root directory", FatFormatKind::Fat, 17, {0, 0}},
        {"media byte", FatFormatKind::Fat, 21, {0x12}},
        {"no sector count", FatFormatKind::Fat, 19, {0, 0}},
        {"FAT too small", FatFormatKind::Fat, 22, {1, 0}},
        {"FAT16 count, FAT32 layout", FatFormatKind::Fat, 22, {0, 0, 63, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0, 0}},
        {"no boot signature", FatFormatKind::Fat, 510, {0x55, 0x00}},
        {"FAT32 sector count 0", FatFormatKind::Fat32, 32, {0, 0, 0, 0}},
        {"FAT32 version 1", FatFormatKind::Fat32, 42, {1, 0}},
        {"FAT32 root cluster 0", FatFormatKind::Fat32, 44, {0, 0, 0, 0}},
        {"FAT32 root cluster past the end", FatFormatKind::Fat32, 44, {0, 0, 0, 0x0F}},
        {"FAT32 count, FAT16 layout", FatFormatKind::Fat32, 22, {0x10, 0}},
        {"FAT32 FAT too small", FatFormatKind::Fat32, 36, {1, 0, 0, 0}},
        {"FAT32 active FAT past the last", FatFormatKind::Fat32, 40, {0x82, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryVolume volume = formatted(c.kind == FatFormatKind::Fat ? 16 * kMiB : 40 * kMiB, c.kind);
        ASSERT_TRUE(recognizeVolume(volume.reader()).mounted());
        volume.put(c.offset, c.bytes);
        const MountResult mount = recognizeVolume(volume.reader());
        EXPECT_EQ(mount.outcome, MountOutcome::NoFileSystem) << mount.volume.fileSystemName;
    }
}

TEST(RecognizerReportsReadFailures, FailedReadsAreNotMountsAndKeepTheirStatus) {
    struct Case {
        const char* name;
        FatFormatKind kind;
        std::uint64_t badFrom, badTo;
    };
    // 16 MiB FAT16: FATs from sector 1, root directory after them.
    // 40 MiB FAT32: FATs from sector 32, root directory in the first cluster.
    const Case cases[] = {
        {"first sectors", FatFormatKind::Fat, 0, 512},
        {"FAT16 FAT", FatFormatKind::Fat, 512 * 20, 512 * 21},
        {"FAT16 root directory", FatFormatKind::Fat, 512 * 70, 512 * 71},
        {"FAT32 FAT", FatFormatKind::Fat32, 512 * 40, 512 * 41},
        {"FAT32 root directory", FatFormatKind::Fat32, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryVolume volume = formatted(c.kind == FatFormatKind::Fat ? 16 * kMiB : 40 * kMiB, c.kind);
        if (c.badTo == 0) {
            const std::uint64_t root = fat32LayoutOf(volume).dataStart;
            volume.failReadsIn(root, root + 512);
        } else {
            volume.failReadsIn(c.badFrom, c.badTo);
        }
        const MountResult mount = recognizeVolume(volume.reader());
        EXPECT_EQ(mount.outcome, MountOutcome::ReadFailed);
        EXPECT_EQ(mount.ioStatus, kStatusDeviceError);
    }

    // A volume cut short: shorter than the first sectors we probe.
    MemoryVolume tiny(2048);
    MemoryVolume source = formatted(16 * kMiB, FatFormatKind::Fat);
    std::vector<std::uint8_t> head(2048);
    source.get(0, head);
    tiny.put(0, head);
    EXPECT_FALSE(recognizeVolume(tiny.reader()).mounted());
}

TEST(RecognizerSurvivesDamage, LoopingRootDirectoryChainEnds) {
    MemoryVolume volume = formatted(40 * kMiB, FatFormatKind::Fat32, "BOOTLABEL");
    const MountResult clean = recognizeVolume(volume.reader());
    ASSERT_TRUE(clean.mounted());
    // Fill the root cluster with ordinary entries (no label, no end mark) and
    // point its FAT entry back at itself.
    const Fat32Layout layout = fat32LayoutOf(volume);
    std::vector<std::uint8_t> entries(clean.volume.bytesPerCluster, 0);
    for (std::size_t at = 0; at < entries.size(); at += 32) {
        std::fill_n(entries.begin() + at, 11, 'A');
        entries[at + 11] = 0x20;
    }
    volume.put(layout.dataStart, entries);
    std::vector<std::uint8_t> loop(4);
    storeLe32(loop, 0, 2);
    volume.put(layout.fatStart + 2 * 4, loop);
    const MountResult mount = recognizeVolume(volume.reader());
    ASSERT_TRUE(mount.mounted());
    EXPECT_EQ(mount.volume.label, "BOOTLABEL");  // falls back to the boot sector's
}

TEST(RecognizerCountsLikeADriver, FreeSpaceComesFromTheActiveFat) {
    MemoryVolume volume = formatted(40 * kMiB, FatFormatKind::Fat32);
    const MountResult clean = recognizeVolume(volume.reader());
    ASSERT_TRUE(clean.mounted());
    const Fat32Layout layout = fat32LayoutOf(volume);
    // Ten clusters in use according to the second FAT only.
    std::vector<std::uint8_t> used(40);
    for (std::size_t i = 0; i < 10; ++i) storeLe32(used, 4 * i, 0x0FFFFFFF);
    volume.put(layout.fatStart + (layout.dataStart - layout.fatStart) / 2 + 10 * 4, used);

    EXPECT_EQ(recognizeVolume(volume.reader()).volume.freeClusters, clean.volume.freeClusters);
    std::vector<std::uint8_t> extFlags(2);
    storeLe16(extFlags, 0, 0x81);  // mirroring off, FAT 1 current
    volume.put(40, extFlags);
    EXPECT_EQ(recognizeVolume(volume.reader()).volume.freeClusters, clean.volume.freeClusters - 10);
}

// Random damage to the boot sector and the start of the FAT must never crash
// (the sanitizer build runs this), and whatever mounts must be consistent.
TEST(RecognizerSurvivesDamage, RandomlyDamagedVolumesNeverCrash) {
    struct Base {
        std::uint64_t bytes;
        FatFormatKind kind;
    };
    const Base bases[] = {{1474560, FatFormatKind::Fat}, {16 * kMiB, FatFormatKind::Fat}, {40 * kMiB, FatFormatKind::Fat32}};
    std::mt19937 rng(20261208);
    for (const Base& base : bases) {
        const MemoryVolume pristine = formatted(base.bytes, base.kind);
        std::vector<std::uint8_t> head(16384);
        pristine.get(0, head);
        for (int round = 0; round < 600; ++round) {
            MemoryVolume volume = pristine;
            std::vector<std::uint8_t> damaged = head;
            const int hits = 1 + static_cast<int>(rng() % 6);
            for (int i = 0; i < hits; ++i) {
                // Mostly the BPB, sometimes anywhere in the first 16 KiB.
                const std::size_t at = rng() % 4 ? rng() % 96 : rng() % damaged.size();
                damaged[at] = static_cast<std::uint8_t>(rng());
            }
            volume.put(0, damaged);
            const MountResult mount = recognizeVolume(volume.reader());
            if (!mount.mounted()) continue;
            const VolumeInfo& v = mount.volume;
            EXPECT_LE(v.freeBytes, v.totalBytes);
            EXPECT_EQ(v.totalBytes, v.totalClusters * v.bytesPerCluster);
            EXPECT_LE(v.label.size(), 11u);
        }
    }
}

}  // namespace
}  // namespace tarn::hostfs::test
