// Images checked by tools no one here wrote: fsck.fat, mtools, sfdisk.
#include <gtest/gtest.h>

#include <sstream>

#include "svc_under_test.h"
#include "test_util.h"

namespace {

constexpr int64_t kMiB = 1048576;

// fsck.fat findings the image layout asks for on purpose: the label padded
// with zero bytes, the FAT32 backup boot sector left zero, and the FSInfo
// free count left "unknown".
bool AcceptedFsckLine(const std::string& line) {
    static const char* accepted[] = {
        "fsck.fat ", "Volume label '", "  Auto-removing label.", "There are differences between boot sector",
        "This is mostly harmless.", "  0:", "  , ", "  Not automatically fixing this.",
        "Free cluster summary uninitialized", "Leaving filesystem unchanged.",
    };
    if (line.empty()) return true;
    for (const char* a : accepted)
        if (line.rfind(a, 0) == 0) return true;
    // The closing summary: "<name>: N files, U/C clusters".
    return line.find(" files, ") != std::string::npos && line.find(" clusters") != std::string::npos;
}

std::string UnacceptedFsckFindings(const std::string& output) {
    std::istringstream in(output);
    std::string line, bad;
    while (std::getline(in, line))
        if (!AcceptedFsckLine(line)) bad += line + "\n";
    return bad;
}

bool HaveTools() {
    for (const char* tool : {"fsck.fat", "minfo", "mdir", "mcopy"}) {
        if (!ToolAvailable(tool)) {
            std::cout << "skipping: " << tool << " is not installed\n";
            return false;
        }
    }
    return true;
}

struct ToolCase {
    int64_t MiB;
    long Fs;
    long Pt;
};

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.MiB << " MiB fs " << c.Fs << " pt " << c.Pt; }

class ImageTools : public ::testing::TestWithParam<ToolCase> {};

TEST_P(ImageTools, IndependentToolsReadLabelAndStoreAFile) {
    if (!HaveTools()) GTEST_SKIP() << "FAT tools missing";
    const ToolCase c = GetParam();
    TempDir dir;
    const std::string image = dir.File("disk.img");
    ASSERT_EQ(svc::SvcCreateImage(image.c_str(), c.MiB * kMiB, c.Fs, c.Pt, "TARNLBL"), 0);
    const std::string mimage = Quote(c.Pt ? image + "@@32256" : image);

    // fsck.fat has no offset: check a sparse copy of the volume behind the table.
    std::string volume = image;
    if (c.Pt) {
        volume = dir.File("volume.img");
        ToolRun dd = RunTool("dd if=" + Quote(image) + " of=" + Quote(volume) +
                             " bs=512 skip=63 conv=sparse status=none");
        ASSERT_EQ(dd.Status, 0) << dd.Output;
        if (ToolAvailable("sfdisk")) {
            ToolRun verify = RunTool("sfdisk --verify " + Quote(image));
            EXPECT_EQ(verify.Status, 0) << verify.Output;
            EXPECT_EQ(verify.Output.find("greater than"), std::string::npos) << verify.Output;
        } else {
            std::cout << "sfdisk is not installed (package fdisk): partition table not verified\n";
        }
    }
    ToolRun fsck = RunTool("fsck.fat -n " + Quote(volume));
    EXPECT_EQ(UnacceptedFsckFindings(fsck.Output), "") << fsck.Output;

    ToolRun info = RunTool("MTOOLS_SKIP_CHECK=1 minfo -i " + mimage + " ::");
    EXPECT_EQ(info.Status, 0) << info.Output;
    EXPECT_NE(info.Output.find(c.Fs == 0 ? "FAT16" : "FAT32"), std::string::npos) << info.Output;
    ToolRun listing = RunTool("MTOOLS_SKIP_CHECK=1 mdir -i " + mimage + " ::");
    EXPECT_EQ(listing.Status, 0) << listing.Output;
    EXPECT_NE(listing.Output.find("Volume in drive : is TARNLBL"), std::string::npos) << listing.Output;

    const std::string in = dir.File("in.bin"), out = dir.File("out.bin");
    std::vector<uint8_t> content(300000);
    for (size_t i = 0; i < content.size(); ++i) content[i] = uint8_t(i * 7 + i / 251);
    WriteAll(in, content);
    ToolRun store = RunTool("MTOOLS_SKIP_CHECK=1 mcopy -i " + mimage + " " + Quote(in) + " ::/DATA.BIN");
    ASSERT_EQ(store.Status, 0) << store.Output;
    ToolRun fetch = RunTool("MTOOLS_SKIP_CHECK=1 mcopy -i " + mimage + " ::/DATA.BIN " + Quote(out));
    ASSERT_EQ(fetch.Status, 0) << fetch.Output;
    EXPECT_EQ(ReadAll(out), content);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ImageTools,
    ::testing::Values(ToolCase{8, 0, 0}, ToolCase{20, 0, 0}, ToolCase{100, 0, 0}, ToolCase{200, 0, 0},
                      ToolCase{200, 0, 1}, ToolCase{300, 0, 0}, ToolCase{1024, 0, 1}, ToolCase{2048, 0, 0},
                      ToolCase{33, 1, 0}, ToolCase{64, 1, 1}, ToolCase{260, 1, 0}, ToolCase{1024, 1, 0},
                      ToolCase{1024, 1, 1}, ToolCase{4096, 1, 0}, ToolCase{8192, 1, 0}),
    [](const ::testing::TestParamInfo<ToolCase>& info) {
        return std::string(info.param.Fs == 0 ? "fat16_" : "fat32_") + std::to_string(info.param.MiB) + "MiB" +
               (info.param.Pt ? "_partitioned" : "");
    });

}  // namespace
