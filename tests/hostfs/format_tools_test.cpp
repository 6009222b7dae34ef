// Volumes we format must satisfy fsck.fat and mtools, and our recognizer must
// count space exactly as they do, before and after mtools stores files.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/host/fs/fat_formatter.h"
#include "platform/host/fs/recognizer.h"
#include "tests/hostfs/fat_tools.h"
#include "tests/hostfs/volume_file.h"

namespace tarn::hostfs::test {
namespace {

constexpr std::uint64_t kMiB = 1 << 20;

struct FormatCase {
    const char* name;
    std::uint64_t bytes;
    FatFormatKind kind;
    FileSystemKind expect;
};

// Sizes a user formats, plus ones whose length is not a whole number of
// clusters and the smallest FAT32 volume.
const FormatCase kCases[] = {
    {"floppy 1.44 MiB", 1474560, FatFormatKind::Fat, FileSystemKind::Fat12},
    {"4 MiB", 4 * kMiB, FatFormatKind::Fat, FileSystemKind::Fat12},
    {"16 MiB", 16 * kMiB, FatFormatKind::Fat, FileSystemKind::Fat16},
    {"100 MiB", 100 * kMiB, FatFormatKind::Fat, FileSystemKind::Fat16},
    {"100 MiB", 100 * kMiB, FatFormatKind::Fat32, FileSystemKind::Fat32},
    {"300 MiB", 300 * kMiB, FatFormatKind::Fat, FileSystemKind::Fat16},
    {"300 MiB + 7 sectors", 300 * kMiB + 7 * 512, FatFormatKind::Fat, FileSystemKind::Fat16},
    {"300 MiB + 7 sectors", 300 * kMiB + 7 * 512, FatFormatKind::Fat32, FileSystemKind::Fat32},
    {"1 GiB", 1024 * kMiB, FatFormatKind::Fat, FileSystemKind::Fat16},
    {"1 GiB", 1024 * kMiB, FatFormatKind::Fat32, FileSystemKind::Fat32},
    {"1 GiB + 3 sectors", 1024 * kMiB + 3 * 512, FatFormatKind::Fat32, FileSystemKind::Fat32},
    {"4 GiB", 4096 * kMiB, FatFormatKind::Fat32, FileSystemKind::Fat32},
    {"smallest FAT32", 66600 * 512, FatFormatKind::Fat32, FileSystemKind::Fat32},
};

std::string describe(const FormatCase& c) {
    return std::string(c.name) + (c.kind == FatFormatKind::Fat ? " FAT" : " FAT32");
}

void writeFile(const std::filesystem::path& path, std::size_t size, unsigned seed) {
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>((i * 131 + seed * 7 + i / 511) & 0xFF));
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void expectSpaceAgrees(const MountResult& mount, const FsckReport& fsck, const MdirReport& mdir) {
    ASSERT_TRUE(mount.mounted()) << mount.reason;
    EXPECT_EQ(mount.volume.bytesPerCluster, fsck.clusterBytes);
    EXPECT_EQ(mount.volume.totalBytes, fsck.totalBytes());
    EXPECT_EQ(mount.volume.freeBytes, fsck.freeBytes());
    ASSERT_TRUE(mdir.freeBytes.has_value()) << mdir.run.output;
    EXPECT_EQ(mount.volume.freeBytes, *mdir.freeBytes);
}

TEST(FormatAgreesWithFatTools, FormattedVolumesCheckCleanAndCountSpaceLikeTheTools) {
    const auto fsck = findTool("fsck.fat");
    if (!fsck || !findTool("mcopy") || !findTool("mdir") || !findTool("minfo"))
        GTEST_SKIP() << "fsck.fat (dosfstools) or mtools is not installed";
    TempDir dir;
    const auto small = dir.path() / "small.bin";
    const auto large = dir.path() / "large.bin";
    writeFile(small, 1000, 1);
    writeFile(large, 300 * 1024 + 17, 2);

    for (const FormatCase& c : kCases) {
        SCOPED_TRACE(describe(c));
        const auto image = dir.path() / "volume.img";
        makeSparseFile(image, c.bytes);
        FormatOptions options;
        options.kind = c.kind;
        options.label = "Tarn Vol1";
        options.serial = 0x1234ABCD;
        {
            VolumeFile volume(image);
            const FormatResult formatted = formatFat(volume.sink(), options);
            ASSERT_TRUE(formatted.ok()) << formatted.message;
        }

        FsckReport check = checkFat(*fsck, image);
        EXPECT_TRUE(check.clean()) << check.run.output;
        const ToolRun info = runTool(mtoolsEnv() + "minfo -i " + quoted(image) + " ::");
        EXPECT_EQ(info.exitCode, 0) << info.output;
        EXPECT_NE(info.output.find("disk label=\"TARN VOL1  \""), std::string::npos) << info.output;
        EXPECT_NE(info.output.find("serial number: 1234ABCD"), std::string::npos) << info.output;
        MdirReport root = listRoot(image);
        EXPECT_EQ(root.label, "TARN VOL1") << root.run.output;

        {
            VolumeFile volume(image);
            const MountResult mount = recognizeVolume(volume.reader());
            ASSERT_TRUE(mount.mounted()) << mount.reason;
            EXPECT_EQ(mount.volume.kind, c.expect);
            EXPECT_EQ(mount.volume.fileSystemName, c.kind == FatFormatKind::Fat ? "FAT" : "FAT32");
            EXPECT_EQ(mount.volume.label, "TARN VOL1");
            EXPECT_EQ(mount.volume.serial, 0x1234ABCDu);
            expectSpaceAgrees(mount, check, root);
        }

        // Store files with mtools, read them back, and count again.
        const ToolRun copyIn = runTool(mtoolsEnv() + "mcopy -i " + quoted(image) + " " + quoted(small) + " " +
                                       quoted(large) + " ::/");
        ASSERT_EQ(copyIn.exitCode, 0) << copyIn.output;
        const auto back = dir.path() / "back.bin";
        std::filesystem::remove(back);
        const ToolRun copyOut = runTool(mtoolsEnv() + "mcopy -i " + quoted(image) + " ::/large.bin " + quoted(back));
        ASSERT_EQ(copyOut.exitCode, 0) << copyOut.output;
        EXPECT_EQ(readFile(back), readFile(large));

        check = checkFat(*fsck, image);
        EXPECT_TRUE(check.clean()) << check.run.output;
        root = listRoot(image);
        EXPECT_NE(root.run.output.find("large"), std::string::npos) << root.run.output;
        VolumeFile volume(image);
        const MountResult mount = recognizeVolume(volume.reader());
        expectSpaceAgrees(mount, check, root);
        EXPECT_LT(mount.volume.freeBytes, mount.volume.totalBytes - 300 * 1024);
        std::filesystem::remove(image);
    }
}

}  // namespace
}  // namespace tarn::hostfs::test
