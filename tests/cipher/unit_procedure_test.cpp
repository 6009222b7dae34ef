// The unit-0 marker rule and the unit procedures: which key applies where,
// what the reader sees, and what the marker test reports.
#include <gtest/gtest.h>

#include <cstring>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "cipher_test_support.h"

namespace {

using cipher_test::Bytes;

Bytes FixedKeyBytes() {
    uint8_t buffer[kKeyBufferSize];
    BuildFixedKeyBuffer(buffer);
    return Bytes(buffer, buffer + kKeySize);
}

Bytes Block(const Bytes& data, size_t index) {
    return Bytes(data.begin() + 16 * index, data.begin() + 16 * (index + 1));
}

TEST(UnitProcedures, EqualPlaintextBlocksGiveDifferentCiphertext) {
    SectorKeys keys("ecb");
    Bytes data(4 * kUnitSize);
    const uint8_t pattern[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (size_t i = 0; i < data.size(); i += 16) std::memcpy(data.data() + i, pattern, 16);
    Bytes atZero = data;

    EncryptTransfer(&keys.User, &keys.Fixed, 8192, data.data(), data.size());
    for (size_t i = 1; i < data.size() / 16; ++i) ASSERT_EQ(Block(data, i), Block(data, 0)) << "block " << i;

    // Position on the device does not matter either, outside unit 0's block 31.
    EncryptTransfer(&keys.User, &keys.Fixed, 0, atZero.data(), atZero.size());
    for (size_t i = 0; i < atZero.size() / 16; ++i) {
        if (i == 31) continue;
        ASSERT_EQ(Block(atZero, i), Block(data, 0)) << "block " << i;
    }
    EXPECT_NE(Block(atZero, 31), Block(data, 0));
}

TEST(UnitProcedures, BootSignatureLostOrMarkerMissingAfterRoundTrip) {
    std::mt19937_64 rng(6);
    SectorKeys keys("boot");
    // A boot sector, and a sector whose plaintext never had a signature:
    // a marked unit 0 always reads back with 0x55 0xAA.
    for (const auto& tail : {std::pair<uint8_t, uint8_t>{0x55, 0xAA}, {0x00, 0x00}, {0x51, 0x4D}}) {
        Bytes plain = cipher_test::RandomBytes(rng, kUnitSize);
        plain[510] = tail.first;
        plain[511] = tail.second;
        Bytes unit = plain;
        WriteUnit(&keys.User, &keys.Fixed, 0, unit.data());

        const Bytes stored = cipher_test::OpenSslEcb(FixedKeyBytes(), false, unit.data() + 496, 16);
        EXPECT_EQ(stored[14], 0x51);
        EXPECT_EQ(stored[15], 0x4D);
        EXPECT_TRUE(UnitZeroHasMarker(&keys.Fixed, unit.data()));

        ReadUnit(&keys.User, &keys.Fixed, 0, unit.data());
        Bytes expected = plain;
        expected[510] = 0x55;
        expected[511] = 0xAA;
        EXPECT_EQ(unit, expected);
    }

    // Without the marker the bytes stay as decrypted: a unit 0 stored by
    // something else (here built with OpenSSL) whose plaintext ends 0x12 0x34.
    Bytes plain = cipher_test::RandomBytes(rng, kUnitSize);
    plain[510] = 0x12;
    plain[511] = 0x34;
    uint8_t user[kKeyBufferSize];
    BuildKeyBuffer("boot", user);
    Bytes stored = cipher_test::OpenSslEcb(user, kKeySize, true, plain.data(), plain.size());
    const Bytes last = cipher_test::OpenSslEcb(FixedKeyBytes(), true, plain.data() + 496, 16);
    std::memcpy(stored.data() + 496, last.data(), 16);
    Bytes unit = stored;
    ReadUnit(&keys.User, &keys.Fixed, 0, unit.data());
    EXPECT_EQ(unit, plain);
    unit = stored;
    DecryptTransfer(&keys.User, &keys.Fixed, 0, unit.data(), unit.size());
    EXPECT_EQ(unit, plain);
}

TEST(UnitProcedures, MarkerTestWrongOrChangesCaller) {
    std::mt19937_64 rng(7);
    SectorKeys fixedOnly;

    const Bytes plain = cipher_test::RandomBytes(rng, kUnitSize);
    EXPECT_FALSE(UnitZeroHasMarker(&fixedOnly.Fixed, plain.data()));

    // Quick encryption's first unit: all zero, any password.
    for (const char* password : {"", "a", "another password entirely"}) {
        SectorKeys keys(password);
        Bytes unit(kUnitSize, 0);
        EncryptTransfer(&keys.User, &keys.Fixed, 0, unit.data(), unit.size());
        const Bytes before = unit;
        EXPECT_TRUE(UnitZeroHasMarker(&fixedOnly.Fixed, unit.data())) << password;
        EXPECT_EQ(unit, before) << "marker test wrote into the caller's unit";
    }

    // A plain unit whose last block happens to decrypt to 'Q' 'M' counts.
    Bytes lucky = plain;
    Bytes block = Block(plain, 31);
    block[14] = 0x51;
    block[15] = 0x4D;
    const Bytes stored = cipher_test::OpenSslEcb(FixedKeyBytes(), true, block.data(), 16);
    std::memcpy(lucky.data() + 496, stored.data(), 16);
    EXPECT_TRUE(UnitZeroHasMarker(&fixedOnly.Fixed, lucky.data()));

    EXPECT_FALSE(UnitZeroHasMarker(nullptr, lucky.data()));
    EXPECT_FALSE(UnitZeroHasMarker(&fixedOnly.Fixed, nullptr));
}

TEST(UnitProcedures, UnitZeroTreatmentAppliedAwayFromOffsetZero) {
    std::mt19937_64 rng(8);
    SectorKeys keys("offsets");
    Bytes plain = cipher_test::RandomBytes(rng, 2048);
    for (size_t unit = 0; unit < 4; ++unit) {
        plain[unit * kUnitSize + 510] = 0x55;
        plain[unit * kUnitSize + 511] = 0xAA;
    }
    Bytes ecb = plain;
    EncryptSector(&keys.User, ecb.data());
    EncryptSector(&keys.User, ecb.data() + 512);
    EncryptSector(&keys.User, ecb.data() + 1024);
    EncryptSector(&keys.User, ecb.data() + 1536);

    // At 4096 no unit is unit 0, not even the first.
    Bytes at4096 = plain;
    EncryptTransfer(&keys.User, &keys.Fixed, 4096, at4096.data(), at4096.size());
    EXPECT_EQ(at4096, ecb);
    DecryptTransfer(&keys.User, &keys.Fixed, 4096, at4096.data(), at4096.size());
    EXPECT_EQ(at4096, plain);

    // A 2048-byte CD sector at 0: only its first 512 bytes are unit 0.
    Bytes cd = plain;
    EncryptTransfer(&keys.User, &keys.Fixed, 0, cd.data(), cd.size());
    EXPECT_TRUE(std::equal(cd.begin(), cd.begin() + 496, ecb.begin()));
    EXPECT_FALSE(std::equal(cd.begin() + 496, cd.begin() + 512, ecb.begin() + 496));
    EXPECT_TRUE(std::equal(cd.begin() + 512, cd.end(), ecb.begin() + 512));
    DecryptTransfer(&keys.User, &keys.Fixed, 0, cd.data(), cd.size());
    EXPECT_EQ(cd, plain);

    // The unit procedures agree.
    Bytes unit(plain.begin() + 512, plain.begin() + 1024);
    WriteUnit(&keys.User, &keys.Fixed, 512, unit.data());
    EXPECT_TRUE(std::equal(unit.begin(), unit.end(), ecb.begin() + 512));
    ReadUnit(&keys.User, &keys.Fixed, 512, unit.data());
    EXPECT_TRUE(std::equal(unit.begin(), unit.end(), plain.begin() + 512));
}

TEST(UnitProcedures, SectorZeroWithoutUserKeyTouchesUserBlocks) {
    std::mt19937_64 rng(9);
    SectorKeys keys("zero");
    Bytes unit = cipher_test::RandomBytes(rng, kUnitSize);
    const Bytes plain = unit;
    EncryptSectorZero(&keys.User, &keys.Fixed, unit.data());
    const Bytes encrypted = unit;

    DecryptSectorZero(nullptr, &keys.Fixed, unit.data());
    EXPECT_TRUE(std::equal(unit.begin(), unit.begin() + 496, encrypted.begin()));
    EXPECT_TRUE(std::equal(unit.begin() + 496, unit.end(), plain.begin() + 496));

    unit = encrypted;
    DecryptSectorZero(&keys.User, &keys.Fixed, unit.data());
    EXPECT_EQ(unit, plain);
}

TEST(UnitProcedures, ShortOrEmptyTransferTouched) {
    SectorKeys keys("short");
    for (size_t length : {size_t{0}, size_t{1}, size_t{511}}) {
        Bytes data(length + 16, 0x5A);
        EncryptTransfer(&keys.User, &keys.Fixed, 0, data.data(), length);
        DecryptTransfer(&keys.User, &keys.Fixed, 0, data.data(), length);
        EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0x5A; })) << length;
    }
    EncryptTransfer(&keys.User, &keys.Fixed, 0, nullptr, 4096);
    DecryptTransfer(&keys.User, &keys.Fixed, 0, nullptr, 4096);
}

}  // namespace
