// Requests the service must turn down without touching a byte: missing or
// malformed drive names, empty passwords, writes to a write-protected drive,
// lock and unlock racing each other; and the state words of read-only drives.
#include "crypto_check.h"
#include "service_machine.h"

namespace tarn::svce2e {
namespace {

constexpr uint64_t kBytes = 4ull << 20;
const std::string kPassword = "input checks";
const char* const kMkfs = "/usr/sbin/mkfs.fat";

class DriveInput : public ServiceMachine {
protected:
    void Prepare() override {
        if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse for the machine's drives";
        if (!HaveTool(kMkfs)) GTEST_SKIP() << "needs dosfstools";
        writable_ = MakeBacking("G", false);
        AddDrive("G:", kBytes);
        readOnly_ = MakeBacking("R", false);
        AddDrive("R:", kBytes, true);
        sealed_ = MakeBacking("S", true);
        AddDrive("S:", kBytes, true);
    }

    // A FAT backing file; `encrypted` gives it every unit encrypted with
    // kPassword, as a finished conversion leaves it.
    std::string MakeBacking(const std::string& letter, bool encrypted) {
        const std::string path = root_ + "/drive-" + letter + ".img";
        { std::ofstream(path, std::ios::binary); }
        EXPECT_EQ(::truncate(path.c_str(), off_t(kBytes)), 0);
        const RunResult mkfs = RunProgram(kMkfs, {"-n", "INPUT", path});
        EXPECT_EQ(mkfs.status, 0) << mkfs.output;
        if (encrypted) {
            std::string bytes = ReadAll(path);
            for (uint64_t at = 0; at + kUnit <= bytes.size(); at += kUnit) {
                bytes.replace(at, kUnit, ExpectedCipherUnit(bytes.substr(at, kUnit), at, kPassword));
            }
            std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        }
        return path;
    }

    // Runs a request that must fail, whether at once or in its worker.
    long Failure(long started) {
        if (started != 0) return started;
        return WaitForConversion();
    }

    std::string writable_, readOnly_, sealed_;
};

TEST_F(DriveInput, ReadOnlyDrivesReportTheirStateAndRefuseConversion) {
    EXPECT_EQ(DriveStatus('R'), 0L) << "plain and write-protected";
    EXPECT_EQ(DriveStatus('S'), 0x20002L) << "encrypted, no key yet";
    ASSERT_EQ(SvcUnlockDrive("S:", kPassword.c_str(), 0), 0L);
    EXPECT_EQ(DriveStatus('S'), 0x80001L) << "encrypted, unlocked and write-protected";
    const std::string before = ReadAll(readOnly_), sealedBefore = ReadAll(sealed_);
    EXPECT_NE(Failure(SvcStartDriveConversion("\\\\.\\R:", 1, kPassword.c_str())), 0L);
    EXPECT_NE(Failure(SvcQuickEncryptDrive("\\\\.\\R:", kPassword.c_str())), 0L);
    EXPECT_NE(Failure(SvcStartDriveConversion("\\\\.\\S:", 0, kPassword.c_str())), 0L);
    EXPECT_TRUE(ReadAll(readOnly_) == before);
    EXPECT_TRUE(ReadAll(sealed_) == sealedBefore);
    EXPECT_EQ(DriveStatus('R'), 0L);
}

TEST_F(DriveInput, BadNamesAndEmptyPasswordsAreRefusedAndWriteNothing) {
    const std::string before = ReadAll(writable_);
    const long state = DriveStatus('G');
    EXPECT_EQ(state, 0x10000L);
    const std::string longName = "\\\\.\\" + std::string(300, 'G') + ":";
    struct Case {
        const char* what;
        long result;
    };
    const std::vector<Case> cases = {
        {"convert a drive that does not exist", Failure(SvcStartDriveConversion("\\\\.\\Q:", 1, kPassword.c_str()))},
        {"convert with odd characters", Failure(SvcStartDriveConversion("\\\\.\\G*:", 1, kPassword.c_str()))},
        {"convert a path beyond the drive", Failure(SvcStartDriveConversion("\\\\.\\G:\\..\\..", 1, kPassword.c_str()))},
        {"convert a name far too long", Failure(SvcStartDriveConversion(longName.c_str(), 1, kPassword.c_str()))},
        {"quick-encrypt a drive that does not exist", Failure(SvcQuickEncryptDrive("\\\\.\\Q:", kPassword.c_str()))},
        {"lock a drive that does not exist", SvcLockDrive("Q:")},
        {"lock a name far too long", SvcLockDrive(longName.c_str() + 4)},
        {"unlock with odd characters", SvcUnlockDrive("G?", kPassword.c_str(), 0)},
        {"unlock a full path far too long", SvcUnlockDrive(longName.c_str(), kPassword.c_str(), 1)},
    };
    for (const auto& c : cases) EXPECT_NE(c.result, 0L) << c.what;
    EXPECT_TRUE(ReadAll(writable_) == before) << "a refused request wrote to the drive";
    EXPECT_EQ(DriveStatus('G'), state);

    // tarnctl turns these down before anything reaches the service.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"encrypt", "Q:", "--yes", "--password-file", PasswordFile(kPassword)},
          {"encrypt", "G:", "--yes", "--password-file", PasswordFile("")},
          {"lock", "GG:"},
          {"unlock", "G\x01:", "--password-file", PasswordFile(kPassword)}}) {
        const RunResult run = Ctl(args);
        EXPECT_EQ(run.status, 2) << args[0] << " " << args[1] << ": " << run.output;
    }
    EXPECT_TRUE(ReadAll(writable_) == before);
}

TEST_F(DriveInput, RacingLocksAndUnlocksLeaveAConsistentStateAndTheBytesAlone) {
    const std::string pw = PasswordFile(kPassword);
    RunResult run = Ctl({"quick-encrypt", "F:", "--yes", "--password-file", pw});
    ASSERT_EQ(run.status, 0) << run.output;
    run = Ctl({"format", "F:", "--yes", "--fs", "fat"});
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_EQ(DriveStatus('F'), 0xC0001L);
    ASSERT_EQ(Ctl({"lock", "F:"}).status, 0);
    const std::string backing = dir_ + "/removable.img", encrypted = ReadAll(backing);
    std::vector<std::thread> racers;
    for (int t = 0; t < 4; ++t) {
        racers.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                if (t % 2 == 0) {
                    Ctl({"lock", "F:"});
                } else {
                    Ctl({"unlock", "F:", "--password-file", pw});
                }
            }
        });
    }
    for (auto& r : racers) r.join();
    const long state = DriveStatus('F');
    EXPECT_TRUE(state == 0x20002L || state == 0xC0001L) << std::hex << state;
    EXPECT_TRUE(ReadAll(backing) == encrypted) << "locking and unlocking must not write";
    // Whatever won, the drive still opens with its password.
    if (state == 0x20002L) {
        ASSERT_EQ(SvcUnlockDrive("F:", kPassword.c_str(), 0), 0L);
    }
    EXPECT_EQ(DriveStatus('F'), 0xC0001L);
}

}  // namespace
}  // namespace tarn::svce2e
