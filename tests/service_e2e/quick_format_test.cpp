// Quick encryption, unlock and format give an empty encrypted FAT volume that
// mtools uses through the drive's block view while the backing file holds
// only ciphertext.
#include "crypto_check.h"
#include "service_machine.h"

namespace tarn::svce2e {
namespace {

using QuickFormat = ServiceMachine;

TEST_F(QuickFormat, QuickEncryptedFormattedDriveIsAnEmptyFatVolumeMtoolsCanUse) {
    if (!HaveTool("/usr/bin/mcopy") || !HaveTool("/usr/bin/mdir")) GTEST_SKIP() << "needs mtools";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
    const std::string password = "quick and formatted";
    const std::string pw = PasswordFile(password);
    RunResult run = Ctl({"quick-encrypt", "F:", "--yes", "--password-file", pw});
    ASSERT_EQ(run.status, 0) << run.output;
    run = Ctl({"format", "F:", "--yes", "--fs", "fat", "--label", "SEALED"});
    ASSERT_EQ(run.status, 0) << run.output;

    const std::string view = View('F');
    RunResult listing = RunProgram("/usr/bin/mdir", {"-i", view, "::"});
    ASSERT_EQ(listing.status, 0) << listing.output;
    EXPECT_NE(listing.output.find("No files"), std::string::npos) << listing.output;

    const std::string file = root_ + "/note.txt";
    std::ofstream(file) << "kept under the key\n";
    run = RunProgram("/usr/bin/mcopy", {"-i", view, file, "::NOTE.TXT"});
    ASSERT_EQ(run.status, 0) << run.output;
    run = RunProgram("/usr/bin/mcopy", {"-i", view, "::NOTE.TXT", "-"});
    EXPECT_EQ(run.output, "kept under the key\n");

    const std::string backing = dir_ + "/removable.img";
    const std::string raw = ReadAll(backing);
    ASSERT_GE(raw.size(), kUnit);
    std::string marker = raw.substr(kUnit - 16, 16);
    ASSERT_TRUE(AesEcb("vormelkastrine", false, reinterpret_cast<uint8_t*>(marker.data()), 16));
    EXPECT_EQ(marker.substr(14), "QM");
    EXPECT_EQ(raw.find("SEALED"), std::string::npos) << "the label is in plaintext in the backing file";
    EXPECT_EQ(raw.find("kept under the key"), std::string::npos) << "the file is in plaintext in the backing file";
}

}  // namespace
}  // namespace tarn::svce2e
