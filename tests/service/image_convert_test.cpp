// Image conversion through the service: checked against OpenSSL's AES and
// against files made by xorriso.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <windows.h>

#include "conversion_wait.h"
#include "service/fault_injection.h"
#include "test_util.h"

namespace {

const char kPassword[] = "correct horse battery staple";

std::vector<uint8_t> Key(const char* text) {
    std::vector<uint8_t> key(32, 0);
    std::memcpy(key.data(), text, std::min<size_t>(32, std::strlen(text)));
    return key;
}

// AES-256-ECB decryption of whole 16-byte blocks, by OpenSSL.
void OpenSslDecrypt(const std::vector<uint8_t>& key, uint8_t* data, size_t length) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ASSERT_TRUE(ctx);
    ASSERT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int out = 0;
    ASSERT_EQ(EVP_DecryptUpdate(ctx, data, &out, data, int(length)), 1);
    EVP_CIPHER_CTX_free(ctx);
}

// Checks every unit of an encrypted file against its source: unit 0's
// block 31 under the fixed key with the marker, everything else under the
// password key, a trailing remainder under 16 bytes unchanged.
void ExpectEncryptionOf(const std::vector<uint8_t>& source, const std::vector<uint8_t>& encrypted,
                        const char* password = kPassword) {
    ASSERT_EQ(source.size(), encrypted.size());
    std::vector<uint8_t> plain = encrypted;
    const size_t whole = plain.size() / 16 * 16;
    OpenSslDecrypt(Key(password), plain.data(), whole);
    if (plain.size() >= 512) {
        std::memcpy(&plain[496], &encrypted[496], 16);
        OpenSslDecrypt(Key("vormelkastrine"), &plain[496], 16);
        EXPECT_EQ(plain[510], 'Q');
        EXPECT_EQ(plain[511], 'M');
        plain[510] = source[510];
        plain[511] = source[511];
    }
    for (size_t unit = 0; unit * 512 < plain.size(); ++unit) {
        size_t at = unit * 512, n = std::min<size_t>(512, plain.size() - at);
        ASSERT_EQ(std::memcmp(&plain[at], &source[at], n), 0) << "unit " << unit;
    }
}

std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
    std::vector<uint8_t> data(length);
    uint32_t x = seed;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 16);
    }
    return data;
}

long Convert(const std::string& source, const std::string& target, long encrypt, const char* password = kPassword) {
    long started = svc::SvcStartImageConversion(source.c_str(), target.c_str(), encrypt, password);
    if (started != 0) return started;
    EXPECT_TRUE(WaitForWorker());
    return svc::SvcGetResult();
}

TEST(ImageConversion, IsoRoundTripIsByteIdenticalAndMatchesOpenSsl) {
    if (!ToolAvailable("xorriso")) GTEST_SKIP() << "xorriso is not installed";
    TempDir dir;
    const std::string tree = dir.File("tree");
    ASSERT_EQ(RunTool("mkdir -p " + Quote(tree + "/docs")).Status, 0);
    WriteAll(tree + "/docs/a.bin", Pattern(300000, 1));
    WriteAll(tree + "/b.txt", Pattern(70001, 2));
    const std::string iso = dir.File("disc.iso"), enc = dir.File("disc.enc.iso"), dec = dir.File("disc.dec.iso");
    ToolRun make = RunTool("xorriso -as mkisofs -quiet -o " + Quote(iso) + " " + Quote(tree));
    ASSERT_EQ(make.Status, 0) << make.Output;

    ASSERT_EQ(Convert(iso, enc, 1), 0) << LastMessage();
    const std::vector<uint8_t> source = ReadAll(iso);
    ExpectEncryptionOf(source, ReadAll(enc));
    ASSERT_EQ(Convert(enc, dec, 0), 0) << LastMessage();
    EXPECT_EQ(ReadAll(dec), source);
    ToolRun list = RunTool("xorriso -indev " + Quote(dec) + " -find / -name a.bin 2>&1");
    EXPECT_NE(list.Output.find("a.bin"), std::string::npos) << list.Output;
}

TEST(ImageConversion, OddLengthsKeepTheirRemainderAndUnitZeroEndsInZeros) {
    TempDir dir;
    for (size_t length : {size_t(7), size_t(500), size_t(65536 * 2 + 1000 + 9), size_t(512 * 3 + 20)}) {
        SCOPED_TRACE(length);
        // Fresh targets: copy mode never truncates an existing one.
        const std::string n = std::to_string(length);
        const std::string plain = dir.File("p" + n), enc = dir.File("e" + n), dec = dir.File("d" + n);
        std::vector<uint8_t> source = Pattern(length, uint32_t(length));
        WriteAll(plain, source);
        ASSERT_EQ(Convert(plain, enc, 1), 0) << LastMessage();
        std::vector<uint8_t> encrypted = ReadAll(enc);
        ExpectEncryptionOf(source, encrypted);
        const size_t tail = length % 16;
        EXPECT_EQ(std::memcmp(&encrypted[length - tail], &source[length - tail], tail), 0);
        ASSERT_EQ(Convert(enc, dec, 0), 0) << LastMessage();
        std::vector<uint8_t> back = ReadAll(dec);
        if (length >= 512) {
            EXPECT_EQ(back[510], 0);
            EXPECT_EQ(back[511], 0);
            back[510] = source[510];
            back[511] = source[511];
        }
        EXPECT_EQ(back, source);
    }
}

// The marker replaces bytes 510/511. Boot records had their signature there
// and must get it back (or the decrypted image no longer mounts); anything
// else keeps zeros.
TEST(ImageConversion, DecryptionGivesBootRecordsTheirSignatureBack) {
    TempDir dir;
    struct Case {
        const char* name;
        std::vector<std::pair<size_t, uint8_t>> bytes;
        bool signature;
    };
    const Case cases[] = {
        {"FAT boot sector", {{0, 0xEB}, {1, 0x3C}, {2, 0x90}, {11, 0x00}, {12, 0x02}}, true},
        {"near jump, 4096-byte sectors", {{0, 0xE9}, {11, 0x00}, {12, 0x10}}, true},
        {"MBR with an active FAT32 partition", {{446, 0x80}, {450, 0x0C}}, true},
        {"protective MBR", {{446 + 16, 0x00}, {450 + 16, 0xEE}}, true},
        {"jump with an unsound sector size", {{0, 0xEB}, {2, 0x90}, {11, 0x01}}, false},
        {"partition entry with a bad boot flag", {{446, 0x12}, {450, 0x0C}}, false},
        {"empty system area", {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> source(3 * 65536, 0);
        for (size_t i = 512; i < source.size(); ++i) source[i] = uint8_t(i * 7);
        for (auto [at, value] : c.bytes) source[at] = value;
        if (c.signature) source[510] = 0x55, source[511] = 0xAA;
        const std::string plain = dir.File("p"), enc = dir.File("e"), dec = dir.File("d");
        std::remove(enc.c_str());
        std::remove(dec.c_str());
        WriteAll(plain, source);
        ASSERT_EQ(Convert(plain, enc, 1), 0) << LastMessage();
        ASSERT_EQ(Convert(enc, dec, 0), 0) << LastMessage();
        EXPECT_EQ(ReadAll(dec), source);
    }
}

TEST(ImageConversion, InPlaceWhenNamesDifferOnlyInCase) {
    TempDir dir;
    const std::string lower = dir.File("image.img"), upper = dir.File("IMAGE.IMG");
    std::vector<uint8_t> source = Pattern(200000, 9);
    WriteAll(lower, source);
    ASSERT_EQ(Convert(lower, upper, 1), 0) << LastMessage();
    EXPECT_EQ(FileSize(upper), 0u);  // never created: the conversion ran in place
    ExpectEncryptionOf(source, ReadAll(lower));
    ASSERT_EQ(Convert(lower, lower, 0), 0);
    std::vector<uint8_t> back = ReadAll(lower);
    back[510] = source[510];
    back[511] = source[511];
    EXPECT_EQ(back, source);
}

TEST(ImageConversion, LongPasswordKeyIsItsFirst32BytesUnchanged) {
    TempDir dir;
    const std::string plain = dir.File("p"), enc = dir.File("e");
    std::string password;
    for (int i = 0; i < 150; ++i) password += char('!' + i % 90);
    std::vector<uint8_t> source = Pattern(5000, 11);
    WriteAll(plain, source);
    ASSERT_EQ(Convert(plain, enc, 1, password.c_str()), 0) << LastMessage();
    ExpectEncryptionOf(source, ReadAll(enc), password.substr(0, 32).c_str());
}

TEST(ImageConversion, CopyIntoLongerTargetKeepsItsTail) {
    TempDir dir;
    const std::string source = dir.File("src"), target = dir.File("dst");
    std::vector<uint8_t> plain = Pattern(100000, 3), old = Pattern(250000, 4);
    WriteAll(source, plain);
    WriteAll(target, old);
    ASSERT_EQ(Convert(source, target, 1), 0) << LastMessage();
    std::vector<uint8_t> after = ReadAll(target);
    ASSERT_EQ(after.size(), old.size());
    ExpectEncryptionOf(plain, std::vector<uint8_t>(after.begin(), after.begin() + plain.size()));
    EXPECT_TRUE(std::equal(after.begin() + plain.size(), after.end(), old.begin() + plain.size()));
}

TEST(ImageConversionFaults, WriteFailurePartWayReportsWritingMessage) {
    TempDir dir;
    const std::string file = dir.File("img");
    std::vector<uint8_t> source = Pattern(65536 * 5, 5);
    WriteAll(file, source);
    InjectChunkWriteFailure(3, 29);  // ERROR_WRITE_FAULT at the fourth chunk
    long started = svc::SvcStartImageConversion(file.c_str(), file.c_str(), 1, kPassword);
    ASSERT_EQ(started, 0);
    ASSERT_TRUE(WaitForWorker());
    InjectChunkWriteFailure(-1, 0);
    EXPECT_EQ(svc::SvcGetFinished(), 1);
    EXPECT_EQ(svc::SvcGetResult(), 29);
    EXPECT_EQ(LastMessage(), "Tarnvault has encounter an error 1D while writing this drive !");
    // Chunks before the failure are converted, the rest untouched.
    std::vector<uint8_t> after = ReadAll(file);
    ExpectEncryptionOf(std::vector<uint8_t>(source.begin(), source.begin() + 3 * 65536),
                       std::vector<uint8_t>(after.begin(), after.begin() + 3 * 65536));
    EXPECT_TRUE(std::equal(after.begin() + 3 * 65536, after.end(), source.begin() + 3 * 65536));
}

TEST(ImageConversionFaults, MissingSourceEndsWithMessageAndFinished) {
    TempDir dir;
    ASSERT_EQ(svc::SvcStartImageConversion(dir.File("none").c_str(), dir.File("out").c_str(), 1, kPassword), 0);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(svc::SvcGetResult(), 2);
    EXPECT_EQ(LastMessage(), "Tarnvault has encounter an error 2 while opening this file !");
}

TEST(ImageConversionFaults, InPlaceOnAFileOpenElsewhereForWritingFailsClearly) {
    TempDir dir;
    const std::string file = dir.File("busy.img");
    std::vector<uint8_t> content = Pattern(100000, 8);
    WriteAll(file, content);
    // Another process holds it open for writing (sharing read and write).
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        char c = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
        (void)!write(ready[1], &c, 1);
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    char opened = 0;
    ASSERT_EQ(read(ready[0], &opened, 1), 1);
    ASSERT_EQ(opened, 'y');
    ASSERT_EQ(svc::SvcStartImageConversion(file.c_str(), file.c_str(), 1, kPassword), 0);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(svc::SvcGetResult(), 32);  // ERROR_SHARING_VIOLATION
    EXPECT_EQ(LastMessage(), "Tarnvault has encounter an error 20 while opening this file !");
    (void)!write(done[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(ReadAll(file), content);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST(ImageConversionFaults, SecondStartWhileRunningIsRefusedAndFirstCompletes) {
    TempDir dir;
    const std::string first = dir.File("first"), second = dir.File("second");
    std::vector<uint8_t> a = Pattern(65536 * 4, 6), b = Pattern(4096, 7);
    WriteAll(first, a);
    WriteAll(second, b);
    HoldBeforeChunk(2);
    ASSERT_EQ(svc::SvcStartImageConversion(first.c_str(), first.c_str(), 1, kPassword), 0);
    EXPECT_EQ(svc::SvcStartImageConversion(second.c_str(), second.c_str(), 1, kPassword), 170);
    EXPECT_EQ(svc::SvcGetFinished(), 0);
    ReleaseHeldChunk();
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(svc::SvcGetResult(), 0);
    ExpectEncryptionOf(a, ReadAll(first));
    EXPECT_EQ(ReadAll(second), b);  // the refused one touched nothing
}

}  // namespace
