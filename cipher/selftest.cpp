// tarn-selftest: known answers on every AES path this CPU runs, then every
// fast path against the table path on pseudo-random data.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cipher/backend.h"
#include "cipher/keys.h"
#include "cipher/sector.h"

namespace {

struct KnownAnswer {
    const char* Name;
    const char* Key;
    const char* Plain;
    const char* Cipher;
};

constexpr KnownAnswer kKnownAnswers[] = {
    {"fips197-c3", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    {"vartxt-0", "0000000000000000000000000000000000000000000000000000000000000000",
     "80000000000000000000000000000000", "ddc6bf790c15760d8d9aeb6f9a75fd4e"},
    {"vartxt-127", "0000000000000000000000000000000000000000000000000000000000000000",
     "ffffffffffffffffffffffffffffffff", "acdace8078a32b1a182bfa4987ca1347"},
    {"varkey-0", "8000000000000000000000000000000000000000000000000000000000000000",
     "00000000000000000000000000000000", "e35a6dcb19b201a01ebcfa8aa22b5759"},
    {"varkey-100", "fffffffffffffffffffffffff800000000000000000000000000000000000000",
     "00000000000000000000000000000000", "40b264e921e9e4a82694589ef3798262"},
    {"varkey-255", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
     "00000000000000000000000000000000", "4bf85f1b5d54adbc307b0a048389adcb"},
};

std::vector<uint8_t> FromHex(const char* hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

int g_failures = 0;

void Fail(const char* what, AesPath path, const char* detail) {
    std::printf("selftest: FAILED: %s on path %s (%s)\n", what, AesPathName(path), detail);
    ++g_failures;
}

void CheckKnownAnswers(AesPath path) {
    for (const KnownAnswer& v : kKnownAnswers) {
        const std::vector<uint8_t> key = FromHex(v.Key);
        const std::vector<uint8_t> plain = FromHex(v.Plain);
        const std::vector<uint8_t> cipher = FromHex(v.Cipher);
        KEY_SCHEDULE schedule{};
        if (AesSetKey(&schedule, key.data(), 256) != 0) {
            Fail("key expansion", path, v.Name);
            continue;
        }
        uint8_t block[16];
        AesEncryptBlocks(path, &schedule, plain.data(), block, 1);
        if (std::memcmp(block, cipher.data(), 16) != 0) Fail("known answer, encrypt", path, v.Name);
        AesDecryptBlocks(path, &schedule, cipher.data(), block, 1);
        if (std::memcmp(block, plain.data(), 16) != 0) Fail("known answer, decrypt", path, v.Name);
        AesWipeKey(&schedule);
    }
}

void CheckAgainstTable(AesPath path, std::mt19937_64& rng) {
    uint8_t key[32];
    for (uint8_t& b : key) b = static_cast<uint8_t>(rng());
    KEY_SCHEDULE schedule{};
    AesSetKey(&schedule, key, 256);
    // Lengths chosen to cross every interleave width and tail of the fast paths.
    for (size_t blocks : {1u, 2u, 3u, 5u, 31u, 32u, 33u, 63u, 4096u, 4099u}) {
        std::vector<uint8_t> data(blocks * 16);
        for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> expect(data.size()), got(data.size());
        AesEncryptBlocks(AesPath::Table, &schedule, data.data(), expect.data(), blocks);
        AesEncryptBlocks(path, &schedule, data.data(), got.data(), blocks);
        if (expect != got) Fail("encrypt differs from the table path", path, std::to_string(blocks).c_str());
        AesDecryptBlocks(path, &schedule, got.data(), got.data(), blocks);
        if (got != data) Fail("decrypt does not invert encrypt", path, std::to_string(blocks).c_str());
    }
    AesWipeKey(&schedule);
}

void CheckUnitZero() {
    SectorKeys keys("selftest");
    uint8_t unit[kUnitSize] = {};
    unit[510] = 0x55;
    unit[511] = 0xAA;
    WriteUnit(&keys.User, &keys.Fixed, 0, unit);
    if (!UnitZeroHasMarker(&keys.Fixed, unit)) Fail("marker not found after writing unit 0", AesCurrentPath(), "unit 0");
    ReadUnit(&keys.User, &keys.Fixed, 0, unit);
    uint8_t expect[kUnitSize] = {};
    expect[510] = 0x55;
    expect[511] = 0xAA;
    if (std::memcmp(unit, expect, kUnitSize) != 0) Fail("unit 0 round trip", AesCurrentPath(), "unit 0");
}

}  // namespace

int main() {
    std::printf("selftest: active path %s\n", AesPathName(AesBestPath()));
    std::mt19937_64 rng(0x7a7e5eed);
    for (AesPath path : kAllAesPaths) {
        if (!AesPathSupported(path)) {
            std::printf("selftest: path %s not supported by this CPU\n", AesPathName(path));
            continue;
        }
        CheckKnownAnswers(path);
        if (path != AesPath::Table) CheckAgainstTable(path, rng);
        std::printf("selftest: path %s checked\n", AesPathName(path));
    }
    CheckUnitZero();
    if (g_failures != 0) {
        std::printf("selftest: %d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("selftest: ok\n");
    return 0;
}
