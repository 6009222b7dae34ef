// File systems made by independent tools must be recognised with the name,
// label and sizes those tools report.
#include <gtest/gtest.h>

#include <regex>

#include "platform/host/fs/recognizer.h"
#include "tests/hostfs/fat_tools.h"
#include "tests/hostfs/volume_file.h"

namespace tarn::hostfs::test {
namespace {

constexpr std::uint64_t kMiB = 1 << 20;

MountResult recognizeImage(const std::filesystem::path& image) {
    VolumeFile volume(image);
    return recognizeVolume(volume.reader());
}

struct MkfsFatCase {
    const char* options;
    std::uint64_t bytes;
    const char* label;   // as our recognizer must report it
    FileSystemKind expect;
};

const MkfsFatCase kMkfsFatCases[] = {
    {"-F 12 -n FLOPPY", 1474560, "FLOPPY", FileSystemKind::Fat12},
    {"-F 12 -s 8", 12 * kMiB, "", FileSystemKind::Fat12},
    {"-F 16 -n SIXTEEN", 64 * kMiB, "SIXTEEN", FileSystemKind::Fat16},
    {"-F 16 -s 64 -n BIGCLUSTERS", 1024 * kMiB, "BIGCLUSTERS", FileSystemKind::Fat16},
    {"-F 16 -S 2048 -n WIDESECTORS", 200 * kMiB, "WIDESECTORS", FileSystemKind::Fat16},
    {"-F 32 -n THIRTYTWO", 300 * kMiB, "THIRTYTWO", FileSystemKind::Fat32},
    {"-F 32 -S 4096 -n FOURK", 600 * kMiB, "FOURK", FileSystemKind::Fat32},
    {"-F 32", 2048 * kMiB, "", FileSystemKind::Fat32},
};

TEST(RecognizerAgreesWithTools, FatVolumesFromMkfsFat) {
    const auto mkfs = findTool("mkfs.fat");
    const auto fsck = findTool("fsck.fat");
    if (!mkfs || !fsck || !findTool("mcopy")) GTEST_SKIP() << "dosfstools or mtools is not installed";
    TempDir dir;
    const auto payload = dir.path() / "payload.bin";
    makeSparseFile(payload, 200 * 1024 + 5);

    for (const MkfsFatCase& c : kMkfsFatCases) {
        SCOPED_TRACE(c.options);
        const auto image = dir.path() / "volume.img";
        makeSparseFile(image, c.bytes);
        const ToolRun made = runTool(*mkfs + " " + c.options + " -i 12345678 " + quoted(image));
        ASSERT_EQ(made.exitCode, 0) << made.output;

        for (int round = 0; round < 2; ++round) {
            const FsckReport check = checkFat(*fsck, image);
            ASSERT_TRUE(check.clean()) << check.run.output;
            const MountResult mount = recognizeImage(image);
            ASSERT_TRUE(mount.mounted()) << mount.reason;
            EXPECT_EQ(mount.volume.kind, c.expect);
            EXPECT_EQ(mount.volume.fileSystemName, c.expect == FileSystemKind::Fat32 ? "FAT32" : "FAT");
            EXPECT_EQ(mount.volume.label, c.label);
            EXPECT_EQ(mount.volume.serial, 0x12345678u);
            EXPECT_EQ(mount.volume.bytesPerCluster, check.clusterBytes);
            EXPECT_EQ(mount.volume.totalBytes, check.totalBytes());
            EXPECT_EQ(mount.volume.freeBytes, check.freeBytes());
            if (round == 1) break;
            // Second round: after a file is stored the free count must follow.
            const ToolRun copied =
                runTool(mtoolsEnv() + "mcopy -i " + quoted(image) + " " + quoted(payload) + " ::/");
            ASSERT_EQ(copied.exitCode, 0) << copied.output;
        }
        std::filesystem::remove(image);
    }
}

struct Superblock {
    std::string label;
    std::uint64_t blockSize = 0, blocks = 0, freeBlocks = 0;
    std::uint32_t uuidHead = 0;
};

Superblock dumpSuperblock(const std::string& dumpe2fs, const std::filesystem::path& image) {
    const ToolRun run = runTool(dumpe2fs + " -h " + quoted(image));
    Superblock sb;
    std::smatch m;
    const std::string& out = run.output;
    if (std::regex_search(out, m, std::regex(R"(Filesystem volume name:\s*([^\n]*))")))
        sb.label = m[1].str() == "<none>" ? "" : m[1].str();
    if (std::regex_search(out, m, std::regex(R"(Block size:\s*(\d+))"))) sb.blockSize = std::stoull(m[1]);
    if (std::regex_search(out, m, std::regex(R"(Block count:\s*(\d+))"))) sb.blocks = std::stoull(m[1]);
    if (std::regex_search(out, m, std::regex(R"(Free blocks:\s*(\d+))"))) sb.freeBlocks = std::stoull(m[1]);
    if (std::regex_search(out, m, std::regex(R"(Filesystem UUID:\s*([0-9a-f]{8}))")))
        sb.uuidHead = static_cast<std::uint32_t>(std::stoul(m[1], nullptr, 16));
    return sb;
}

struct MkfsExtCase {
    const char* tool;
    const char* options;
    std::uint64_t bytes;
    const char* name;
    FileSystemKind expect;
};

const MkfsExtCase kMkfsExtCases[] = {
    {"mkfs.ext2", "-L plain2", 16 * kMiB, "ext2", FileSystemKind::Ext2},
    {"mkfs.ext2", "-b 4096", 64 * kMiB, "ext2", FileSystemKind::Ext2},
    {"mkfs.ext3", "-L journal3", 64 * kMiB, "ext3", FileSystemKind::Ext3},
    {"mkfs.ext4", "-L Extents4", 300 * kMiB, "ext4", FileSystemKind::Ext4},
    {"mkfs.ext4", "-b 4096 -O ^64bit -L no64bit", 600 * kMiB, "ext4", FileSystemKind::Ext4},
    {"mkfs.ext4", "-b 4096 -O 64bit -L Label16CharsWXYZ", 1024 * kMiB, "ext4", FileSystemKind::Ext4},
};

TEST(RecognizerAgreesWithTools, ExtVolumesFromMkfsExt) {
    const auto dumpe2fs = findTool("dumpe2fs");
    if (!dumpe2fs || !findTool("mkfs.ext4")) GTEST_SKIP() << "e2fsprogs (mkfs.ext*, dumpe2fs) is not installed";
    const auto debugfs = findTool("debugfs");
    TempDir dir;
    const auto payload = dir.path() / "payload.bin";
    makeSparseFile(payload, 2 * kMiB + 3);

    for (const MkfsExtCase& c : kMkfsExtCases) {
        SCOPED_TRACE(std::string(c.tool) + " " + c.options);
        const auto tool = findTool(c.tool);
        ASSERT_TRUE(tool.has_value());
        const auto image = dir.path() / "volume.img";
        makeSparseFile(image, c.bytes);
        const ToolRun made = runTool(*tool + " -q -F " + c.options + " " + quoted(image));
        ASSERT_EQ(made.exitCode, 0) << made.output;

        for (int round = 0; round < 2; ++round) {
            const Superblock sb = dumpSuperblock(*dumpe2fs, image);
            ASSERT_NE(sb.blockSize, 0u);
            const MountResult mount = recognizeImage(image);
            ASSERT_TRUE(mount.mounted()) << mount.reason;
            EXPECT_EQ(mount.volume.kind, c.expect);
            EXPECT_EQ(mount.volume.fileSystemName, c.name);
            EXPECT_EQ(mount.volume.label, sb.label);
            EXPECT_EQ(mount.volume.serial, sb.uuidHead);
            EXPECT_EQ(mount.volume.bytesPerCluster, sb.blockSize);
            EXPECT_EQ(mount.volume.totalBytes, sb.blocks * sb.blockSize);
            EXPECT_EQ(mount.volume.freeBytes, sb.freeBlocks * sb.blockSize);
            if (round == 1 || !debugfs) break;
            // Second round: debugfs stores a file and the counts must follow.
            const ToolRun wrote = runTool(*debugfs + " -w -R " + test::quoted("write " + payload.string() + " p.bin") +
                                          " " + quoted(image));
            ASSERT_EQ(wrote.exitCode, 0) << wrote.output;
        }
        std::filesystem::remove(image);
    }
}

}  // namespace
}  // namespace tarn::hostfs::test
