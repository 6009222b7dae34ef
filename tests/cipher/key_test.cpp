// Keys from passwords, the fixed key, schedules and their wiping.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "cipher_test_support.h"

namespace {

using cipher_test::Bytes;

Bytes KeyBuffer(const char* password) {
    Bytes buffer(kKeyBufferSize, 0xCC);
    BuildKeyBuffer(password, buffer.data());
    return buffer;
}

TEST(Keys, PasswordKeyWrongForLengthOrContent) {
    const std::string s31(31, 'x'), s32(32, 'y'), s33(33, 'y');
    struct Case {
        const char* Password;
        Bytes Key;  // all 64 bytes
    };
    auto withPrefix = [](const std::string& text) {
        Bytes key(kKeyBufferSize, 0);
        std::memcpy(key.data(), text.data(), std::min(text.size(), kKeySize));
        return key;
    };
    const Case cases[] = {
        {"", Bytes(kKeyBufferSize, 0)},
        {nullptr, Bytes(kKeyBufferSize, 0)},
        {"secret", withPrefix("secret")},
        {s31.c_str(), withPrefix(s31)},
        {s32.c_str(), withPrefix(s32)},
        {s33.c_str(), withPrefix(s32)},
    };
    for (const Case& c : cases) EXPECT_EQ(KeyBuffer(c.Password), c.Key) << (c.Password ? c.Password : "(null)");

    // Same first 32 bytes, same key and same ciphertext.
    const std::string a = s32 + "tail one", b = s32 + "and a different tail";
    EXPECT_EQ(KeyBuffer(a.c_str()), KeyBuffer(b.c_str()));
    SectorKeys ka(a.c_str()), kb(b.c_str());
    Bytes ua(kUnitSize, 7), ub(kUnitSize, 7);
    EncryptSector(&ka.User, ua.data());
    EncryptSector(&kb.User, ub.data());
    EXPECT_EQ(ua, ub);
}

TEST(Keys, LongPasswordOverflowsKeyBuffer) {
    const std::string password(100, 'p');
    Bytes guarded(kKeyBufferSize + 64, 0xCC);
    BuildKeyBuffer(password.c_str(), guarded.data());
    EXPECT_TRUE(std::all_of(guarded.begin(), guarded.begin() + kKeySize, [](uint8_t x) { return x == 'p'; }));
    EXPECT_TRUE(std::all_of(guarded.begin() + kKeySize, guarded.begin() + kKeyBufferSize, [](uint8_t x) { return x == 0; }));
    EXPECT_TRUE(std::all_of(guarded.begin() + kKeyBufferSize, guarded.end(), [](uint8_t x) { return x == 0xCC; }));
}

TEST(Keys, FixedKeyNotExactText) {
    Bytes buffer(kKeyBufferSize, 0xCC);
    BuildFixedKeyBuffer(buffer.data());
    Bytes expected(kKeyBufferSize, 0);
    std::memcpy(expected.data(), "vormelkastrine", 14);
    EXPECT_EQ(buffer, expected);

    // SectorKeys expands exactly that key.
    KEY_SCHEDULE direct{};
    ASSERT_EQ(AesSetKey(&direct, expected.data(), 256), 0);
    SectorKeys keys;
    EXPECT_EQ(std::memcmp(&keys.Fixed, &direct, sizeof(direct)), 0);
}

TEST(Keys, BadKeyLengthChangesSchedule) {
    const Bytes key(32, 0x11);
    for (int bits : {0, 64, 200, 255, 257, 512, -256}) {
        KEY_SCHEDULE schedule;
        std::memset(&schedule, 0xA5, sizeof(schedule));
        const KEY_SCHEDULE before = schedule;
        EXPECT_EQ(AesSetKey(&schedule, key.data(), bits), 1) << bits;
        EXPECT_EQ(std::memcmp(&schedule, &before, sizeof(schedule)), 0) << bits;
    }
    KEY_SCHEDULE schedule{};
    EXPECT_EQ(AesSetKey(&schedule, nullptr, 256), 1);
    EXPECT_EQ(AesSetKey(nullptr, key.data(), 256), 1);
}

TEST(Keys, KeyMaterialSurvivesItsHolder) {
    KEY_SCHEDULE schedule{};
    const Bytes key(32, 0x42);
    ASSERT_EQ(AesSetKey(&schedule, key.data(), 256), 0);
    AesWipeKey(&schedule);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&schedule);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(schedule), [](uint8_t x) { return x == 0; }));

    // SectorKeys wipes both schedules when it goes away: look at its storage
    // right after the destructor ran.
    alignas(SectorKeys) unsigned char storage[sizeof(SectorKeys)];
    auto* keys = new (storage) SectorKeys("a password");
    ASSERT_EQ(keys->User.Rounds, 14);
    keys->~SectorKeys();
    EXPECT_TRUE(std::all_of(storage, storage + sizeof(storage), [](unsigned char x) { return x == 0; }));
}

// The tables are built on first use; every thread that races to that first
// use must see them complete.
TEST(Keys, ConcurrentFirstUseSeesHalfBuiltTables) {
    const Bytes key = cipher_test::FromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes plain = cipher_test::FromHex("00112233445566778899aabbccddeeff");
    const Bytes expected = cipher_test::FromHex("8ea2b7ca516745bfeafc49904b496089");
    constexpr int kThreads = 8;
    bool ok[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            KEY_SCHEDULE schedule{};
            uint8_t out[16];
            AesSetKey(&schedule, key.data(), 256);
            AesEncryptBlock(&schedule, plain.data(), out);
            ok[t] = std::memcmp(out, expected.data(), 16) == 0;
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(ok[t]) << "thread " << t;
}

}  // namespace
