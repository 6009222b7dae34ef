// An image the live service made encrypted, mounted on the machine, written
// through its drive with mtools, unmounted, and decrypted back to a plain
// image that holds the file: the image road through every process.
#include "crypto_check.h"
#include "service_machine.h"

namespace tarn::svce2e {
namespace {

using ImageMount = ServiceMachine;

TEST_F(ImageMount, EncryptedImageMountedWrittenAndDecryptedKeepsTheFile) {
    if (!HaveTool("/usr/bin/mcopy") || !HaveTool("/usr/bin/mdir")) GTEST_SKIP() << "needs mtools";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
    if (::access(TARN_BINARY_DIR "/vdisk/vtarn.so", F_OK) != 0) {
        GTEST_SKIP() << "the virtual disk driver is not built in this tree";
    }
    const std::string image = root_ + "/sealed.img", plain = root_ + "/opened.img";
    const std::string pw = PasswordFile("image road");
    RunResult run = Ctl({"create-image", image, "--size", "40", "--fs", "fat32", "--label", "SEALED",
                         "--encrypt", "--password-file", pw});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(RunProgram("/usr/bin/mdir", {"-i", image, "::"}).status, 0) << "the file itself is ciphertext";

    run = Ctl({"mount", image, "--password-file", pw});
    ASSERT_EQ(run.status, 0) << run.output;
    const size_t at = run.output.find("Mount success: ");
    ASSERT_NE(at, std::string::npos) << run.output;
    const char letter = run.output[at + 15];
    const std::string note = root_ + "/note.txt";
    std::ofstream(note) << "written through the mounted image\n";
    run = RunProgram("/usr/bin/mcopy", {"-i", View(letter), note, "::NOTE.TXT"});
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_EQ(Ctl({"unmount", std::string(1, letter) + ":"}).status, 0);
    EXPECT_EQ(ReadAll(image).find("written through the mounted image"), std::string::npos);

    run = Ctl({"convert-image", image, plain, "--decrypt", "--password-file", pw});
    ASSERT_EQ(run.status, 0) << run.output;
    run = RunProgram("/usr/bin/mcopy", {"-i", plain, "::NOTE.TXT", "-"});
    EXPECT_EQ(run.output, "written through the mounted image\n");
}

}  // namespace
}  // namespace tarn::svce2e
