// tarnctl open and close on a live machine: a FAT drive's files through
// fusefat with plain cp, and the service refusing to lock a drive while
// files under its view are open, then closing the view itself.
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "live_machine.h"

namespace tarnctl::testing {
namespace {

class TarnctlViews : public LiveMachine {
protected:
    void SetUp() override {
        if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse here: drives have no block view";
        if (::system("command -v fusefat >/dev/null 2>&1") != 0) GTEST_SKIP() << "fusefat is not installed";
        LiveMachine::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        struct stat st {};
        for (int i = 0; i < 200 && ::stat((dir_ + "/drives/E").c_str(), &st) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (::stat((dir_ + "/drives/E").c_str(), &st) != 0) GTEST_SKIP() << "the block view did not come up here";
    }
    void TearDown() override {
        if (!dir_.empty()) {
            for (const char* d : {"E:", "F:"}) Ctl({"close", d});
        }
        LiveMachine::TearDown();
    }

    static std::string Shell(const std::string& command, int* status) {
        std::string out;
        FILE* p = ::popen((command + " 2>&1").c_str(), "r");
        char buffer[512];
        while (p && std::fgets(buffer, sizeof buffer, p)) out += buffer;
        const int s = p ? ::pclose(p) : -1;
        *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
        return out;
    }
};

TEST_F(TarnctlViews, FatDriveOpensAndFilesCopyInAndOutWithCp) {
    const std::string where = root_ + "/e files";  // a blank in the path on purpose
    RunResult run = Ctl({"open", "E:", where});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Drive E: is open in " + where), std::string::npos) << run.output;
    EXPECT_EQ(Ctl({"open", "E:", where}).status, 0) << "opening again in the same place is no failure";
    EXPECT_EQ(Ctl({"open", "E:", root_ + "/elsewhere"}).status, 1);

    const std::string source = root_ + "/in.bin";
    {
        std::ofstream out(source, std::ios::binary);
        for (int i = 0; i < 200000; ++i) out.put(static_cast<char>(i * 7));
    }
    int status = 0;
    std::string out = Shell("cp '" + source + "' '" + where + "/in.bin'", &status);
    ASSERT_EQ(status, 0) << out;
    out = Shell("cp '" + where + "/in.bin' '" + root_ + "/out.bin'", &status);
    ASSERT_EQ(status, 0) << out;
    out = Shell("cmp '" + source + "' '" + root_ + "/out.bin'", &status);
    EXPECT_EQ(status, 0) << out;

    run = Ctl({"close", "E:"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Drive E: is closed"), std::string::npos) << run.output;
    EXPECT_NE(Ctl({"close", "E:"}).output.find("is not open"), std::string::npos);
    // The drive is plain: its backing file holds what cp wrote.
    out = Shell("mcopy -n -i '" + dir_ + "/data.img' ::/in.bin '" + root_ + "/back.bin' && cmp '" + source + "' '" +
                    root_ + "/back.bin'",
                &status);
    EXPECT_EQ(status, 0) << out;
}

TEST_F(TarnctlViews, LockRefusedWhileAFileIsOpenThenClosesTheViewItself) {
    const std::string pw = PasswordFile("view password");
    RunResult run = Ctl({"encrypt", "F:", "--yes", "--password-file", pw});
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string where = root_ + "/f";
    run = Ctl({"open", "F:", where});
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string marker = "sealed-view-marker-58c1";
    std::ofstream(where + "/note.txt") << marker;
    {
        std::ifstream held(where + "/note.txt");
        run = Ctl({"lock", "F:"});
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find("files under " + where + " are open"), std::string::npos) << run.output;
        std::string first;
        held >> first;
        EXPECT_EQ(first, marker) << "the refused lock took the view's drive away";
    }
    run = Ctl({"lock", "F:"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(Ctl({"close", "F:"}).output.find("is not open"), std::string::npos) << "the lock left the view open";
    run = Ctl({"open", "F:", where});
    EXPECT_EQ(run.status, 1) << "a locked drive opened: " << run.output;
    EXPECT_NE(run.output.find("unlock it first"), std::string::npos) << run.output;

    ASSERT_EQ(Ctl({"unlock", "F:", "--password-file", pw}).status, 0);
    run = Ctl({"open", "F:", where});
    ASSERT_EQ(run.status, 0) << run.output;
    std::ifstream in(where + "/note.txt");
    std::string back;
    in >> back;
    EXPECT_EQ(back, marker) << "what the view wrote before the lock was lost";
    in.close();
    ASSERT_EQ(Ctl({"close", "F:"}).status, 0);
    std::ifstream image(dir_ + "/removable.img", std::ios::binary);
    const std::string stored((std::istreambuf_iterator<char>(image)), {});
    EXPECT_EQ(stored.find(marker), std::string::npos) << "the backing file holds the plaintext";
}

TEST_F(TarnctlViews, ConversionWaitsForOpenFilesAndThenClosesTheView) {
    const std::string where = root_ + "/f";
    RunResult run = Ctl({"open", "F:", where});
    ASSERT_EQ(run.status, 0) << run.output;
    std::ofstream(where + "/kept.txt") << "kept through the conversion";
    const std::string pw = PasswordFile("conversion password");
    {
        std::ifstream held(where + "/kept.txt");
        run = Ctl({"encrypt", "F:", "--yes", "--password-file", pw});
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find("files under " + where + " are open"), std::string::npos) << run.output;
        run = Ctl({"quick-encrypt", "F:", "--yes", "--password-file", pw});
        EXPECT_EQ(run.status, 1) << "a quick encryption erased a drive with open files: " << run.output;
    }
    EXPECT_NE(Ctl({"status", "F:"}).output.find("plain"), std::string::npos) << "the refused conversion changed F:";
    run = Ctl({"encrypt", "F:", "--yes", "--password-file", pw});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(Ctl({"close", "F:"}).output.find("is not open"), std::string::npos) << "the conversion left the view open";
    ASSERT_EQ(Ctl({"open", "F:", where}).status, 0);
    std::ifstream in(where + "/kept.txt");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "kept through the conversion");
}

}  // namespace
}  // namespace tarnctl::testing
