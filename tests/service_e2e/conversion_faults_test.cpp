// Conversions that do not run to their end: a write failing at a chosen chunk,
// and the service killed in the middle. Either way the chunks before the stop
// are converted, the rest are as they were, and the host keeps serving.
#include "crypto_check.h"
#include "service_machine.h"

#include <cstring>


namespace tarn::svce2e {
namespace {

constexpr uint64_t kChunk = 64 * 1024;
constexpr uint64_t kChunks = 64;
const std::string kPassword = "part way";

// Backing bytes no cipher would produce by chance: a counter pattern.
std::string PatternBytes(uint64_t length) {
    std::string bytes(length, '\0');
    for (uint64_t i = 0; i < length; ++i) bytes[i] = char((i * 7 + i / 4096) & 0xFF);
    // A volume's boot signature: the marker takes its place while encrypted
    // and decryption puts the signature back.
    bytes[510] = char(0x55);
    bytes[511] = char(0xAA);
    return bytes;
}

class ConversionFault : public ServiceMachine {
protected:
    void PrepareDrive(uint64_t length) {
        if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse for the machine's drives";
        backing_ = root_ + "/drive-G.img";
        original_ = PatternBytes(length);
        std::ofstream(backing_, std::ios::binary) << original_;
        AddDrive("G:", length);
    }

    // Chunks [0, converted) hold ciphertext, the rest the original bytes.
    void ExpectConvertedUpTo(uint64_t converted) {
        const std::string now = ReadAll(backing_);
        ASSERT_EQ(now.size(), original_.size());
        for (uint64_t c = 0; c * kChunk < now.size(); ++c) {
            for (uint64_t u : {uint64_t(0), kChunk / kUnit - 1}) {
                const uint64_t at = c * kChunk + u * kUnit;
                if (at + kUnit > now.size()) continue;
                const std::string plain = original_.substr(at, kUnit);
                const std::string expected = c < converted ? ExpectedCipherUnit(plain, at, kPassword) : plain;
                EXPECT_EQ(now.compare(at, kUnit, expected), 0)
                    << "chunk " << c << (c < converted ? " should be converted" : " should be untouched");
            }
        }
    }

    std::string backing_, original_;
};

class WriteFailure : public ConversionFault {
protected:
    void Prepare() override {
        ::setenv("TARN_FAULT_WRITE_CHUNK", "5:0x1D", 1);  // ERROR_WRITE_FAULT at chunk 5
        PrepareDrive(kChunks * kChunk);
    }
};

TEST_F(WriteFailure, FailedChunkWriteReportsTheWritingMessageAndKeepsEarlierChunksConverted) {
    ASSERT_EQ(SvcStartDriveConversion("\\\\.\\G:", 1, kPassword.c_str()), 0L);
    EXPECT_EQ(WaitForConversion(), 0x1DL);
    EXPECT_EQ(SvcGetFinished(), 1L);
    EXPECT_EQ(LastMessage(), "Tarnvault has encounter an error 1D while writing this drive !");
    ExpectConvertedUpTo(5);
    EXPECT_EQ(SvcPing(), 0L) << "the service goes on serving";
}

TEST_F(WriteFailure, ImageConversionFailingPartWayReportsItsMessageWholeThroughTheWire) {
    const std::string image = root_ + "/part.img";
    const std::string source = PatternBytes(8 * kChunk);
    std::ofstream(image, std::ios::binary) << source;
    ASSERT_EQ(SvcStartImageConversion(image.c_str(), image.c_str(), 1, kPassword.c_str()), 0L);
    EXPECT_EQ(WaitForConversion(), 0x1DL);
    EXPECT_EQ(SvcGetFinished(), 1L);

    // The message crosses the wire whole only with room for its terminator,
    // and nothing beyond bufSize bytes is ever written.
    const std::string text = "Tarnvault has encounter an error 1D while writing this drive !";
    uint8_t buffer[128];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(SvcGetLastMessage(long(text.size() + 1), buffer), 0L);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), text);
    std::memset(buffer, 'x', sizeof buffer);
    SvcGetLastMessage(long(text.size()), buffer);
    for (size_t i = text.size(); i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 'x') << i;

    const std::string after = ReadAll(image);
    ASSERT_EQ(after.size(), source.size());
    for (uint64_t at = kChunk; at < after.size(); at += kChunk / 2) {
        const std::string plain = source.substr(at, kUnit);
        const std::string expected = at < 5 * kChunk ? ExpectedCipherUnit(plain, at, kPassword) : plain;
        EXPECT_EQ(after.compare(at, kUnit, expected), 0) << "offset " << at;
    }
}

class KilledService : public ConversionFault {
protected:
    void Prepare() override {
        ::setenv("TARN_FAULT_HOLD_CHUNK", "7", 1);
        PrepareDrive(kChunks * kChunk);
    }
};

TEST_F(KilledService, KilledDuringConversionLeavesEarlierChunksConvertedAndHostServing) {
    const pid_t service = ServicePid();
    ASSERT_GT(service, 0);
    ASSERT_EQ(SvcStartDriveConversion("\\\\.\\G:", 1, kPassword.c_str()), 0L);
    // The worker waits before chunk 7: chunks 0..6 are written once the
    // backing file shows chunk 6, and durable once the registry's checkpoint
    // says so (a kill before that leaves them to the journal, which puts
    // them back).
    const uint64_t last = 6 * kChunk + kChunk - kUnit;
    const std::string lastExpected = ExpectedCipherUnit(original_.substr(last, kUnit), last, kPassword);
    bool reached = false;
    for (int i = 0; i < 1000 && !reached; ++i) {
        reached = ReadAll(backing_).compare(last, kUnit, lastExpected) == 0 && RecordedCheckpoint() >= 7;
        if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(reached) << "the conversion never reached the held chunk";
    EXPECT_EQ(SvcGetFinished(), 0L);
    ASSERT_EQ(::kill(service, SIGKILL), 0);
    for (int i = 0; i < 200 && ServicePid() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_LT(ServicePid(), 0);

    ExpectConvertedUpTo(7);
    int status = 0;
    ASSERT_EQ(::waitpid(host_, &status, WNOHANG), 0) << "tarnhost must outlive its service";
    EXPECT_EQ(Host({"drive", "list"}).status, 0);

    // The machine starts the service again; after a restart the drive is
    // marked encrypted and has no key.
    ::unsetenv("TARN_FAULT_HOLD_CHUNK");
    SvcUnbind();
    StartService();
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_EQ(SvcBind(), 0L);
    EXPECT_EQ(SvcPing(), 0L);
    RestartHost();
    if (HasFatalFailure() || IsSkipped()) return;
    EXPECT_EQ(DriveStatus('G'), 0x20002);
    ExpectConvertedUpTo(7);
}

class OddLength : public ConversionFault {
protected:
    void Prepare() override { PrepareDrive(kChunks * kChunk + 7 * kUnit); }
};

TEST_F(OddLength, DriveNotAWholeNumberOfChunksConvertsItsTailBothWays) {
    ASSERT_EQ(SvcStartDriveConversion("\\\\.\\G:", 1, kPassword.c_str()), 0L);
    ASSERT_EQ(WaitForConversion(), 0L) << LastMessage();
    ExpectConvertedUpTo(kChunks + 1);
    const std::string now = ReadAll(backing_);
    const uint64_t tail = original_.size() - kUnit;
    EXPECT_EQ(now.compare(tail, kUnit, ExpectedCipherUnit(original_.substr(tail, kUnit), tail, kPassword)), 0)
        << "the last unit of the short chunk";

    ASSERT_EQ(SvcStartDriveConversion("\\\\.\\G:", 0, kPassword.c_str()), 0L);
    ASSERT_EQ(WaitForConversion(), 0L) << LastMessage();
    EXPECT_TRUE(ReadAll(backing_) == original_);
}

}  // namespace
}  // namespace tarn::svce2e
