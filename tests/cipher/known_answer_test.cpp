// Published AES-256 answers, one row per case, on every path this CPU runs.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "cipher/aes.h"
#include "cipher_test_support.h"

namespace {

using cipher_test::Bytes;

struct KatRow {
    std::string Name;
    Bytes Key;
    Bytes Plain;
    Bytes Cipher;
};

std::vector<KatRow> LoadRows() {
    std::ifstream in(TARN_SOURCE_DIR "/tests/cipher/data/aes256-ecb-kat.tsv");
    std::vector<KatRow> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line.rfind("name\t", 0) == 0) continue;
        std::istringstream fields(line);
        std::string name, key, plain, cipher;
        std::getline(fields, name, '\t');
        std::getline(fields, key, '\t');
        std::getline(fields, plain, '\t');
        std::getline(fields, cipher, '\t');
        rows.push_back({name, cipher_test::FromHex(key), cipher_test::FromHex(plain), cipher_test::FromHex(cipher)});
    }
    return rows;
}

TEST(KnownAnswers, WrongCiphertextOnAnyPath) {
    const std::vector<KatRow> rows = LoadRows();
    ASSERT_GE(rows.size(), 300u) << "known-answer file missing or truncated";
    ASSERT_EQ(rows.front().Name, "fips197-c3");

    for (AesPath path : cipher_test::SupportedPaths()) {
        for (const KatRow& row : rows) {
            SCOPED_TRACE(std::string(AesPathName(path)) + " " + row.Name);
            ASSERT_EQ(row.Key.size(), 32u);
            ASSERT_EQ(row.Plain.size(), 16u);
            ASSERT_EQ(row.Cipher.size(), 16u);
            KEY_SCHEDULE schedule{};
            ASSERT_EQ(AesSetKey(&schedule, row.Key.data(), 256), 0);
            EXPECT_EQ(schedule.Rounds, 14);

            Bytes block(16);
            AesEncryptBlocks(path, &schedule, row.Plain.data(), block.data(), 1);
            EXPECT_EQ(block, row.Cipher);
            AesDecryptBlocks(path, &schedule, row.Cipher.data(), block.data(), 1);
            EXPECT_EQ(block, row.Plain);
        }
    }
}

// The single-block calls other components use, in place as they allow.
TEST(KnownAnswers, SingleBlockCallsWrongInPlace) {
    for (const KatRow& row : LoadRows()) {
        SCOPED_TRACE(row.Name);
        KEY_SCHEDULE schedule{};
        ASSERT_EQ(AesSetKey(&schedule, row.Key.data(), 256), 0);
        uint8_t block[16];
        std::memcpy(block, row.Plain.data(), 16);
        AesEncryptBlock(&schedule, block, block);
        EXPECT_EQ(Bytes(block, block + 16), row.Cipher);
        AesDecryptBlock(&schedule, block, block);
        EXPECT_EQ(Bytes(block, block + 16), row.Plain);
    }
}

}  // namespace
