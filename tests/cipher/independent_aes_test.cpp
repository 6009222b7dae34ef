// Our ciphertext against OpenSSL's AES, in both directions, so a fault shared
// by all our paths (key expansion, byte order, marker key) cannot hide.
#include <gtest/gtest.h>

#include <cstring>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "cipher_test_support.h"

namespace {

using cipher_test::Bytes;
using cipher_test::OpenSslEcb;

Bytes KeyBytes(const char* password) {
    uint8_t buffer[kKeyBufferSize];
    BuildKeyBuffer(password, buffer);
    return Bytes(buffer, buffer + kKeySize);
}

Bytes FixedKeyBytes() {
    uint8_t buffer[kKeyBufferSize];
    BuildFixedKeyBuffer(buffer);
    return Bytes(buffer, buffer + kKeySize);
}

// What a medium written from `plain` at offset 0 must hold, built with OpenSSL only.
Bytes ExpectedFromOffsetZero(const Bytes& userKey, Bytes plain) {
    plain[510] = 0x51;
    plain[511] = 0x4D;
    Bytes out = OpenSslEcb(userKey, true, plain.data(), plain.size());
    const Bytes marker = OpenSslEcb(FixedKeyBytes(), true, plain.data() + 496, 16);
    std::memcpy(out.data() + 496, marker.data(), 16);
    return out;
}

TEST(IndependentAes, UnitsDisagreeWithOpenSsl) {
    std::mt19937_64 rng(3);
    const char* password = "correct horse battery staple";
    const Bytes userKey = KeyBytes(password);
    for (AesPath path : cipher_test::SupportedPaths()) {
        SCOPED_TRACE(AesPathName(path));
        AesPathOverride pin(path);
        SectorKeys keys(password);
        for (size_t units : {1u, 4u, 128u}) {
            const Bytes plain = cipher_test::RandomBytes(rng, units * kUnitSize);

            Bytes data = plain;
            EncryptTransfer(&keys.User, &keys.Fixed, 4096, data.data(), data.size());
            EXPECT_EQ(OpenSslEcb(userKey, false, data.data(), data.size()), plain) << units << " units";

            data = OpenSslEcb(userKey, true, plain.data(), plain.size());
            DecryptTransfer(&keys.User, &keys.Fixed, 4096, data.data(), data.size());
            EXPECT_EQ(data, plain) << units << " units";
        }
    }
}

TEST(IndependentAes, UnitZeroMarkerBlockDisagreesWithOpenSsl) {
    std::mt19937_64 rng(4);
    const char* password = "unit zero";
    const Bytes userKey = KeyBytes(password);
    for (AesPath path : cipher_test::SupportedPaths()) {
        SCOPED_TRACE(AesPathName(path));
        AesPathOverride pin(path);
        SectorKeys keys(password);
        for (size_t length : {kUnitSize, size_t{2048}, size_t{65536}}) {
            Bytes plain = cipher_test::RandomBytes(rng, length);
            plain[510] = 0x55;
            plain[511] = 0xAA;
            const Bytes expected = ExpectedFromOffsetZero(userKey, plain);

            Bytes data = plain;
            EncryptTransfer(&keys.User, &keys.Fixed, 0, data.data(), data.size());
            EXPECT_EQ(data, expected) << length;

            data = expected;
            DecryptTransfer(&keys.User, &keys.Fixed, 0, data.data(), data.size());
            EXPECT_EQ(data, plain) << length;

            // The unit procedures on their own give the same bytes.
            data = plain;
            WriteUnit(&keys.User, &keys.Fixed, 0, data.data());
            EXPECT_TRUE(std::equal(data.begin(), data.begin() + kUnitSize, expected.begin()));
        }
    }
}

// All three key sizes expand as FIPS-197 says, not only the one in use.
TEST(IndependentAes, KeyExpansionWrongForSomeKeySize) {
    std::mt19937_64 rng(5);
    for (int bits : {128, 192, 256}) {
        const Bytes key = cipher_test::RandomBytes(rng, static_cast<size_t>(bits / 8));
        KEY_SCHEDULE schedule{};
        ASSERT_EQ(AesSetKey(&schedule, key.data(), bits), 0);
        EXPECT_EQ(schedule.Rounds, bits / 32 + 6);
        const Bytes plain = cipher_test::RandomBytes(rng, 64 * 16);
        const Bytes expected = OpenSslEcb(key, true, plain.data(), plain.size());
        for (AesPath path : cipher_test::SupportedPaths()) {
            SCOPED_TRACE(std::string(AesPathName(path)) + " " + std::to_string(bits));
            Bytes data(plain.size());
            AesEncryptBlocks(path, &schedule, plain.data(), data.data(), 64);
            EXPECT_EQ(data, expected);
            AesDecryptBlocks(path, &schedule, data.data(), data.data(), 64);
            EXPECT_EQ(data, plain);
        }
    }
}

}  // namespace
