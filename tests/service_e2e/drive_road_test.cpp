// One request's road on a live machine: a FAT32 drive with files encrypted in
// place, checked byte by byte against OpenSSL, locked, carried over a host
// restart, unlocked, and decrypted back to the very same bytes.
#include "crypto_check.h"
#include "service_machine.h"

namespace tarn::svce2e {
namespace {

constexpr uint64_t kDriveBytes = 40ull << 20;
const char* const kMkfs = "/usr/sbin/mkfs.fat";
const char* const kMcopy = "/usr/bin/mcopy";
const char* const kMdir = "/usr/bin/mdir";

// Formats a backing file as FAT32 and puts a few files on it with mtools.
void FillFat32(const std::string& root, const std::string& backing) {
    const RunResult mkfs = RunProgram(kMkfs, {"-F", "32", "-s", "1", "-n", "ROADVOL", backing});
    ASSERT_EQ(mkfs.status, 0) << mkfs.output;
    for (int i = 0; i < 3; ++i) {
        const std::string file = root + "/file" + std::to_string(i) + ".txt";
        std::ofstream out(file, std::ios::binary);
        for (int line = 0; line < 2000 * (i + 1); ++line) out << "line " << line << " of file " << i << "\n";
        out.close();
        const RunResult copied = RunProgram(kMcopy, {"-i", backing, file, "::"});
        ASSERT_EQ(copied.status, 0) << copied.output;
    }
}

// A listing with free space, which must not change through the filter.
std::string Listing(const std::string& image) { return RunProgram(kMdir, {"-i", image, "::"}).output; }

class DriveRoad : public ServiceMachine {
protected:
    void Prepare() override {
        if (!HaveTool(kMkfs) || !HaveTool(kMcopy) || !HaveTool(kMdir)) GTEST_SKIP() << "needs dosfstools and mtools";
        if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse for the drives' block view";
        backing_ = root_ + "/road.img";
        { std::ofstream(backing_, std::ios::binary); }
        ASSERT_EQ(::truncate(backing_.c_str(), off_t(kDriveBytes)), 0);
        FillFat32(root_, backing_);
        if (HasFatalFailure()) return;
        AddDrive("G:", kDriveBytes, false, backing_);
        original_ = ReadAll(backing_);
        listing_ = Listing(backing_);
    }
    std::string backing_, original_, listing_;
};

// Every sampled unit must be exactly what OpenSSL makes of the plaintext.
void ExpectCiphertext(const std::string& original, const std::string& now, const std::string& password,
                      uint64_t fromUnit, uint64_t toUnit) {
    ASSERT_EQ(original.size(), now.size());
    int wrong = 0;
    for (uint64_t u = fromUnit; u < toUnit && wrong < 5; u += (u < 64 ? 1 : 97)) {
        const std::string expected = ExpectedCipherUnit(original.substr(u * kUnit, kUnit), u * kUnit, password);
        if (now.compare(u * kUnit, kUnit, expected) != 0) {
            ADD_FAILURE() << "unit " << u << " is not the expected ciphertext";
            ++wrong;
        }
    }
}

TEST_F(DriveRoad, EncryptionInPlaceWritesExactCiphertextAndDecryptionRestoresEveryByte) {
    const std::string password = "road of one request";
    ASSERT_EQ(DriveStatus('G'), 0x10000);
    ASSERT_EQ(Listing(View('G')), listing_) << "the block view shows the plain drive";

    RunResult run = Ctl({"encrypt", "G:", "--yes", "--password-file", PasswordFile(password)});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(DriveStatus('G'), 0xC0001);

    const std::string encrypted = ReadAll(backing_);
    ExpectCiphertext(original_, encrypted, password, 0, kDriveBytes / kUnit);
    // Unit 0's last block opens with the fixed key alone and shows the marker.
    std::string marker = encrypted.substr(kUnit - 16, 16);
    ASSERT_TRUE(AesEcb("vormelkastrine", false, reinterpret_cast<uint8_t*>(marker.data()), 16));
    EXPECT_EQ(marker.substr(14), "QM");

    // Through the filter the drive is the same file system, free space included.
    EXPECT_EQ(Listing(View('G')), listing_);

    ASSERT_EQ(Ctl({"lock", "G:"}).status, 0);
    EXPECT_EQ(DriveStatus('G'), 0x20002);
    RestartHost();
    if (HasFatalFailure() || IsSkipped()) return;
    EXPECT_EQ(DriveStatus('G'), 0x20002) << "an encrypted drive comes back locked";
    // A wrong key finds no file system: the drive stays locked.
    SvcUnlockDrive("G:", "not the password", 0);
    EXPECT_EQ(DriveStatus('G'), 0x20002);
    EXPECT_EQ(ReadAll(backing_), encrypted) << "a failed unlock writes nothing";
    ASSERT_EQ(SvcUnlockDrive("G:", password.c_str(), 0), 0L);
    EXPECT_EQ(DriveStatus('G'), 0xC0001);
    EXPECT_EQ(Listing(View('G')), listing_);

    run = Ctl({"decrypt", "G:", "--yes"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(DriveStatus('G'), 0x10000);
    EXPECT_TRUE(ReadAll(backing_) == original_) << "decryption must give back the backing file byte for byte";
}

}  // namespace
}  // namespace tarn::svce2e
