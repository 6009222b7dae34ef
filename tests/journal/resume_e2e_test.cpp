// Interrupted conversions on a live machine: the power cut by the machine's
// switch inside chunk 0, in the middle of a chunk and inside the last one,
// the service killed, a pause; after a restart the medium is recovered,
// `tarnctl status` shows the interruption, `tarnctl resume` finishes it, and
// the medium is byte-identical to an uninterrupted conversion, with the same
// files listed by mtools. A wrong password is refused with nothing written.
#include "tests/service_e2e/crypto_check.h"
#include "tests/service_e2e/service_machine.h"

#include <cstring>

#include "service/chunk_loop.h"

namespace tarn::svce2e {
namespace {

constexpr uint64_t kChunk = 64 * 1024;
// More than two durable steps: a cut in the last chunk lands in a later step
// than one in chunk 37, and a chunk lies beyond the reach of the first two
// steps (what a record's fingerprint uses before its first checkpoint).
constexpr uint64_t kChunks = 2 * kJournalSpan + 40;
constexpr uint64_t kDriveBytes = kChunks * kChunk;
const std::string kPassword = "cut and resumed";
const char* const kMkfs = "/usr/sbin/mkfs.fat";
const char* const kMcopy = "/usr/bin/mcopy";
const char* const kMdir = "/usr/bin/mdir";

std::string Listing(const std::string& image) { return RunProgram(kMdir, {"-i", image, "::"}).output; }

// The whole medium as an uninterrupted encryption leaves it, by OpenSSL.
std::string Encrypted(const std::string& plain, const std::string& password) {
    std::string out;
    out.reserve(plain.size());
    for (uint64_t at = 0; at < plain.size(); at += kUnit) out += ExpectedCipherUnit(plain.substr(at, kUnit), at, password);
    return out;
}

class Interrupted : public ServiceMachine {
protected:
    void Prepare() override {
        if (!HaveTool(kMkfs) || !HaveTool(kMcopy) || !HaveTool(kMdir)) GTEST_SKIP() << "needs dosfstools and mtools";
        if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse for the drives' block view";
        ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
        backing_ = root_ + "/cut.img";
        { std::ofstream(backing_, std::ios::binary); }
        ASSERT_EQ(::truncate(backing_.c_str(), off_t(kDriveBytes)), 0);
        const RunResult mkfs = RunProgram(kMkfs, {"-n", "CUTVOL", backing_});
        ASSERT_EQ(mkfs.status, 0) << mkfs.output;
        for (int i = 0; i < 3; ++i) {
            const std::string file = root_ + "/note" + std::to_string(i) + ".txt";
            std::ofstream out(file, std::ios::binary);
            for (int line = 0; line < 9000 * (i + 1); ++line) out << "line " << line << " of note " << i << "\n";
            out.close();
            const RunResult copied = RunProgram(kMcopy, {"-i", backing_, file, "::"});
            ASSERT_EQ(copied.status, 0) << copied.output;
        }
        AddDrive("G:", kDriveBytes, false, backing_);
        plain_ = ReadAll(backing_);
        cipher_ = Encrypted(plain_, kPassword);
        listing_ = Listing(backing_);
    }

    void TearDown() override {
        for (const char* v : {"TARN_FAULT_POWER_CUT_AFTER", "TARN_FAULT_TEAR_WRITE", "TARN_FAULT_TEAR_IMAGE_CHUNK"})
            ::unsetenv(v);
        ServiceMachine::TearDown();
    }

    // A new boot of the machine with the medium as given, and the switch
    // set (or cleared when empty).
    void Boot(const std::string* medium, const std::string& powerCutAfter) {
        SvcUnbind();
        StopHost();
        if (medium) std::ofstream(backing_, std::ios::binary | std::ios::trunc) << *medium;
        if (powerCutAfter.empty())
            ::unsetenv("TARN_FAULT_POWER_CUT_AFTER");
        else
            ::setenv("TARN_FAULT_POWER_CUT_AFTER", powerCutAfter.c_str(), 1);
        StartHost();
        if (HasFatalFailure()) return;
        StartService();
        if (HasFatalFailure() || IsSkipped()) return;
        ASSERT_EQ(SvcBind(), 0L);
    }

    // The machine's writes go in order from offset 0, so the cut tears the
    // medium exactly at byte `at`: converted before, as it was after.
    void ExpectTornAt(const std::string& medium, uint64_t at, const std::string& converted, const std::string& was) {
        ASSERT_EQ(medium.size(), converted.size());
        EXPECT_EQ(medium.compare(at - kUnit, kUnit, converted, at - kUnit, kUnit), 0) << "written before the cut";
        EXPECT_EQ(medium.compare(at, kUnit, was, at, kUnit), 0) << "persisted after the cut";
    }

    std::string StatusOfG() { return Ctl({"status", "G:"}).output; }

    struct Cut {
        const char* where;
        uint64_t after;  // bytes persisted before the power goes
    };

    // A boot with `medium` on the drive and the power cut after `after`
    // bytes, then a conversion until the machine dies under it (a decryption
    // unlocks the drive first).
    void ConvertUntilCut(const std::string& medium, uint64_t after, bool encrypt) {
        Boot(&medium, std::to_string(after));
        if (HasFatalFailure() || IsSkipped()) return;
        if (!encrypt) {
            ASSERT_EQ(SvcUnlockDrive("G:", kPassword.c_str(), 0), 0L);
        }
        ASSERT_EQ(SvcStartDriveConversion("\\\\.\\G:", encrypt ? 1 : 0, encrypt ? kPassword.c_str() : ""), 0L);
        EXPECT_NE(WaitForConversion(), 0L) << "the machine died under the conversion";
    }

    // With the worker held before chunk 40: waits until chunks 0..39 are
    // written as `converted` and the registry's checkpoint says they are
    // durable, then kills the service and waits for it to be gone.
    void KillServiceAtHeldChunk(pid_t service, const std::string& converted) {
        const uint64_t last = 39 * kChunk + kChunk - kUnit;
        bool reached = false;
        for (int i = 0; i < 1000 && !reached; ++i) {
            reached = ReadAll(backing_).compare(last, kUnit, converted, last, kUnit) == 0 && RecordedCheckpoint() >= 40;
            if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_TRUE(reached) << "the conversion never reached the held chunk";
        ASSERT_EQ(::kill(service, SIGKILL), 0);
        for (int i = 0; i < 200 && ServicePid() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    RunResult Resume(const std::string& target, const std::string& password, bool yes = true) {
        std::vector<std::string> args{"resume", target, "--password-file", PasswordFile(password)};
        if (yes) args.push_back("--yes");
        return Ctl(args);
    }

    // After the cut the machine restarts; the drive shows the interruption
    // and resumes to exactly the uninterrupted result.
    void RecoverAndResume(bool encrypt, const std::string& why) {
        Boot(nullptr, "");
        if (HasFatalFailure() || IsSkipped()) return;
        const std::string status = StatusOfG();
        EXPECT_NE(status.find(std::string("Interrupted: ")), std::string::npos) << why << "\n" << status;
        EXPECT_NE(status.find(encrypt ? "% encrypted" : "% decrypted"), std::string::npos) << why << "\n" << status;
        const RunResult resumed = Resume("G:", kPassword);
        ASSERT_EQ(resumed.status, 0) << why << "\n" << resumed.output;
        const std::string now = ReadAll(backing_);
        ASSERT_EQ(now.size(), plain_.size());
        EXPECT_TRUE(now == (encrypt ? cipher_ : plain_)) << why << ": not byte-identical to an uninterrupted conversion";
        EXPECT_EQ(Listing(encrypt ? View('G') : backing_), listing_) << why;
        EXPECT_EQ(StatusOfG().find("Interrupted"), std::string::npos) << why;
    }

    std::string backing_, plain_, cipher_, listing_;
};

TEST_F(Interrupted, PowerCutDuringDriveEncryptionResumesByteIdentical) {
    const Cut cuts[] = {
        {"inside chunk 0", 20 * 1024},
        {"in the middle of chunk 37", 37 * kChunk + kChunk / 2},
        {"inside the last chunk", (kChunks - 1) * kChunk + 12 * 1024},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.where);
        ConvertUntilCut(plain_, cut.after, true);
        if (HasFatalFailure() || IsSkipped()) return;
        ExpectTornAt(ReadAll(backing_), cut.after, cipher_, plain_);
        RecoverAndResume(true, cut.where);
        if (HasFatalFailure()) return;
    }
}

TEST_F(Interrupted, PowerCutDuringDriveDecryptionResumesByteIdentical) {
    const Cut cuts[] = {
        {"inside chunk 0", 30 * 1024},
        {"in the middle of chunk 50", 50 * kChunk + kChunk / 2},
        {"inside the last chunk", (kChunks - 1) * kChunk + 40 * 1024},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.where);
        ConvertUntilCut(cipher_, cut.after, false);
        if (HasFatalFailure() || IsSkipped()) return;
        ExpectTornAt(ReadAll(backing_), cut.after, plain_, cipher_);
        RecoverAndResume(false, cut.where);
        if (HasFatalFailure()) return;
    }
}

// A removable medium swapped for another of the same size while the machine
// was off: neither the recovery at start nor a resume writes to it, and the
// journalled medium, put back, still resumes.
TEST_F(Interrupted, AnotherMediumOfTheSameSizeGetsNothingFromTheJournal) {
    std::string other = plain_;
    for (char& c : other) c = char(c ^ 0x5A);
    const Cut cuts[] = {
        {"before the first checkpoint", 20 * 1024},
        {"past the first checkpoint", (kChunks - 1) * kChunk + 12 * 1024},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.where);
        ConvertUntilCut(plain_, cut.after, true);
        if (HasFatalFailure() || IsSkipped()) return;
        const std::string torn = ReadAll(backing_);

        Boot(&other, "");
        if (HasFatalFailure() || IsSkipped()) return;
        EXPECT_NE(StatusOfG().find("Interrupted: "), std::string::npos);
        const RunResult refused = Resume("G:", kPassword);
        EXPECT_NE(refused.status, 0);
        EXPECT_NE(refused.output.find("does not hold the medium its interrupted conversion was working on"),
                  std::string::npos)
            << refused.output;
        EXPECT_TRUE(ReadAll(backing_) == other) << "the journal was put back on another medium";

        Boot(&torn, "");
        if (HasFatalFailure() || IsSkipped()) return;
        const RunResult resumed = Resume("G:", kPassword);
        ASSERT_EQ(resumed.status, 0) << resumed.output;
        EXPECT_TRUE(ReadAll(backing_) == cipher_) << "not byte-identical to an uninterrupted conversion";
    }
}

TEST_F(Interrupted, KilledServiceThenWrongPasswordRefusedThenResumedByteIdentical) {
    Boot(nullptr, "");
    if (HasFatalFailure() || IsSkipped()) return;
    ::setenv("TARN_FAULT_HOLD_CHUNK", "40", 1);
    Boot(nullptr, "");
    if (HasFatalFailure() || IsSkipped()) return;
    const pid_t service = ServicePid();
    ASSERT_GT(service, 0);
    ASSERT_EQ(SvcStartDriveConversion("\\\\.\\G:", 1, kPassword.c_str()), 0L);
    KillServiceAtHeldChunk(service, cipher_);
    if (HasFatalFailure()) return;
    // The machine restarts without the hold.
    ::unsetenv("TARN_FAULT_HOLD_CHUNK");
    Boot(nullptr, "");
    if (HasFatalFailure() || IsSkipped()) return;
    const std::string shown = "Interrupted: " + std::to_string(40 * 100 / kChunks) + "% encrypted";
    EXPECT_NE(StatusOfG().find(shown), std::string::npos) << StatusOfG();

    // Other operations keep off the half-converted drive.
    EXPECT_EQ(SvcStartDriveConversion("\\\\.\\G:", 1, kPassword.c_str()), 170L /* ERROR_BUSY */);
    EXPECT_EQ(SvcUnlockDrive("G:", kPassword.c_str(), 0), 170L /* ERROR_BUSY */);

    const std::string before = ReadAll(backing_);
    const RunResult wrong = Resume("G:", "not the password");
    EXPECT_NE(wrong.status, 0) << wrong.output;
    EXPECT_NE(wrong.output.find("password is wrong"), std::string::npos) << wrong.output;
    EXPECT_TRUE(ReadAll(backing_) == before) << "a refused resume wrote to the drive";

    const RunResult resumed = Resume("G:", kPassword);
    ASSERT_EQ(resumed.status, 0) << resumed.output;
    EXPECT_TRUE(ReadAll(backing_) == cipher_);
    EXPECT_EQ(Listing(View('G')), listing_);
}

// The service dies while decrypting; the machine runs on with the key in
// the filter. Once the service is back, the half-decrypted drive is no
// longer served through that key (its plaintext part would be decrypted a
// second time, and writes would land encrypted in it).
TEST_F(Interrupted, ServiceKilledWhileDecryptingLeavesNoKeyBehind) {
    ::setenv("TARN_FAULT_HOLD_CHUNK", "40", 1);
    Boot(&cipher_, "");
    if (HasFatalFailure() || IsSkipped()) return;
    const pid_t service = ServicePid();
    ASSERT_GT(service, 0);
    ASSERT_EQ(SvcUnlockDrive("G:", kPassword.c_str(), 0), 0L);
    ASSERT_EQ(SvcStartDriveConversion("\\\\.\\G:", 0, ""), 0L);
    KillServiceAtHeldChunk(service, plain_);
    if (HasFatalFailure()) return;
    ::unsetenv("TARN_FAULT_HOLD_CHUNK");
    SvcUnbind();
    StartService();  // on the machine that kept running
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_EQ(SvcBind(), 0L);
    EXPECT_NE(StatusOfG().find("Interrupted: "), std::string::npos);

    const std::string stored = ReadAll(backing_);
    const std::string seen = ReadAll(View('G')).substr(0, 64 * kChunk);
    EXPECT_TRUE(seen == stored.substr(0, 64 * kChunk)) << "the drive is still read through the key";

    // This service inherited the hold from the machine; a new boot clears it.
    Boot(nullptr, "");
    if (HasFatalFailure() || IsSkipped()) return;
    const RunResult resumed = Resume("G:", kPassword);
    ASSERT_EQ(resumed.status, 0) << resumed.output;
    EXPECT_TRUE(ReadAll(backing_) == plain_);
}

TEST_F(Interrupted, PausedFromTheCommandLineAndResumed) {
    ::setenv("TARN_FAULT_HOLD_CHUNK", "20", 1);
    Boot(nullptr, "");
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_EQ(SvcStartDriveConversion("\\\\.\\G:", 1, kPassword.c_str()), 0L);
    // The worker waits before chunk 20; the pause reaches it there.
    const uint64_t last = 19 * kChunk + kChunk - kUnit;
    for (int i = 0; i < 1000 && ReadAll(backing_).compare(last, kUnit, cipher_, last, kUnit) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const RunResult paused = Ctl({"pause"});
    EXPECT_EQ(paused.status, 0) << paused.output;
    ::unsetenv("TARN_FAULT_HOLD_CHUNK");
    EXPECT_EQ(WaitForConversion(), 995L /* ERROR_OPERATION_ABORTED: paused */);
    EXPECT_NE(LastMessage().find("paused"), std::string::npos) << LastMessage();
    const std::string shown = "Interrupted: " + std::to_string(20 * 100 / kChunks) + "% encrypted";
    EXPECT_NE(StatusOfG().find(shown), std::string::npos) << StatusOfG();
    EXPECT_NE(Ctl({"pause"}).status, 0) << "nothing runs any more";

    const RunResult resumed = Resume("G:", kPassword);
    ASSERT_EQ(resumed.status, 0) << resumed.output;
    EXPECT_TRUE(ReadAll(backing_) == cipher_);
    EXPECT_EQ(Listing(View('G')), listing_);
}

TEST_F(Interrupted, ImagePowerCutMidWriteBothWaysResumesByteIdentical) {
    const std::string image = root_ + "/disc.img";
    for (bool encrypt : {true, false}) {
        SCOPED_TRACE(encrypt ? "encrypt" : "decrypt");
        for (const char* chunk : {"0", "33", "95"}) {
            SCOPED_TRACE(chunk);
            std::ofstream(image, std::ios::binary | std::ios::trunc) << (encrypt ? plain_ : cipher_);
            ::setenv("TARN_FAULT_TEAR_IMAGE_CHUNK", chunk, 1);
            Boot(nullptr, "");
            if (HasFatalFailure() || IsSkipped()) return;
            ASSERT_EQ(SvcStartImageConversion(image.c_str(), image.c_str(), encrypt ? 1 : 0, kPassword.c_str()), 0L);
            // The service dies in the middle of the chunk's write.
            for (int i = 0; i < 500 && SvcPing() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            // The boot sector gets its signature back where the marker stood.
            const std::string& decrypted = plain_;
            const uint64_t half = std::stoull(chunk) * kChunk + kChunk / 2;
            ExpectTornAt(ReadAll(image), half, encrypt ? cipher_ : decrypted, encrypt ? plain_ : cipher_);
            ::unsetenv("TARN_FAULT_TEAR_IMAGE_CHUNK");
            Boot(nullptr, "");
            if (HasFatalFailure() || IsSkipped()) return;
            const RunResult resumed = Resume(image, kPassword);
            ASSERT_EQ(resumed.status, 0) << resumed.output;
            EXPECT_TRUE(ReadAll(image) == (encrypt ? cipher_ : decrypted)) << "not byte-identical to an uninterrupted conversion";
        }
    }
}

}  // namespace
}  // namespace tarn::svce2e
