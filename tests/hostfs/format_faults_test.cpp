// The formatter's own faults: writing outside the metadata, leaving a
// mountable half-format after a failed write, layouts a FAT driver would read
// as another type, sizes outside the limits, and bad labels.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "platform/host/fs/fat_formatter.h"
#include "platform/host/fs/fat_label.h"
#include "platform/host/fs/recognizer.h"
#include "tests/hostfs/memory_volume.h"

namespace tarn::hostfs::test {
namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint8_t kOldData = 0xA5;

using Ranges = std::map<std::uint64_t, std::uint64_t>;  // start -> end, merged

void addRange(Ranges& ranges, std::uint64_t start, std::uint64_t end) {
    auto it = ranges.upper_bound(start);
    if (it != ranges.begin() && std::prev(it)->second >= start) {
        --it;
        start = it->first;
        end = std::max(end, it->second);
        it = ranges.erase(it);
    }
    while (it != ranges.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = ranges.erase(it);
    }
    ranges[start] = end;
}

TEST(FormatWritesOnlyMetadata, ReservedAreaFatsAndRootDirectoryAndNothingElse) {
    struct Case {
        std::uint64_t bytes;
        FatFormatKind kind;
    };
    const Case cases[] = {
        {1474560, FatFormatKind::Fat},          {16 * kMiB, FatFormatKind::Fat},
        {300 * kMiB + 7 * 512, FatFormatKind::Fat}, {100 * kMiB, FatFormatKind::Fat32},
        {4096 * kMiB, FatFormatKind::Fat32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes) + (c.kind == FatFormatKind::Fat ? " FAT" : " FAT32"));
        MemoryVolume volume(c.bytes, kOldData);
        FormatOptions options;
        options.kind = c.kind;
        options.label = "x";
        const FormatResult result = formatFat(volume.sink(), options);
        ASSERT_TRUE(result.ok()) << result.message;
        const FatGeometry& g = result.geometry;

        Ranges expected;
        const std::uint64_t fatsEnd = g.sectorOffset(g.rootDirFirstSector());
        addRange(expected, 0, fatsEnd);
        if (g.type == FatType::Fat32)
            addRange(expected, g.clusterOffset(2), g.clusterOffset(2) + g.clusterBytes());
        else
            addRange(expected, fatsEnd, g.sectorOffset(g.firstDataSector()));

        Ranges written;
        std::uint64_t metadata = 0;
        for (const auto& w : volume.writes()) {
            EXPECT_LE(w.length, kMiB) << "at " << w.offset;
            addRange(written, w.offset, w.offset + w.length);
        }
        for (const auto& [start, end] : expected) metadata += end - start;
        EXPECT_EQ(written, expected);
        // Large chunks: about one write per MiB, plus the small pieces.
        EXPECT_LE(volume.writes().size(), metadata / kMiB + 8);

        // The data area keeps what it held.
        std::vector<std::uint8_t> after(512);
        const std::uint64_t firstFree = g.type == FatType::Fat32 ? g.clusterOffset(3) : g.clusterOffset(2);
        volume.get(firstFree, after);
        EXPECT_TRUE(std::all_of(after.begin(), after.end(), [](std::uint8_t b) { return b == kOldData; }));
    }
}

TEST(FailedFormatIsReported, NoHalfWrittenFileSystemMountsAfterAWriteFails) {
    struct Case {
        FatFormatKind before, after;
    };
    const Case cases[] = {{FatFormatKind::Fat32, FatFormatKind::Fat32}, {FatFormatKind::Fat32, FatFormatKind::Fat},
                          {FatFormatKind::Fat, FatFormatKind::Fat32}};
    for (const Case& c : cases) {
        MemoryVolume original(100 * kMiB);
        FormatOptions old;
        old.kind = c.before;
        old.label = "OLD";
        ASSERT_TRUE(formatFat(original.sink(), old).ok());
        MemoryVolume probe = original;
        probe.clearWrites();
        FormatOptions fresh;
        fresh.kind = c.after;
        fresh.label = "NEW";
        ASSERT_TRUE(formatFat(probe.sink(), fresh).ok());
        const std::size_t writes = probe.writes().size();

        for (std::size_t failAt = 0; failAt < writes; ++failAt) {
            SCOPED_TRACE("write " + std::to_string(failAt) + " of " + std::to_string(writes));
            MemoryVolume volume = original;
            volume.failWritesFrom(failAt);
            const FormatResult result = formatFat(volume.sink(), fresh);
            EXPECT_EQ(result.error, FormatError::WriteFailed);
            EXPECT_EQ(result.ioStatus, kStatusDeviceError);
            EXPECT_FALSE(result.message.empty());
            const MountResult mount = recognizeVolume(volume.reader());
            if (failAt == 0) {
                // Nothing was written: the old file system is intact.
                ASSERT_TRUE(mount.mounted());
                EXPECT_EQ(mount.volume.label, "OLD");
            } else {
                EXPECT_FALSE(mount.mounted()) << mount.volume.label;
            }
        }
    }
}

TEST(FormatLayout, EveryPlannedLayoutReadsBackAsTheSameFatType) {
    std::vector<std::uint64_t> sectors;
    for (std::uint64_t s = 720; s < 20000; s += 37) sectors.push_back(s);
    for (std::uint64_t edge : {8399ull, 8400ull, 8401ull, 32680ull, 32681ull, 66599ull, 66600ull, 66601ull,
                               532480ull, 532481ull, 2097152ull, 4194303ull, 16777216ull, 16777217ull,
                               67108864ull, 67108865ull, 0xFFFFFFFFull})
        sectors.push_back(edge);
    for (std::uint64_t s = 70000; s < 0xFFFFFFFFull; s = s * 5 / 4 + 3) sectors.push_back(s);

    int planned = 0;
    for (std::uint64_t count : sectors) {
        for (FatFormatKind kind : {FatFormatKind::Fat, FatFormatKind::Fat32}) {
            const FatLayout layout = planFatLayout(count * 512, kind);
            if (layout.error != FormatError::None) continue;
            ++planned;
            SCOPED_TRACE(std::to_string(count) + (kind == FatFormatKind::Fat ? " FAT" : " FAT32"));
            const FatGeometry& g = layout.geometry;
            EXPECT_EQ(g.totalSectors, count);
            EXPECT_LE(g.clusterBytes(), 32768u);
            EXPECT_EQ(g.type == FatType::Fat32, kind == FatFormatKind::Fat32);
            EXPECT_EQ(g.type == FatType::Fat12, kind == FatFormatKind::Fat && count <= kMaxFat12Sectors);

            FatBootSector boot;
            boot.geometry = g;
            boot.label = *makeFatLabel("");
            std::vector<std::uint8_t> sector(512);
            encodeFatBootSector(boot, sector);
            const char* why = "";
            const auto parsed = parseFatBootSector(sector, &why);
            ASSERT_TRUE(parsed.has_value()) << why;
            EXPECT_EQ(parsed->geometry.type, g.type);
            EXPECT_EQ(parsed->geometry.clusterCount(), g.clusterCount());
            EXPECT_EQ(parsed->geometry.totalSectors, count);
        }
    }
    EXPECT_GT(planned, 500);
}

TEST(FormatLayout, SizesOutsideTheLimitsAreRefused) {
    struct Case {
        std::uint64_t bytes;
        FatFormatKind kind;
        FormatError error;
    };
    const Case cases[] = {
        {0, FatFormatKind::Fat, FormatError::VolumeTooSmall},
        {719 * 512, FatFormatKind::Fat, FormatError::VolumeTooSmall},
        {720 * 512 - 1, FatFormatKind::Fat, FormatError::VolumeTooSmall},
        {720 * 512, FatFormatKind::Fat, FormatError::None},
        {2047 * kMiB, FatFormatKind::Fat, FormatError::None},
        {2048 * kMiB, FatFormatKind::Fat, FormatError::VolumeTooLarge},
        {4096 * kMiB, FatFormatKind::Fat, FormatError::VolumeTooLarge},
        {1474560, FatFormatKind::Fat32, FormatError::VolumeTooSmall},
        {16 * kMiB, FatFormatKind::Fat32, FormatError::VolumeTooSmall},
        {66599 * 512, FatFormatKind::Fat32, FormatError::VolumeTooSmall},
        {66600 * 512, FatFormatKind::Fat32, FormatError::None},
        {0xFFFFFFFFull * 512, FatFormatKind::Fat32, FormatError::None},
        {0x100000000ull * 512, FatFormatKind::Fat32, FormatError::VolumeTooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes));
        const FatLayout layout = planFatLayout(c.bytes, c.kind);
        EXPECT_EQ(layout.error, c.error) << layout.message;
        EXPECT_EQ(layout.message.empty(), c.error == FormatError::None);
    }

    // A refused format writes nothing.
    MemoryVolume volume(16 * kMiB);
    FormatOptions options;
    options.kind = FatFormatKind::Fat32;
    EXPECT_EQ(formatFat(volume.sink(), options).error, FormatError::VolumeTooSmall);
    EXPECT_TRUE(volume.writes().empty());
}

TEST(FormatLabels, LabelsAreCheckedUpperCasedAndReadBackTrimmed) {
    struct Case {
        const char* given;
        bool accepted;
        const char* readBack;
    };
    const Case cases[] = {
        {"", true, ""},
        {"data", true, "DATA"},
        {"My Disk 01", true, "MY DISK 01"},
        {"ELEVENCHARS", true, "ELEVENCHARS"},
        {"TWELVE CHARS", false, ""},
        {"a.b", false, ""},
        {"star*", false, ""},
        {"tab\there", false, ""},
        {"caf\xc3\xa9", false, ""},
        {"NO NAME", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        MemoryVolume volume(16 * kMiB);
        FormatOptions options;
        options.label = c.given;
        const FormatResult result = formatFat(volume.sink(), options);
        if (!c.accepted) {
            EXPECT_EQ(result.error, FormatError::InvalidLabel);
            EXPECT_TRUE(volume.writes().empty());
            continue;
        }
        ASSERT_TRUE(result.ok()) << result.message;
        const MountResult mount = recognizeVolume(volume.reader());
        ASSERT_TRUE(mount.mounted());
        EXPECT_EQ(mount.volume.label, c.readBack);
    }

    FatLabel raw;
    std::copy_n("\x05" "XYZ       ", 11, raw.begin());
    EXPECT_EQ(readableFatLabel(raw), "\xE5XYZ");
    std::copy_n("AB\0\0\0\0\0\0\0\0\0", 11, raw.begin());
    EXPECT_EQ(readableFatLabel(raw), "AB");
}

}  // namespace
}  // namespace tarn::hostfs::test
