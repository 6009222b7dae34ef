// What the recognizer makes of CD/DVD images: discs made by xorriso mount as
// "CDFS" with their label and no free space; damaged, foreign or truncated
// descriptor sets never mount garbage, never read without end, and a set
// that breaks off is reported as the read failure it is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/fs/iso_recognizer.h"
#include "platform/host/fs/recognizer.h"

namespace tarn::hostfs {
namespace {

constexpr IoStatus kEndOfFile = static_cast<IoStatus>(0xC0000011);
constexpr IoStatus kDeviceDataError = static_cast<IoStatus>(0xC000009C);
constexpr std::uint64_t kDescriptor16 = 16 * kIsoSectorSize;
constexpr std::uint64_t kDescriptor17 = 17 * kIsoSectorSize;

// A volume in memory; reads past its end fail as the device's would.
struct Volume {
    explicit Volume(std::vector<std::uint8_t> b = {}) : bytes(std::move(b)) {}
    std::vector<std::uint8_t> bytes;
    std::function<IoStatus(std::uint64_t)> failAt;  // optional injected failure
    mutable unsigned reads = 0;

    ReadFn reader() const {
        return [this](std::uint64_t offset, std::span<std::uint8_t> out) -> IoStatus {
            ++reads;
            if (failAt) {
                if (const IoStatus s = failAt(offset); s != kIoSuccess) return s;
            }
            if (offset > bytes.size() || out.size() > bytes.size() - offset) return kEndOfFile;
            std::memcpy(out.data(), bytes.data() + offset, out.size());
            return kIoSuccess;
        };
    }
};

class IsoImages : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarn-cdfs-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::filesystem::create_directories(dir_ + "/tree");
        std::ofstream(dir_ + "/tree/readme.txt") << "on the disc\n";
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // The bytes of an image xorriso made with these options; empty when
    // xorriso is missing.
    std::vector<std::uint8_t> make(const std::string& options) {
        const std::string iso = dir_ + "/disc.iso";
        std::filesystem::remove(iso);
        const std::string command = "xorriso -as mkisofs -input-charset UTF-8 " + options + " -o '" + iso + "' '" +
                                    dir_ + "/tree' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) return {};
        std::ifstream in(iso, std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
    }

    Volume plainDisc() {
        Volume v{make("-V PLAIN_DISC")};
        if (v.bytes.empty()) ADD_FAILURE() << "xorriso is needed";
        return v;
    }

    std::string dir_;
};

TEST_F(IsoImages, DiscsMountAsCdfsWithTheirLabelAndNoFreeSpace) {
    struct Case {
        const char* options;
        const char* label;
        bool joliet;
    };
    // Joliet keeps 16 characters and any script; the primary descriptor 32.
    const Case cases[] = {
        {"-V PLAIN_DISC", "PLAIN_DISC", false},
        {"-V 'Mixed Case Label' -J", "Mixed Case Label", true},
        {"-V 'Été 2026 disc with long name' -J", "Été 2026 disc wi", true},
        {"-V 'Été 2026 disc with long name'", "Été 2026 disc with long name", false},
        {"-V ''", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const Volume volume{make(c.options)};
        if (volume.bytes.empty()) GTEST_SKIP() << "xorriso is missing";
        const MountResult mount = recognizeVolume(volume.reader());
        ASSERT_TRUE(mount.mounted()) << mount.reason;
        const VolumeInfo& v = mount.volume;
        EXPECT_EQ(v.kind, FileSystemKind::Cdfs);
        EXPECT_EQ(v.fileSystemName, "CDFS");
        EXPECT_EQ(v.label, c.label);
        EXPECT_EQ(v.totalBytes, volume.bytes.size()) << "xorriso's volume fills its file";
        EXPECT_EQ(v.freeBytes, 0u);
        EXPECT_EQ(v.availableBytes, 0u);
        EXPECT_EQ(v.freeClusters, 0u);
        EXPECT_EQ(v.bytesPerSector, 2048u);
        EXPECT_EQ(v.maxComponentLength, c.joliet ? 110u : 221u);
        EXPECT_EQ((v.fileSystemFlags & 0x4) != 0, c.joliet) << "Unicode names only with Joliet";
        EXPECT_NE(v.fileSystemFlags & 0x80000, 0u) << "a disc is a read-only volume";
    }
}

TEST_F(IsoImages, DiscsWithDifferentDescriptorsGetDifferentSerials) {
    const Volume a{make("-V FIRST -J")}, b{make("-V SECOND -J")};
    if (a.bytes.empty() || b.bytes.empty()) GTEST_SKIP() << "xorriso is missing";
    const MountResult ma = recognizeVolume(a.reader()), mb = recognizeVolume(b.reader());
    ASSERT_TRUE(ma.mounted() && mb.mounted());
    EXPECT_NE(ma.volume.serial, 0u);
    EXPECT_NE(ma.volume.serial, mb.volume.serial);
    EXPECT_EQ(recognizeVolume(a.reader()).volume.serial, ma.volume.serial) << "stable across mounts";
}

TEST_F(IsoImages, DamagedForeignOrShortDescriptorsAreNoFileSystem) {
    const Volume good = plainDisc();
    if (good.bytes.empty()) return;
    struct Case {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> damage;
    };
    const Case cases[] = {
        {"identifier not CD001", [](auto& b) { b[kDescriptor16 + 3] = 'X'; }},
        {"unknown descriptor version", [](auto& b) { b[kDescriptor16 + 6] = 2; }},
        {"space size halves disagree", [](auto& b) { b[kDescriptor16 + 80] ^= 1; }},
        {"block size halves disagree", [](auto& b) { b[kDescriptor16 + 131] ^= 1; }},
        {"block size 4096",
         [](auto& b) {
             b[kDescriptor16 + 128] = 0x00, b[kDescriptor16 + 129] = 0x10;
             b[kDescriptor16 + 130] = 0x10, b[kDescriptor16 + 131] = 0x00;
         }},
        {"empty volume", [](auto& b) { std::fill_n(b.begin() + kDescriptor16 + 80, 8, 0); }},
        {"only a terminator", [](auto& b) { b[kDescriptor16] = 255; }},
        {"too short for sector 16", [](auto& b) { b.resize(kDescriptor16 + 1000); }},
        {"ciphertext",
         [](auto& b) {
             std::mt19937 rng(7);
             for (auto& x : b) x = static_cast<std::uint8_t>(rng());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Volume damaged = good;
        c.damage(damaged.bytes);
        const MountResult mount = recognizeVolume(damaged.reader());
        EXPECT_EQ(mount.outcome, MountOutcome::NoFileSystem) << mount.volume.fileSystemName;
    }
}

TEST_F(IsoImages, DescriptorSetIsReadToItsEndButNoFurther) {
    const Volume good = plainDisc();
    if (good.bytes.empty()) return;

    // No terminator, and every sector after the primary descriptor looks like
    // another supplementary descriptor: the search stops by itself.
    Volume endless = good;
    endless.bytes.resize(std::max<std::size_t>(endless.bytes.size(), 400 * kIsoSectorSize));
    std::vector<std::uint8_t> other(endless.bytes.begin() + kDescriptor16,
                                    endless.bytes.begin() + kDescriptor16 + kIsoSectorSize);
    other[0] = 2;
    for (std::uint64_t s = 17; s < 400; ++s) std::copy(other.begin(), other.end(), endless.bytes.begin() + s * kIsoSectorSize);
    const MountResult mount = recognizeVolume(endless.reader());
    ASSERT_TRUE(mount.mounted()) << mount.reason;
    EXPECT_EQ(mount.volume.label, "PLAIN_DISC") << "a supplementary descriptor without Joliet's escape is not Joliet";
    EXPECT_LE(endless.reads, kIsoMaxDescriptors + 4);

    // A set that breaks off after its primary descriptor is a failed read,
    // with the device's own status, not a disc without a file system.
    Volume failing = good;
    failing.failAt = [](std::uint64_t offset) { return offset == kDescriptor17 ? kDeviceDataError : kIoSuccess; };
    const MountResult failed = recognizeVolume(failing.reader());
    EXPECT_EQ(failed.outcome, MountOutcome::ReadFailed);
    EXPECT_EQ(failed.ioStatus, kDeviceDataError);
}

TEST(JolietLabel, BrokenSurrogatesBecomeReplacementCharacters) {
    // A hand-made set: primary, Joliet with a lone high surrogate, terminator.
    Volume v;
    v.bytes.assign(20 * kIsoSectorSize, 0);
    auto descriptor = [&](std::uint64_t sector, std::uint8_t type) {
        std::uint8_t* d = v.bytes.data() + sector * kIsoSectorSize;
        d[0] = type;
        std::memcpy(d + 1, "CD001", 5);
        d[6] = 1;
        const std::uint8_t space[8] = {20, 0, 0, 0, 0, 0, 0, 20}, block[4] = {0, 8, 8, 0};
        std::memcpy(d + 80, space, 8);
        std::memcpy(d + 128, block, 4);
        return d;
    };
    std::memset(descriptor(16, 1) + 40, ' ', 32);
    std::uint8_t* j = descriptor(17, 2);
    std::memcpy(j + 88, "%/E", 3);
    const std::uint8_t label[] = {0x00, 'A', 0xD8, 0x3D, 0x00, 'B', 0xD8, 0x3D, 0xDE, 0x00};  // A, lone, B, U+1F600
    std::memcpy(j + 40, label, sizeof label);
    descriptor(18, 255);
    const MountResult mount = recognizeVolume(v.reader());
    ASSERT_TRUE(mount.mounted()) << mount.reason;
    EXPECT_EQ(mount.volume.label, "A\xEF\xBF\xBD" "B\xF0\x9F\x98\x80");
    EXPECT_EQ(mount.volume.totalBytes, 20 * kIsoSectorSize);
}

}  // namespace
}  // namespace tarn::hostfs
