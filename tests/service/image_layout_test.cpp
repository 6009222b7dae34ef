// The bytes SvcCreateImage writes, read back from the file.
#include <gtest/gtest.h>

#include <cstring>

#include "service/image_layout.h"
#include "svc_under_test.h"
#include "test_util.h"

namespace {

constexpr int64_t kMiB = 1048576;
constexpr long kFat16 = 0, kFat32 = 1;

struct Boot {
    std::vector<uint8_t> B;
    uint64_t VolumeOffset;
};

Boot CreateAndReadBoot(const std::string& path, int64_t size, long fs, long pt, const char* label) {
    EXPECT_EQ(svc::SvcCreateImage(path.c_str(), size, fs, pt, label), 0);
    uint64_t at = pt ? 63 * 512 : 0;
    return {ReadBytes(path, at, 512), at};
}

TEST(ImageSizeArithmetic, SectorCountsAndFatSizesMatchTheLayout) {
    TempDir dir;
    struct Case {
        const char* Name;
        int64_t Size;
        long Fs;
        uint16_t Total16;
        uint32_t Total32;
        uint32_t FatSectors;
        uint8_t ClusterSectors;
    } cases[] = {
        // 100 MiB + 32 KiB: V = 204,800, the formula's FAT of 100 covers it.
        {"fat16-100MiB+32KiB", 100 * kMiB + 32768, kFat16, 0, 204800, 100, 8},
        // The 16-bit count is used exactly while V <= 65,535.
        {"fat16-V65535", 65535LL * 512 + 32768, kFat16, 65535, 0, 32, 8},
        {"fat16-V65536", 65536LL * 512 + 32768, kFat16, 0, 65536, 32, 8},
        // 200 MiB: the formula's 199 sectors do not cover 51,137 clusters.
        {"fat16-200MiB", 200 * kMiB, kFat16, 0, 409536, 200, 8},
        // Past 8 sectors per cluster's reach: 16 from the FAT16 table.
        {"fat16-300MiB", 300 * kMiB, kFat16, 0, 614336, 299, 16},
        // 1 GiB FAT32: 8 sectors per cluster, FAT (V + 96) / 129.
        {"fat32-1GiB", 1024 * kMiB, kFat32, 0, 2097088, 16257, 8},
        // Just above a table boundary the table's 8 would leave too few clusters.
        {"fat32-260MiB", 260 * kMiB, kFat32, 0, 532416, 4128, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Boot boot = CreateAndReadBoot(dir.File(c.Name), c.Size, c.Fs, 0, "L");
        ASSERT_EQ(boot.B.size(), 512u);
        EXPECT_EQ(FileSize(dir.File(c.Name)), uint64_t(c.Size));
        EXPECT_EQ(Le16(boot.B, 19), c.Total16);
        EXPECT_EQ(Le32(boot.B, 32), c.Fs == kFat16 ? c.Total32 : c.Total32);
        EXPECT_EQ(c.Fs == kFat16 ? uint32_t(Le16(boot.B, 22)) : Le32(boot.B, 36), c.FatSectors);
        EXPECT_EQ(boot.B[13], c.ClusterSectors);
        EXPECT_EQ(boot.B[510], 0x55);
        EXPECT_EQ(boot.B[511], 0xAA);
    }
}

TEST(ImageRefusals, SizesTheFileSystemCannotHoldLoseNothing) {
    TempDir dir;
    struct Case {
        const char* Name;
        int64_t Size;
        long Fs;
        long Pt;
    } cases[] = {
        {"fat16-over-2GiB", 2049 * kMiB, kFat16, 0},
        {"fat16-too-few-clusters", 4 * kMiB, kFat16, 0},
        {"fat32-below-66600-sectors", 32 * kMiB, kFat32, 0},
        {"smaller-than-the-tail", 32768, kFat16, 0},
        {"negative", -1, kFat32, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        // An existing file of that name stays as it was.
        std::string path = dir.File(c.Name);
        WriteAll(path, std::vector<uint8_t>(1000, 0x5A));
        EXPECT_EQ(svc::SvcCreateImage(path.c_str(), c.Size, c.Fs, c.Pt, "L"), 87);
        EXPECT_EQ(ReadAll(path), std::vector<uint8_t>(1000, 0x5A));
    }
}

TEST(ImagePartitionTable, EntryEndsWithTheImageAndVolumeSitsAtSector63) {
    TempDir dir;
    for (long fs : {kFat16, kFat32}) {
        std::string path = dir.File(fs == kFat16 ? "p16" : "p32");
        ASSERT_EQ(svc::SvcCreateImage(path.c_str(), 64 * kMiB, fs, 1, "LBL"), 0);
        std::vector<uint8_t> mbr = ReadBytes(path, 0, 512);
        EXPECT_EQ(Le32(mbr, 440), 0x7ABE03FEu);
        EXPECT_EQ(Le16(mbr, 444), 0);
        EXPECT_EQ(mbr[446], 0x80);
        EXPECT_EQ(mbr[450], fs == kFat16 ? 0x0E : 0x0B);
        EXPECT_EQ(Le32(mbr, 454), 63u);
        EXPECT_EQ(Le32(mbr, 458), uint32_t(64 * kMiB / 512 - 63));
        for (size_t i = 462; i < 510; ++i) ASSERT_EQ(mbr[i], 0) << i;
        EXPECT_EQ(Le16(mbr, 510), 0xAA55);
        std::vector<uint8_t> boot = ReadBytes(path, 63 * 512, 512);
        EXPECT_EQ(boot[0], 0xEB);
        EXPECT_EQ(Le32(boot, 28), 63u);
    }
    // Without a table the volume starts at byte 0 and hidden sectors still say 63.
    std::string plain = dir.File("plain");
    ASSERT_EQ(svc::SvcCreateImage(plain.c_str(), 64 * kMiB, kFat16, 0, "X"), 0);
    std::vector<uint8_t> boot = ReadBytes(plain, 0, 512);
    EXPECT_EQ(std::memcmp(&boot[0], "\xEB\x3C\x90Orvantis", 11), 0);
    EXPECT_EQ(Le32(boot, 28), 63u);
}

TEST(ImageFat16, BothFatsStartAlikeWithACleanVolumeAndTheLabelEntry) {
    TempDir dir;
    std::string path = dir.File("f16");
    ASSERT_EQ(svc::SvcCreateImage(path.c_str(), 200 * kMiB, kFat16, 0, "ABCDEFGHIJKLMNOP"), 0);
    std::vector<uint8_t> boot = ReadBytes(path, 0, 512);
    uint32_t fat = Le16(boot, 22);
    // A label longer than 11 characters is cut, in the boot sector and the entry.
    EXPECT_EQ(std::memcmp(&boot[43], "ABCDEFGHIJK", 11), 0);
    EXPECT_EQ(std::memcmp(&boot[54], "FAT16   ", 8), 0);
    EXPECT_EQ(boot[38], 0x29);
    std::vector<uint8_t> first = ReadBytes(path, 8 * 512, 512);
    std::vector<uint8_t> second = ReadBytes(path, (8 + fat) * 512, 512);
    EXPECT_EQ(first, second);
    EXPECT_EQ(Le32(first, 0), 0xFFFFFFF8u);
    std::vector<uint8_t> root = ReadBytes(path, (8 + 2 * fat) * 512, 32);
    EXPECT_EQ(std::memcmp(&root[0], "ABCDEFGHIJK", 11), 0);
    EXPECT_EQ(root[11], 0x08);
    for (size_t i = 12; i < 32; ++i) EXPECT_EQ(root[i], 0) << i;
}

TEST(ImageFat32, ReservedSectorsFatsAndRootAsLaidOut) {
    TempDir dir;
    std::string path = dir.File("f32");
    // The root directory of a 4 GiB image lies far beyond the mapped window.
    ASSERT_EQ(svc::SvcCreateImage(path.c_str(), 4096 * kMiB, kFat32, 0, "SHORT"), 0);
    std::vector<uint8_t> boot = ReadBytes(path, 0, 512);
    const uint32_t fat = Le32(boot, 36);
    EXPECT_EQ(std::memcmp(&boot[0], "\xEB\x58\x90Orvantis", 11), 0);
    EXPECT_EQ(Le16(boot, 14), 32);
    EXPECT_EQ(Le32(boot, 44), 2u);
    EXPECT_EQ(Le16(boot, 48), 1);
    EXPECT_EQ(Le16(boot, 50), 6);
    EXPECT_EQ(Le32(boot, 67), 0xCC36F7A7u);
    EXPECT_EQ(std::memcmp(&boot[71], "NO NAME    FAT32   ", 19), 0);
    for (uint64_t s : {1, 7}) {
        std::vector<uint8_t> info = ReadBytes(path, s * 512, 512);
        EXPECT_EQ(Le32(info, 0), 0x41615252u);
        EXPECT_EQ(Le32(info, 484), 0x61417272u);
        EXPECT_EQ(Le32(info, 488), 0xFFFFFFFFu);
        EXPECT_EQ(Le32(info, 492), 0xFFFFFFFFu);
        EXPECT_EQ(Le32(info, 508), 0xAA550000u);
    }
    EXPECT_EQ(ReadBytes(path, 6 * 512, 512), std::vector<uint8_t>(512, 0));
    for (uint64_t s : {uint64_t(32), uint64_t(32) + fat}) {
        std::vector<uint8_t> f = ReadBytes(path, s * 512, 12);
        EXPECT_EQ(Le32(f, 0), 0x0FFFFFF8u);
        EXPECT_EQ(Le32(f, 4), 0xFFFFFFFFu);
        EXPECT_EQ(Le32(f, 8), 0x0FFFFFFFu);
    }
    std::vector<uint8_t> root = ReadBytes(path, (32 + 2ull * fat) * 512, 32);
    // A short label is padded with zero bytes, not blanks.
    EXPECT_EQ(std::memcmp(&root[0], "SHORT\0\0\0\0\0\0\x08", 12), 0);
}

TEST(ImageSerial, Fat16SerialsFollowTheUnseededSequence) {
    TempDir dir;
    ResetVolumeSerialForTest();
    const uint32_t expected[] = {41, 18467, 6334};
    for (uint32_t want : expected) {
        ASSERT_EQ(svc::SvcCreateImage(dir.File("s").c_str(), 64 * kMiB, kFat16, 0, "S"), 0);
        EXPECT_EQ(Le32(ReadBytes(dir.File("s"), 0, 512), 39), want);
    }
}

TEST(ImageOtherFsType, OnlyASizedEmptyFile) {
    TempDir dir;
    std::string path = dir.File("raw");
    WriteAll(path, std::vector<uint8_t>(4096, 0x77));
    ASSERT_EQ(svc::SvcCreateImage(path.c_str(), 3 * kMiB + 5, 7, 1, "X"), 0);
    EXPECT_EQ(FileSize(path), uint64_t(3 * kMiB + 5));
    EXPECT_EQ(ReadBytes(path, 0, 4096), std::vector<uint8_t>(4096, 0));
}

}  // namespace
