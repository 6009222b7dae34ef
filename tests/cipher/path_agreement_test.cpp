// Every fast path must give the table path's bytes, for every length and
// start offset the unit procedures see, and touch nothing beyond a run.
#include <gtest/gtest.h>

#include <cstring>

#include "cipher/keys.h"
#include "cipher/sector.h"
#include "cipher_test_support.h"

namespace {

using cipher_test::Bytes;

std::vector<AesPath> FastPaths() {
    std::vector<AesPath> paths;
    for (AesPath p : cipher_test::SupportedPaths())
        if (p != AesPath::Table) paths.push_back(p);
    return paths;
}

// Block counts crossing each interleave width and tail of the fast paths.
constexpr size_t kBlockCounts[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 4096, 4099};

TEST(PathAgreement, BlockRunDiffersFromTableOrWritesPastEnd) {
    std::mt19937_64 rng(1);
    constexpr size_t kGuard = 64;
    for (AesPath path : FastPaths()) {
        for (int keyBits : {128, 192, 256}) {
            const Bytes key = cipher_test::RandomBytes(rng, 32);
            KEY_SCHEDULE schedule{};
            ASSERT_EQ(AesSetKey(&schedule, key.data(), keyBits), 0);
            for (size_t blocks : kBlockCounts) {
                SCOPED_TRACE(std::string(AesPathName(path)) + " bits " + std::to_string(keyBits) + " blocks " +
                             std::to_string(blocks));
                const Bytes plain = cipher_test::RandomBytes(rng, blocks * 16);
                Bytes expect(plain.size());
                AesEncryptBlocks(AesPath::Table, &schedule, plain.data(), expect.data(), blocks);

                Bytes out(plain.size() + kGuard, 0xEE);
                AesEncryptBlocks(path, &schedule, plain.data(), out.data(), blocks);
                EXPECT_TRUE(std::equal(expect.begin(), expect.end(), out.begin()));
                EXPECT_TRUE(std::all_of(out.begin() + plain.size(), out.end(), [](uint8_t b) { return b == 0xEE; }));

                AesDecryptBlocks(path, &schedule, out.data(), out.data(), blocks);
                EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin()));
                EXPECT_TRUE(std::all_of(out.begin() + plain.size(), out.end(), [](uint8_t b) { return b == 0xEE; }));
            }
        }
    }
}

struct TransferCase {
    size_t Length;
    uint64_t Offset;
};

// Whole units, a CD sector, a full 64 KiB transfer and lengths with a
// trailing partial unit, at the offsets that do and do not include unit 0.
constexpr TransferCase kTransfers[] = {
    {512, 0},      {512, 512},     {512, 4096},    {2048, 0},     {2048, 4096},  {65536, 0},
    {65536, 512},  {65536, 4096},  {1000, 0},      {1000, 4096},  {65536 + 100, 0}, {65536 + 100, 512},
    {100, 0},      {0, 0},
};

TEST(PathAgreement, TransferDiffersFromTableOrTouchesPartialUnit) {
    std::mt19937_64 rng(2);
    for (AesPath path : FastPaths()) {
        SectorKeys keys(std::string(AesPathName(path)).c_str());
        for (const TransferCase& c : kTransfers) {
            SCOPED_TRACE(std::string(AesPathName(path)) + " length " + std::to_string(c.Length) + " offset " +
                         std::to_string(c.Offset));
            const Bytes plain = cipher_test::RandomBytes(rng, c.Length);
            Bytes viaTable = plain;
            Bytes viaPath = plain;
            {
                AesPathOverride pin(AesPath::Table);
                ASSERT_TRUE(pin.Engaged());
                EncryptTransfer(&keys.User, &keys.Fixed, c.Offset, viaTable.data(), viaTable.size());
            }
            {
                AesPathOverride pin(path);
                ASSERT_TRUE(pin.Engaged());
                EncryptTransfer(&keys.User, &keys.Fixed, c.Offset, viaPath.data(), viaPath.size());
            }
            EXPECT_EQ(viaPath, viaTable);

            const size_t whole = c.Length / kUnitSize * kUnitSize;
            EXPECT_TRUE(std::equal(plain.begin() + whole, plain.end(), viaPath.begin() + whole))
                << "trailing partial unit changed";

            {
                AesPathOverride pin(path);
                DecryptTransfer(&keys.User, &keys.Fixed, c.Offset, viaPath.data(), viaPath.size());
            }
            {
                AesPathOverride pin(AesPath::Table);
                DecryptTransfer(&keys.User, &keys.Fixed, c.Offset, viaTable.data(), viaTable.size());
            }
            EXPECT_EQ(viaPath, viaTable);
        }
    }
}

TEST(PathAgreement, OverrideAcceptsUnsupportedPath) {
    for (AesPath path : kAllAesPaths) {
        AesPathOverride pin(path);
        EXPECT_EQ(pin.Engaged(), AesPathSupported(path)) << AesPathName(path);
        EXPECT_EQ(AesCurrentPath(), pin.Engaged() ? path : AesBestPath());
    }
    EXPECT_EQ(AesCurrentPath(), AesBestPath());
}

}  // namespace
