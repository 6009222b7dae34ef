// Drive operations that run without the machine: the status code table, the
// conversion loop on an ordinary file standing in for a volume, and the
// worker's failures before the loop.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>

#include "conversion_wait.h"
#include "service/drive_conversion.h"
#include "service/drive_status.h"
#include "service/fault_injection.h"
#include "service/handle_guard.h"
#include "service/worker_status.h"
#include "test_util.h"

namespace {

TEST(DriveStatusCode, EveryStateAndFlagCombination) {
    struct Case {
        bool Answered, Encrypted, Writable, Readable;
        int32_t Expected;
    } cases[] = {
        {true, false, true, true, 0x10000},  {true, false, false, true, 0x00000},
        {true, true, true, true, 0xC0001},   {true, true, false, true, 0x80001},
        {true, true, true, false, 0x20002},  {true, true, false, false, 0x20002},
        {true, false, true, false, 0x00003}, {false, false, true, true, 0x00000},
        {false, false, true, false, 0x00003},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Answered << c.Encrypted << c.Writable << c.Readable);
        EXPECT_EQ(ComposeDriveStatus(c.Answered, c.Encrypted, c.Writable, c.Readable), c.Expected);
    }
}

TEST(DriveStatusCode, VolumeThatDoesNotOpenAndNoRootIsUndetermined) {
    int64_t total = -1, free = -1;
    EXPECT_EQ(svc::SvcQueryDrive("\\\\.\\NoSuchVolume:", "", &total, &free), 3);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(free, 0);
}

std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = uint8_t(i * 131 + (i >> 9));
    return data;
}

// Runs the loop over an ordinary file. A file has no filter to take the key,
// so the completion request fails the way a volume without tarn would.
DWORD ConvertFile(const std::string& path, uint64_t length, bool encrypt, const char* password) {
    HandleGuard file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(file.Valid());
    return RunDriveConversion(file.Get(), length, encrypt, password);
}

TEST(DriveConversionLoop, ShortLastChunkIsEncryptedInPlaceLikeEveryOther) {
    TempDir dir;
    const std::string volume = dir.File("volume");
    const size_t length = 65536 * 2 + 512 * 3;
    std::vector<uint8_t> plain = Pattern(length);
    WriteAll(volume, plain);
    DWORD result = ConvertFile(volume, length, true, "pw");
    EXPECT_EQ(result, DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(LastMessage(), "Encrypt completion error :1");

    std::vector<uint8_t> stored = ReadAll(volume);
    ASSERT_EQ(stored.size(), length);
    // OpenSSL recovers every block but the marker block with the password key.
    uint8_t key[32] = {'p', 'w'};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ASSERT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::vector<uint8_t> back(length);
    int n = 0;
    ASSERT_EQ(EVP_DecryptUpdate(ctx, back.data(), &n, stored.data(), int(length)), 1);
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_EQ(std::memcmp(back.data(), plain.data(), 496), 0);
    EXPECT_EQ(std::memcmp(back.data() + 512, plain.data() + 512, length - 512), 0);
}

TEST(DriveConversionLoop, ZeroLengthSendsCompletionAndLeavesProgressAtZero) {
    TempDir dir;
    const std::string volume = dir.File("empty");
    WriteAll(volume, {});
    SetWorkerProgress(77);
    EXPECT_EQ(ConvertFile(volume, 0, true, "pw"), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(WorkerProgress(), 0);
    EXPECT_EQ(LastMessage(), "Encrypt completion error :1");
}

TEST(DriveConversionLoop, InjectedWriteFailureLeavesLaterChunksUntouched) {
    TempDir dir;
    const std::string volume = dir.File("v");
    std::vector<uint8_t> plain = Pattern(65536 * 3);
    WriteAll(volume, plain);
    InjectChunkWriteFailure(1, 29);
    DWORD result = ConvertFile(volume, plain.size(), true, "pw");
    InjectChunkWriteFailure(-1, 0);
    // The completion's failure comes last and wins, as the loop has it; the
    // writing message was left before it.
    EXPECT_NE(result, 0u);
    std::vector<uint8_t> stored = ReadAll(volume);
    EXPECT_NE(std::memcmp(stored.data(), plain.data(), 65536), 0);
    EXPECT_EQ(std::memcmp(stored.data() + 65536, plain.data() + 65536, 2 * 65536), 0);
}

TEST(DriveConversionWorker, OpenFailureEndsFinishedWithMessage) {
    ASSERT_EQ(svc::SvcStartDriveConversion("\\\\.\\NoSuchVolume:", 1, "pw"), 0);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_NE(svc::SvcGetResult(), 0);
    EXPECT_EQ(LastMessage(), "Can't take open this drive, plese check if this drive is accessable! ");
}

TEST(DriveConversionWorker, StartRefusedWhileImageConversionRuns) {
    TempDir dir;
    const std::string image = dir.File("img");
    WriteAll(image, Pattern(65536 * 3));
    HoldBeforeChunk(1);
    ASSERT_EQ(svc::SvcStartImageConversion(image.c_str(), image.c_str(), 1, "pw"), 0);
    EXPECT_EQ(svc::SvcStartDriveConversion("\\\\.\\NoSuchVolume:", 1, "pw"), 170);
    ReleaseHeldChunk();
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(svc::SvcGetResult(), 0);
}

}  // namespace
